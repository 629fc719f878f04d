"""read_string and read_file: trees, exact messages and byte offsets, files,
argument conversion, lifetime of the read text, released interpreter lock,
and depth."""
import os
import pathlib
import sys
import threading
import time

import pytest

from helpers import assert_isolated_ok
import orvex
from orvex import Node, read_file, read_string


def shape(node):
    """(name, attrs, text, children) all the way down."""
    return (node.name, node.attrs, node.text, [shape(c) for c in node.children])


def leaf(name, attrs=None, text=None, children=()):
    return (name, attrs or {}, text, list(children))


def read_error(doc, root):
    with pytest.raises(ValueError) as info:
        read_string(doc, root)
    assert len(info.value.args) == 1
    assert not hasattr(info.value, "__notes__")
    return str(info.value)


def test_worked_example():
    a = read_string("<a x='1'>t<b/></a>", "a")
    assert isinstance(a, Node)
    assert shape(a) == leaf("a", {"x": "1"}, "t", [leaf("b")])
    b = a.children[0]
    assert b.attrs == {} and b.text is None and b.children == []


@pytest.mark.parametrize(
    "doc, root, expected",
    [
        ("<doc><item>1</item><item>2</item></doc>", "item", leaf("item", text="1")),
        ("<doc><item>1</item></doc><broken x=1/>&bogus;", "item", leaf("item", text="1")),
        ("<a/><b/>", "b", leaf("b")),
        ("<a/><b x=1/>", "a", leaf("a")),
        ("<x a=1><r/></x>", "r", leaf("r")),
        ("<x>&bogus;<r/></x>", "r", leaf("r")),
        ("<ns:a/>", "ns:a", leaf("ns:a")),
        ("<a><a>in</a></a>", "a", leaf("a", children=[leaf("a", text="in")])),
        ("<a>  hello  </a>", "a", leaf("a", text="hello")),
        ("<a>   </a>", "a", leaf("a")),
        ("<a></a>", "a", leaf("a")),
        ("<a>&#160;</a>", "a", leaf("a")),
        ("<a>&#32;x</a>", "a", leaf("a", text="x")),
        ("<a>\u3000x\u2029</a>", "a", leaf("a", text="x")),
        ("<a>\u200bx</a>", "a", leaf("a", text="\u200bx")),
        ("<a>x<b>y</b>z</a>", "a", leaf("a", text="xz", children=[leaf("b", text="y")])),
        ("<p>x <b/> y</p>", "p", leaf("p", text="x  y", children=[leaf("b")])),
        ("<a><![CDATA[ <tag> &amp; ]]></a>", "a", leaf("a", text="<tag> &amp;")),
        ("<a>foo<!-- c -->bar<?pi x?></a>", "a", leaf("a", text="foobar")),
        ("<a>l1\r\nl2\rl3</a>", "a", leaf("a", text="l1\r\nl2\rl3")),
        ("<a x='t\tl\nc\r\nr\rx'/>", "a", leaf("a", {"x": "t l c r x"})),
        ("<a x='&#9;&#10;&#13;'/>", "a", leaf("a", {"x": "\t\n\r"})),
        ("<a x=\"it's\" y='say \"hi\"'/>", "a", leaf("a", {"x": "it's", "y": 'say "hi"'})),
        ("<a x = '1' y\f=\f'2'/>", "a", leaf("a", {"x": "1", "y": "2"})),
        ("<a x='a>b' e='' s=' 1 '/>", "a", leaf("a", {"x": "a>b", "e": "", "s": " 1 "})),
        ("<a a:b='1' x.y='2' 1='3'/>", "a", leaf("a", {"a:b": "1", "x.y": "2", "1": "3"})),
        ("<a>&lt;&gt;&amp;&quot;&apos;</a>", "a", leaf("a", text="<>&\"'")),
        ("<a>&#65;&#x41;&#x+41;&#+65;&#0000065;&#1114111;</a>", "a", leaf("a", text="AAAAA\U0010ffff")),
        ("<a>&#1;</a>", "a", leaf("a", text="\x01")),
        ("</a >"[:0] + "<a></a >", "a", leaf("a")),
        ("<a></a\n>", "a", leaf("a")),
        ("<?xml version='1.0'?><!DOCTYPE a [<!ENTITY e 'x'>]><!-- c --><a/>", "a", leaf("a")),
        ("<é è='à'>û<ü/></é>", "é", leaf("é", {"è": "à"}, "û", [leaf("ü")])),
        ("<a>\U0001F600</a>", "a", leaf("a", text="\U0001F600")),
        ("<r><![CDATA[x]]><![CDATA[]]>y</r>", "r", leaf("r", text="xy")),
    ],
)
def test_trees(doc, root, expected):
    assert shape(read_string(doc, root)) == expected


