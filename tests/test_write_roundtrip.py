"""Writing then reading: random trees survive under the reader's rules."""
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvex import Node, read_string, write_file, write_string

# The 25 White_Space characters the reader trims from both ends of a text.
UNICODE_WS = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"

names = st.from_regex(r"[A-Za-z_][A-Za-z0-9_.\-]{0,8}", fullmatch=True)
# Any character but NUL and surrogates; specials and whitespace made likely.
chars = st.one_of(
    st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"),
    st.sampled_from("&<>\"'\t\r\n \xa0\u3000;#"),
)
strings = st.text(chars, max_size=20)


def nodes():
    leaf = st.builds(
        Node,
        names,
        st.dictionaries(names, strings, max_size=4),
        st.just(None),
        st.one_of(st.none(), strings),
    )

    def extend(children):
        return st.builds(
            Node,
            names,
            st.dictionaries(names, strings, max_size=3),
            st.lists(children, max_size=4),
            st.one_of(st.none(), strings),
        )

    return st.recursive(leaf, extend, max_leaves=25)


def as_reader_sees(n):
    """The tree a reader gives back: texts trimmed, empty texts absent."""
    text = n.text.strip(UNICODE_WS) if n.text is not None else None
    return (n.name, n.attrs, text or None, [as_reader_sees(c) for c in n.children])


def exact(n):
    return (n.name, n.attrs, n.text, [exact(c) for c in n.children])


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(nodes(), st.integers(0, 5), st.booleans())
def test_read_after_write_gives_the_tree_back(tree, indent, declaration):
    text = write_string(tree, indent, declaration)
    back = read_string(text, tree.name)
    assert as_reader_sees(back) == as_reader_sees(tree)
    # A tree the reader produced comes back exactly.
    again = read_string(write_string(back, indent, not declaration), back.name)
    assert exact(again) == exact(back)


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(tree=nodes(), indent=st.integers(0, 3))
def test_write_file_matches_write_string_for_random_trees(tree, indent, tmp_path):
    path = tmp_path / "t.xml"
    write_file(tree, str(path), indent)
    assert path.read_bytes() == write_string(tree, indent).encode()


def test_views_from_a_read_document_write_back_unchanged():
    doc = '<r a="1" b="x&amp;y"><c>t &lt; u</c><d k="v"/><e>  pad  <f/></e></r>'
    tree = read_string(doc, "r")
    out = write_string(tree, 0, False)
    attrs = "".join(f' {k}="{v}"' for k, v in tree.attrs.items()).replace("x&y", "x&amp;y")
    assert out == f"<r{attrs}>\n<c>t &lt; u</c>\n<d k=\"v\"/>\n<e>pad<f/>\n</e>\n</r>"
    del doc  # the tree keeps its own copy of the text alive
    assert write_string(tree, 0, False) == out
