"""Agreement with lxml on well-formed documents, under this reader's rules:
names as written (with prefixes), attributes compared as dicts (namespace
declarations are ordinary attributes here), children in order, an element's
own character data concatenated and trimmed, and None for whitespace-only."""
import glob
import os

import pytest

lxml_etree = pytest.importorskip("lxml.etree")
from hypothesis import HealthCheck, given, settings, strategies as st

import orvex

# The 25 characters with the Unicode White_Space property.
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
XML_NS = "http://www.w3.org/XML/1998/namespace"


def orvex_shape(node, drop_xmlns=False):
    attrs = node.attrs
    if drop_xmlns:
        attrs = {k: v for k, v in attrs.items() if k != "xmlns" and not k.startswith("xmlns:")}
    return (node.name, attrs, node.text, [orvex_shape(c, drop_xmlns) for c in node.children])


def qualified(name, prefix_of):
    if not name.startswith("{"):
        return name
    uri, local = name[1:].split("}", 1)
    prefix = prefix_of(uri)
    return f"{prefix}:{local}" if prefix else local


def lxml_shape(el):
    def attr_prefix(uri):
        if uri == XML_NS:
            return "xml"
        prefixes = [p for p, u in el.nsmap.items() if u == uri and p]
        assert len(prefixes) == 1, f"ambiguous prefix for {uri}"
        return prefixes[0]

    name = qualified(el.tag, lambda uri: el.prefix)
    attrs = {qualified(k, attr_prefix): v for k, v in el.attrib.items()}
    text = (el.text or "") + "".join(c.tail or "" for c in el)
    text = text.strip(WHITE_SPACE) or None
    children = [lxml_shape(c) for c in el if isinstance(c.tag, str)]
    return (name, attrs, text, children)


PARSER = dict(resolve_entities=False, no_network=True, huge_tree=True, load_dtd=False)


# --- generated documents -----------------------------------------------------

name_start = st.sampled_from("abcxyzABC_é日")
name_rest = st.text(alphabet="abcxyz019_.-éü日", max_size=6)
names = st.builds(lambda a, b: a + b, name_start, name_rest)

# Characters that need no escaping in text: no '<', '&', no CR (parsers
# normalise line ends in text, this reader keeps them) and no ']' (so that
# "]]>" cannot appear).
plain_chars = st.characters(
    codec="utf-8",
    exclude_characters="<&]\r\ufffe\uffff",
    exclude_categories=("Cs", "Cc"),
) | st.sampled_from("\t\n \u00a0\u3000\u2028")
references = st.sampled_from(
    ["&lt;", "&gt;", "&amp;", "&quot;", "&apos;", "&#65;", "&#x41;", "&#00068;", "&#x0043;",
     "&#9;", "&#10;", "&#13;", "&#32;", "&#160;", "&#xe9;", "&#x1F600;", "&#x10FFFF;", "&#x3000;"]
)
text_pieces = st.lists(st.one_of(st.text(plain_chars, min_size=1, max_size=8), references), max_size=4).map("".join)
cdata = st.text(st.characters(codec="utf-8", exclude_characters="]\r\ufffe\uffff", exclude_categories=("Cs", "Cc")), max_size=8)
misc = st.sampled_from(["<!-- note -->", "<!---->", "<?pi data?>", "<?target?>"])


def attr_value(quote):
    chars = st.characters(codec="utf-8", exclude_characters="<&\ufffe\uffff" + quote, exclude_categories=("Cs", "Cc"))
    return st.lists(
        st.one_of(st.text(chars, min_size=1, max_size=6), references, st.sampled_from(["\t", "\n", "\r\n", "\r", " "])),
        max_size=4,
    ).map("".join)


@st.composite
def attributes(draw):
    keys = draw(st.lists(names, unique=True, max_size=4))
    out = []
    for k in keys:
        quote = draw(st.sampled_from(["'", '"']))
        value = draw(attr_value(quote))
        space = draw(st.sampled_from([" ", "\n", "\t", "  "]))
        eq = draw(st.sampled_from(["=", " = ", "=\n"]))
        out.append(f"{space}{k}{eq}{quote}{value}{quote}")
    return "".join(out)