@pytest.mark.parametrize(
    "doc, root, message",
    [
        ("<a/>", "b", "root tag <b> not found in document"),
        ("<a>", "a", "unexpected end of document: <a> is never closed"),
        ("<a><b>", "a", "unexpected end of document: <b> is never closed"),
        ("<a>x</a>", "b", "root tag <b> not found in document"),
        ("", "b", "root tag <b> not found in document"),
        ("<ns:a/>", "a", "root tag <a> not found in document"),
        ("<a>&x;</a>", "a", "unknown entity reference '&x;' at byte 3"),
        ("<a x=1/>", "a", "malformed XML at byte 5: value of attribute 'x' is not quoted"),
        ("<é>&q;</é>", "é", "unknown entity reference '&q;' at byte 4"),
        ("<é x=1/>", "é", "malformed XML at byte 6: value of attribute 'x' is not quoted"),
        ("<日本 x='1'y='2'/>", "日本", "malformed XML at byte 13: expected whitespace before attribute"),
        ("<a>€&#0;</a>", "a", "malformed XML at byte 6: invalid character reference '&#0;'"),
        ("<x a=1/><r/>", "r", "malformed XML at byte 5: value of attribute 'a' is not quoted"),
        ("<x></y><r/>", "r", "malformed XML at byte 3: expected </x>, found </y>"),
        ("<a><b></a>", "a", "malformed XML at byte 6: expected </b>, found </a>"),
        ("</a>", "a", "malformed XML at byte 0: unexpected end tag </a>"),
        ("<a></a x>", "a", "malformed XML at byte 3: malformed end tag </a>"),
        ("<a x='1'y='2'>", "a", "malformed XML at byte 8: expected whitespace before attribute"),
        ("<a/b>", "a", "malformed XML at byte 2: expected whitespace before attribute"),
        ("<a x>", "a", "malformed XML at byte 3: attribute 'x' has no value"),
        ("<a x'1'>", "a", "malformed XML at byte 3: attribute 'x' has no value"),
        ("<a ='1'>", "a", "malformed XML at byte 3: expected attribute name"),
        ("<a x='1' x='2'>", "a", "malformed XML at byte 9: duplicate attribute 'x'"),
        ("<a x='1' x='&y;'>", "a", "unknown entity reference '&y;' at byte 12"),
        ("<a x='a<b'>", "a", "malformed XML at byte 7: '<' is not allowed in attribute values"),
        ("<a x='/>", "a", "malformed XML at byte 6: unterminated attribute value"),
        ("<a>< b/></a>", "a", "malformed XML at byte 3: expected element name after '<'"),
        ("<a>AT&T</a>", "a", "malformed XML at byte 5: unterminated entity reference"),
        ("<p>AT&T; ok</p>", "p", "unknown entity reference '&T;' at byte 5"),
        ("<a>&#X41;</a>", "a", "malformed XML at byte 3: invalid character reference '&#X41;'"),
        ("<a>&#xD800;</a>", "a", "malformed XML at byte 3: invalid character reference '&#xD800;'"),
        ("<a>&#x110000;</a>", "a", "malformed XML at byte 3: invalid character reference '&#x110000;'"),
        ("<a>&#4294967296;</a>", "a", "malformed XML at byte 3: invalid character reference '&#4294967296;'"),
        ("<a>&#-1;</a>", "a", "malformed XML at byte 3: invalid character reference '&#-1;'"),
        ("<a>&;</a>", "a", "unknown entity reference '&;' at byte 3"),
        ("<a>&AMP;</a>", "a", "unknown entity reference '&AMP;' at byte 3"),
        ("<a><?pi x></a>", "a", "malformed XML at byte 3: unterminated processing instruction"),
        ("<a><![CDATA[x]></a>", "a", "malformed XML at byte 3: unterminated CDATA section"),
        ("<a><!-- x", "a", "malformed XML at byte 9: unexpected end of document"),
        ("<a>&x;<b x=1/></a>", "a", "unknown entity reference '&x;' at byte 3"),
        ("<a>x<", "a", "malformed XML: Unclosed tag at byte 4"),
        ("<a", "a", "malformed XML: Unclosed tag at byte 0"),
        ("<r/><", "r", "malformed XML: Unclosed tag at byte 4"),
    ],
)
def test_errors(doc, root, message):
    assert read_error(doc, root) == message


def test_names_longer_than_16_bits():
    name = "n" * 70000
    node = read_string(f"<{name} k='v'>t</{name}>", name)
    assert node.name == name and node.attrs == {"k": "v"} and node.text == "t"
    name = "é" * 40000  # 80,000 bytes
    assert read_string(f"<r><{name}/></r>", "r").children[0].name == name


def test_str_subclass_and_keywords():
    class S(str):
        pass

    node = read_string(root_tag=S("a"), xml_string=S("<a>t</a>"))
    assert shape(node) == leaf("a", text="t")


@pytest.mark.parametrize(
    "call, exc, message, note",
    [
        (lambda: read_string(b"<a/>", "a"), TypeError, "'bytes' object is not an instance of 'str'", "xml_string"),
        (lambda: read_string("<a/>", None), TypeError, "'None' is not an instance of 'str'", "root_tag"),
        (lambda: read_string(None, "a"), TypeError, "'None' is not an instance of 'str'", "xml_string"),
        (lambda: read_string("\ud800", "a"), UnicodeEncodeError, None, "xml_string"),
        (lambda: read_string("<a/>", "\udfff"), UnicodeEncodeError, None, "root_tag"),
        (lambda: read_file(pathlib.Path("x.xml"), "a"), TypeError, "'PosixPath' object is not an instance of 'str'", "file_path"),
        (lambda: read_file(b"x.xml", "a"), TypeError, "'bytes' object is not an instance of 'str'", "file_path"),
        (lambda: read_file("x.xml", 5), TypeError, "'int' object is not an instance of 'str'", "root_tag"),
    ],
)
def test_argument_conversion(call, exc, message, note):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{note}'"]


def test_read_file_matches_read_string(tmp_path):
    doc = "<?xml version='1.0'?>\n<r a='1'>é<c>&amp;</c><![CDATA[x]]></r>"
    path = tmp_path / "doc.xml"
    path.write_bytes(doc.encode())
    assert shape(read_file(str(path), "r")) == shape(read_string(doc, "r"))
    assert shape(read_file(file_path=str(path), root_tag="c")) == leaf("c", text="&")


def test_read_file_relative_path(tmp_path, monkeypatch):
    (tmp_path / "rel.xml").write_text("<r/>")
    monkeypatch.chdir(tmp_path)
    assert read_file("rel.xml", "r").name == "r"


def test_read_file_leading_bom(tmp_path):
    path = tmp_path / "bom.xml"
    path.write_bytes(b"\xef\xbb\xbf<r>x</r>")
    assert shape(read_file(str(path), "r")) == leaf("r", text="x")


def test_read_file_empty_and_error_offsets(tmp_path):
    empty = tmp_path / "empty.xml"
    empty.write_bytes(b"")
    with pytest.raises(ValueError, match=r"^root tag <r> not found in document$"):
        read_file(str(empty), "r")
    bad = tmp_path / "bad.xml"
    bad.write_bytes("<é>&q;</é>".encode())
    with pytest.raises(ValueError) as info:
        read_file(str(bad), "é")
    assert str(info.value) == "unknown entity reference '&q;' at byte 4"


@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda d: str(d / "missing.xml"), FileNotFoundError, "No such file or directory (os error 2)"),
        (lambda d: str(d / "no" / "such.xml"), FileNotFoundError, "No such file or directory (os error 2)"),
        (lambda d: str(d), IsADirectoryError, "Is a directory (os error 21)"),
        (lambda d: str(d / "file.xml" / "inner.xml"), NotADirectoryError, "Not a directory (os error 20)"),
        (lambda d: str(d / "latin1.xml"), OSError, "stream did not contain valid UTF-8"),
        (lambda d: str(d / "file\0.xml"), OSError, "file name contained an unexpected NUL byte"),
        (lambda d: "", FileNotFoundError, "No such file or directory (os error 2)"),
    ],
)
def test_read_file_errors(tmp_path, make, exc, message):
    (tmp_path / "file.xml").write_text("<r/>")
    (tmp_path / "latin1.xml").write_bytes("<r>café</r>".encode("latin-1"))
    with pytest.raises(OSError) as info:
        read_file(make(tmp_path), "r")
    assert type(info.value) is exc
    assert info.value.args == (message,)
    assert info.value.errno is None and info.value.filename is None
    assert not hasattr(info.value, "__notes__")