@st.composite
def element(draw, depth=0):
    name = draw(names)
    attrs = draw(attributes())
    if depth >= 4 or draw(st.integers(0, 3)) == 0:
        if draw(st.booleans()):
            return f"<{name}{attrs}{draw(st.sampled_from(['', ' ']))}/>"
        return f"<{name}{attrs}>{draw(text_pieces)}</{name}>"
    parts = []
    for _ in range(draw(st.integers(0, 4))):
        kind = draw(st.integers(0, 5))
        if kind <= 2:
            parts.append(draw(element(depth + 1)))
        elif kind == 3:
            parts.append(draw(text_pieces))
        elif kind == 4:
            parts.append(f"<![CDATA[{draw(cdata)}]]>")
        else:
            parts.append(draw(misc))
    close_space = draw(st.sampled_from(["", " ", "\n"]))
    return f"<{name}{attrs}>{''.join(parts)}</{name}{close_space}>"


@st.composite
def documents(draw):
    prolog = draw(st.sampled_from(["", "<?xml version='1.0' encoding='UTF-8'?>\n", "<!-- lead -->\n"]))
    root = draw(element())
    return prolog + root + draw(st.sampled_from(["", "\n", "<!-- tail -->"]))


# Fewer examples under an emulated interpreter (see conftest.py).
@settings(
    max_examples=20 if os.environ.get("ORVEX_EMULATOR") else 300,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
@given(documents())
def test_generated_documents_agree_with_lxml(doc):
    expected = lxml_shape(lxml_etree.fromstring(doc.encode(), lxml_etree.XMLParser(**PARSER)))
    assert orvex_shape(orvex.read_string(doc, expected[0])) == expected


# --- real documents shipped by Debian packages --------------------------------

def real_files():
    patterns = [
        "/usr/share/mime/packages/freedesktop.org.xml",
        "/usr/share/unicode/cldr/common/main/en.xml",
        "/usr/share/unicode/cldr/common/main/fr.xml",
        "/usr/share/unicode/cldr/common/main/ja.xml",
        "/usr/share/unicode/cldr/common/main/ar.xml",
        "/usr/share/unicode/cldr/common/supplemental/supplementalData.xml",
        "/usr/share/unicode/cldr/common/supplemental/plurals.xml",
        "/usr/share/unicode/cldr/common/annotations/en.xml",
        "/usr/share/xml/iso-codes/*.xml",
        "/usr/share/X11/xkb/rules/*.xml",
        "/usr/share/dbus-1/interfaces/*.xml",
        "/usr/share/gdb/syscalls/*.xml",
        "/usr/share/metainfo/*.xml",
    ]
    found = sorted({p for pat in patterns for p in glob.glob(pat)})
    icons = sorted(glob.glob("/usr/share/icons/*/scalable/*/*.svg"))
    found += icons[:: max(1, len(icons) // 40)]
    return found


REAL = real_files()


@pytest.mark.skipif(not REAL, reason="no XML files from Debian packages installed")
@pytest.mark.parametrize("path", REAL, ids=lambda p: os.path.relpath(p, "/usr/share"))
def test_real_files_agree_with_lxml(path):
    try:
        tree = lxml_etree.parse(path, lxml_etree.XMLParser(**PARSER))
    except lxml_etree.XMLSyntaxError as e:
        pytest.skip(f"not well-formed: {e}")
    if any(isinstance(e, lxml_etree._Entity) for e in tree.iter()):
        pytest.skip("uses entities declared in its document type")
    expected = lxml_shape(tree.getroot())
    assert orvex_shape(orvex.read_file(path, expected[0]), drop_xmlns=True) == expected
    with open(path, encoding="utf-8") as f:
        text = f.read()
    assert orvex_shape(orvex.read_string(text, expected[0]), drop_xmlns=True) == expected