@pytest.mark.skipif(os.geteuid() == 0, reason="root may read any file")
def test_read_file_permission_denied(tmp_path):
    path = tmp_path / "locked.xml"
    path.write_text("<r/>")
    path.chmod(0)
    with pytest.raises(PermissionError, match=r"^Permission denied \(os error 13\)$"):
        read_file(str(path), "r")


def test_tree_outlives_the_text():
    text = "".join(["<r k='v'>", "x" * 1000, "<c>&amp;</c></r>"])
    refs = sys.getrefcount(text)
    node = read_string(text, "r")
    assert sys.getrefcount(text) == refs + 1  # the tree keeps the str alive
    del text
    assert node.name == "r" and node.attrs == {"k": "v"} and node.text == "x" * 1000
    assert node.children[0].text == "&"


def test_str_released_with_the_tree():
    text = "".join(["<r>", "y", "</r>"])
    refs = sys.getrefcount(text)
    node = read_string(text, "r")
    del node
    assert sys.getrefcount(text) == refs
    with pytest.raises(ValueError):
        read_string(text, "missing")
    assert sys.getrefcount(text) == refs  # a failed read keeps no reference


def test_two_reads_give_distinct_trees():
    doc = "<r a='1' b='2' c='3'><x>t</x><y/></r>"
    one, two = read_string(doc, "r"), read_string(doc, "r")
    assert shape(one) == shape(two)
    mine = {id(n) for n in [one, *one.children]}
    assert mine.isdisjoint(id(n) for n in [two, *two.children])


def _big_document(megabytes):
    item = "<item id='{}' kind=\"plain\">" + "some text &amp; more text " * 40 + "<sub>x</sub></item>\n"
    per = len(item.format(0))
    count = megabytes * 1024 * 1024 // per
    return "<root>\n" + "".join(item.format(i) for i in range(count)) + "</root>", count


def _spin_during(call):
    """Runs `call` while another thread loops; returns the call's result, its
    duration, and how many loop iterations fell well inside the call.

    While a thread holds the lock, the other one only gets in at bytecode
    boundaries: around the call's start and after its end, never in its
    middle. If the call releases the lock, the loop keeps
    running throughout."""
    stamps = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    old = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    worker = threading.Thread(target=spin)
    worker.start()
    try:
        time.sleep(0.05)
        start = time.perf_counter()
        result = call()
        end = time.perf_counter()
    finally:
        stop.set()
        worker.join()
        sys.setswitchinterval(old)
    # The loop may catch up for several milliseconds after the call returned
    # and before `end` is taken, so only the first half of the call counts.
    took = end - start
    return result, took, sum(start + 0.005 < t < start + took / 2 for t in stamps)


@pytest.mark.thread_unsafe(reason="sets the process's switch interval and counts another thread's progress")
def test_parse_releases_the_interpreter():
    doc, count = _big_document(120)
    root, took, inside = _spin_during(lambda: read_string(doc, "root"))
    assert len(root.children) == count
    assert took > 0.06, "document too small to observe the release"
    assert inside > 100


@pytest.mark.thread_unsafe(reason="sets the process's switch interval and counts another thread's progress")
def test_read_file_releases_the_interpreter(tmp_path):
    doc, count = _big_document(120)
    path = tmp_path / "big.xml"
    path.write_text(doc)
    del doc
    root, took, inside = _spin_during(lambda: read_file(str(path), "root"))
    assert len(root.children) == count
    assert took > 0.06, "document too small to observe the release"
    assert inside > 100


def test_million_levels_read_and_free():
    assert_isolated_ok(
        """
        import os, tempfile
        import orvex
        depth = 1_000_000
        doc = "<d k='v'>" * depth + "deep" + "</d>" * depth
        for root in (orvex.read_string(doc, "d"), None):
            if root is None:
                with tempfile.TemporaryDirectory() as tmp:
                    path = os.path.join(tmp, "deep.xml")
                    with open(path, "w") as f:
                        f.write(doc)
                    root = orvex.read_file(path, "d")
            node, levels = root, 1
            while node.children:
                (node,) = node.children
                levels += 1
            assert levels == depth, levels
            assert node.text == "deep" and node.attrs == {"k": "v"}
            del node, root
        try:
            orvex.read_string("<d>" * depth, "d")
        except ValueError as e:
            assert str(e) == "unexpected end of document: <d> is never closed"
        else:
            raise AssertionError("no error")
        print("ok")
        """
    )


# Enough double quotes per '<' in the first 4096 bytes that the index takes
# its quote-aware build; the same document with apostrophes takes the
# sequential build. Both must give the same tree and the same errors.
DENSE = " ".join(f'a{k}="{k}"' for k in range(30))
SPARSE = DENSE.replace('"', "'")


@pytest.mark.parametrize(
    "body",
    [
        '<a t="1>2">x</a>',
        "don't <b/> it's",
        '<p q="&quot;>&lt;">say "hi" <i>now</i></p> and "<b/>"',
        "<![CDATA[x<y]]><!-- c --><?pi ?>tail",
    ],
)
def test_quote_dense_documents_read_like_sparse_ones(body):
    dense = read_string(f"<r {DENSE}>{body}</r>", "r")
    sparse = read_string(f"<r {SPARSE}>{body.replace(DENSE, SPARSE)}</r>", "r")
    assert shape(dense) == shape(sparse)
    assert dense.attrs == {f"a{k}": str(k) for k in range(30)}


# A document type declaration ends at its first '>' outside its literals and
# internal subset, in both builds of the index.
@pytest.mark.parametrize(
    "doctype, body, root, expected",
    [
        ("""<!DOCTYPE r [<!ENTITY x "a>b<a k='1'/>">]>""", "<r><a/></r>", "a", leaf("a")),
        ('<!DOCTYPE doc [<!ELEMENT doc (foo)><!ELEMENT foo (#PCDATA)><!ENTITY e "&#60;foo></foo>">]>',
         "<doc><foo>x</foo></doc>", "doc", leaf("doc", children=[leaf("foo", text="x")])),
        ("<!DOCTYPE r SYSTEM 'a>b' [<!-- ' ] > --><?pi \" ]?><!ATTLIST r a CDATA '>'>]>", "<r>t</r>", "r",
         leaf("r", text="t")),
        ("<!DOCTYPE r>", "<r><!DOCTYPE x [<y/>]>t</r>", "r", leaf("r", text="t")),
    ],
)
def test_document_type_declarations_with_literals_and_subsets(doctype, body, root, expected):
    assert shape(read_string(doctype + body, root)) == expected
    # Dense double quotes on the first element send the same document to the
    # quote-aware build of the index.
    dense = read_string(doctype + body.replace(">", f" {DENSE}>", 1), root)
    sparse = read_string(doctype + body.replace(">", f" {SPARSE}>", 1), root)
    assert shape(dense) == shape(sparse)


def test_entities_of_the_internal_subset_stay_unknown():
    doc = '<!DOCTYPE r [<!ENTITY e "x>y">]><r>&e;</r>'
    assert read_error(doc, "r") == f"unknown entity reference '&e;' at byte {doc.index('&e;')}"


# After the root only the structural index looks at the text: a tail it
# cannot index fails the read, one it can is accepted unchecked. The
# quote-dense build differs on three malformed tails.
@pytest.mark.parametrize(
    "tail, sparse, dense",
    [
        ("<", "malformed XML: Unclosed tag at byte {at}", None),
        ("<b>", None, None),
        ("</c>&bogus;", None, None),
        ("<b x=1>", None, None),
        ("<b x=1", "malformed XML: Unclosed tag at byte {at}", "malformed XML: Unclosed tag at byte {at}"),
        ("</b", "malformed XML: Unclosed tag at byte {at}", "malformed XML: Unclosed tag at byte {at}"),
        ("<!-- x", "malformed XML at byte {end}: unexpected end of document", None),
        ("<?pi", "malformed XML at byte {end}: unexpected end of document",
         "malformed XML at byte {end}: unexpected end of document"),
        ("<!x", None, "malformed XML: Unclosed tag at byte {at}"),
    ],
)
def test_what_is_checked_after_the_root(tail, sparse, dense):
    for attrs, want in ((SPARSE, sparse), (DENSE, dense)):
        doc = f"<a {attrs}/>{tail}"
        if want is None:
            assert read_string(doc, "a").attrs["a1"] == "1"
        else:
            assert read_error(doc, "a") == want.format(at=doc.rindex(tail), end=len(doc.encode()))


def test_quote_dense_unterminated_comment():
    doc = f"<r {DENSE}>x<!-- never closed</r>"
    assert read_error(doc, "r") == f"malformed XML at byte {doc.index('<!--')}: unterminated comment"


def test_read_file_without_a_size_reads_to_the_end(tmp_path):
    # A pipe reports no size: the contents arrive in pieces and the buffer grows.
    fifo = tmp_path / "pipe.xml"
    os.mkfifo(fifo)
    items = "".join(f"<i n='{k}'>{'é' * (k % 7)}</i>" for k in range(20000))
    doc = f"<r>{items}</r>".encode()

    def feed():
        with open(fifo, "wb") as f:
            for k in range(0, len(doc), 4096):
                f.write(doc[k : k + 4096])

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        root = read_file(str(fifo), "r")  # opening blocks until the writer opens: detached
    finally:
        writer.join()
    assert len(root.children) == 20000
    assert [c.attrs["n"] for c in root.children] == [str(k) for k in range(20000)]
    assert [c.text for c in root.children[:8]] == [None, "é", "éé", "ééé", "éééé", "ééééé", "éééééé", None]


@pytest.mark.parametrize("length", [0, 1, 7, 15, 16, 17, 31, 32, 33, 47, 70])
def test_attribute_value_scan_at_every_position(length):
    # The value scan goes 16 bytes at a time through long values and byte by
    # byte through the rest: every position must give the same answers.
    head = "<a x='"
    for pos in range(length):
        for piece, value in (("\t", " "), ("&amp;", "&"), ('"', '"'), ("é", "é")):
            raw = "v" * pos + piece + "w" * (length - pos)
            node = orvex.read_string(head + raw + "' y='1'/>", "a")
            assert node.attrs == {"x": "v" * pos + value + "w" * (length - pos), "y": "1"}
        doc = head + "v" * pos + "<" + "w" * (length - pos) + "'/>"
        with pytest.raises(ValueError) as e:
            orvex.read_string(doc, "a")
        assert str(e.value) == f"malformed XML at byte {len(head) + pos}: '<' is not allowed in attribute values"
    # No closing quote: reported at the value's first byte, '<' or not.
    for doc in (head + "v" * length + "/>", head + "<" + "v" * length + "/>"):
        with pytest.raises(ValueError) as e:
            orvex.read_string(doc, "a")
        assert str(e.value) == f"malformed XML at byte {len(head)}: unterminated attribute value"


# A str that is not ASCII is encoded into the document's own buffer: every
# width of str (1, 2 and 4 bytes a character), characters at the ends of
# ASCII runs of every length, give the tree the same bytes read from a file
# give; a lone surrogate at any width is the interpreter's own error.
@pytest.mark.parametrize("extra", ["é", "ÿ", "€", "中", "\uffff", "\U0001F600", "\U0010FFFF"])
def test_non_ascii_strs_read_like_their_utf8(tmp_path, extra):
    path = tmp_path / "doc.xml"
    for run in range(0, 40, 7):
        text = "a" * run + extra + "b" * (39 - run) + extra
        doc = f"<r k='{extra}{text}'>{text}<c>{extra * 3}</c>{'x' * run}</r>"
        path.write_bytes(doc.encode())
        assert shape(read_string(doc, "r")) == shape(read_file(str(path), "r"))
    surrogate = f"<r>{extra}{'a' * 20}\ud800</r>"
    with pytest.raises(UnicodeEncodeError) as info:
        read_string(surrogate, "r")
    assert info.value.object == surrogate and info.value.reason == "surrogates not allowed"
    assert info.value.__notes__ == ["while processing 'xml_string'"]
    # Reported before a faulty root tag, as the arguments come.
    with pytest.raises(UnicodeEncodeError):
        read_string(surrogate, 5)
