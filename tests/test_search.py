"""Search: agreement with a straightforward reference on random node graphs
(shared and repeated children included), argument handling, and depth."""
import inspect

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

from helpers import assert_isolated_ok
from orvex import Node, SearchType

# Small alphabets so that matches are common; near-misses (case, length,
# combining characters) make byte-exact comparison matter.
NAMES = ["a", "A", "ab", "", "é", "e\u0301", "a b"]
KEYS = ["id", "ID", "", "ü", "k"]
TEXTS = ["", " ", "x", "X", "x ", "é"]


@st.composite
def graphs(draw):
    """A Node graph whose nodes may be children of several parents, or
    appear several times under one parent. Returns the top node."""
    count = draw(st.integers(1, 12))
    nodes, paths = [], []
    for i in range(count):
        kids = draw(st.lists(st.integers(0, i - 1), max_size=3)) if i else []
        attrs = draw(st.dictionaries(st.sampled_from(KEYS), st.sampled_from(TEXTS), max_size=3))
        text = draw(st.none() | st.sampled_from(TEXTS))
        nodes.append(Node(draw(st.sampled_from(NAMES)), attrs, [nodes[k] for k in kids], text))
        paths.append(1 + sum(paths[k] for k in kids))
    assume(paths[-1] <= 3000)
    return nodes[-1]


def reference(node, matches, depth):
    """Pre-order, once per path; the depth counts down per level and the
    visit stops below a node whose count has reached exactly zero."""
    out = []

    def visit(n, remaining):
        if matches(n):
            out.append(n)
        if depth is not None and remaining == 0:
            return
        for c in n.children:
            visit(c, None if depth is None else remaining - 1)

    visit(node, depth)
    return out


# (kind, matcher factory, single-kind method, values to search for).
# A list, since SearchType members are unhashable.
KINDS = [
    (SearchType.Tag, lambda v: lambda n: n.name == v, Node.search_by_name, NAMES),
    (SearchType.Attr, lambda v: lambda n: v in n.attrs, Node.search_by_attr, KEYS),
    (SearchType.Text, lambda v: lambda n: n.text == v, Node.search_by_text, TEXTS),
]


def ids(nodes):
    return [id(n) for n in nodes]


@settings(max_examples=300, deadline=None)
@given(
    top=graphs(),
    kind=st.sampled_from(KINDS),
    data=st.data(),
    depth=st.none() | st.integers(-3, 5),
)
def test_agrees_with_reference(top, kind, data, depth):
    kind, make_matcher, method, values = kind
    value = data.draw(st.sampled_from(values))
    expected = ids(reference(top, make_matcher(value), depth))
    assert ids(method(top, value, depth)) == expected
    assert ids(method(top, value, depth=depth)) == expected
    assert ids(top.search(kind, value, depth)) == expected
    if depth is None:
        assert ids(method(top, value)) == expected


def test_depth_extremes():
    g = Node("x")
    c = Node("x", {"id": ""}, [g])
    top = Node("x", children=[c])
    for d, n in [(-2**31, 3), (2**31 - 1, 3), (True, 2), (False, 1)]:
        assert len(top.search_by_name("x", d)) == n
    assert top.search_by_attr("id", 0) == []
    assert top.search_by_attr("id", 1) == [c]


def test_string_subclass_and_non_ascii_are_compared_by_bytes():
    class S(str):
        pass

    n = Node("naïve", {"ключ": "v"}, text="テキスト")
    assert n.search_by_name(S("naïve")) == [n]
    assert n.search_by_attr("ключ") == [n]
    assert n.search_by_text("テキスト") == [n]
    assert n.search_by_name("naive") == []


STR_ERR = "'{}' object is not an instance of 'str'"


@pytest.mark.parametrize(
    "call, exc, message, note",
    [
        (lambda n: n.search_by_name(5), TypeError, STR_ERR.format("int"), "name"),
        (lambda n: n.search_by_attr(None), TypeError, "'None' is not an instance of 'str'", "key"),
        (lambda n: n.search_by_text(b"x"), TypeError, STR_ERR.format("bytes"), "text"),
        (lambda n: n.search(SearchType.Tag, 1), TypeError, STR_ERR.format("int"), "value"),
        (lambda n: n.search(1, 2, "x"), TypeError, "'int' object is not an instance of 'SearchType'", "by"),
        (lambda n: n.search_by_name(5, depth="x"), TypeError, STR_ERR.format("int"), "name"),
        (lambda n: n.search_by_name("a", 2**31), OverflowError, "number too large to fit in target type", "depth"),
        (lambda n: n.search_by_name("a", -2**31 - 1), OverflowError, "number too small to fit in target type", "depth"),
        (lambda n: n.search(SearchType.Text, "a", 2**63), OverflowError, None, "depth"),
        (lambda n: n.search_by_attr("a", "1"), TypeError, None, "depth"),
        (lambda n: n.search_by_text("a", 1.0), TypeError, None, "depth"),
        (lambda n: n.search_by_name("\ud800"), UnicodeEncodeError, None, "name"),
        (lambda n: n.search(SearchType.Attr, "a\udfff"), UnicodeEncodeError, None, "value"),
    ],
)
def test_argument_conversion_errors(call, exc, message, note):
    with pytest.raises(exc) as info:
        call(Node("a"))
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda n: n.search(), "Node.search() missing 2 required positional arguments: 'by' and 'value'"),
        (lambda n: n.search(SearchType.Tag), "Node.search() missing 1 required positional argument: 'value'"),
        (lambda n: n.search_by_name(), "Node.search_by_name() missing 1 required positional argument: 'name'"),
        (lambda n: n.search_by_attr("a", 1, 2),
         "Node.search_by_attr() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda n: n.search(SearchType.Tag, "a", foo=1), "Node.search() got an unexpected keyword argument 'foo'"),
        (lambda n: n.search_by_text("a", text="b"), "Node.search_by_text() got multiple values for argument 'text'"),
        (lambda n: n.search_by_name(depth=1), "Node.search_by_name() missing 1 required positional argument: 'name'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(Node("a"))
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


def test_keywords_and_none_depth():
    n = Node("a", {"k": "v"}, text="t")
    assert n.search(by=SearchType.Attr, value="k", depth=None) == [n]
    assert n.search_by_name(name="a") == [n]
    assert n.search_by_attr(key="k") == [n]
    assert n.search_by_text(depth=0, text="t") == [n]


@pytest.mark.parametrize(
    "method, params",
    [
        ("search_by_name", ["self", "name", "depth=None"]),
        ("search_by_attr", ["self", "key", "depth=None"]),
        ("search_by_text", ["self", "text", "depth=None"]),
        ("search", ["self", "by", "value", "depth=None"]),
        ("to_dict", ["self"]),
    ],
)
def test_signatures(method, params):
    # Older interpreters mark `self` positional-only; the parameters are what matter.
    def shown(obj):
        return [str(p) for p in inspect.signature(obj).parameters.values()]

    assert shown(getattr(Node, method)) == params
    assert shown(getattr(Node("a"), method)) == params[1:]
    assert getattr(Node, method).__doc__ is None


def test_from_dict_signature():
    assert str(inspect.signature(Node.from_dict)) == "(dict_)"


def test_million_levels_deep():
    assert_isolated_ok(
        """
        from orvex import Node, SearchType
        n = Node("leaf", {"k": "v"}, None, "t")
        for _ in range(1_000_000):
            n = Node("n", None, [n])
        assert [x.name for x in n.search_by_name("leaf")] == ["leaf"]
        assert len(n.search_by_attr("k")) == 1
        assert len(n.search(SearchType.Text, "t", -1)) == 1
        assert n.search_by_name("leaf", 999_999) == []
        assert len(n.search_by_name("leaf", 1_000_000)) == 1
        assert len(n.search_by_name("n")) == 1_000_000
        print("done")
        """
    )


@pytest.mark.parametrize("count", range(1, 18))
def test_attr_search_misses_on_every_map_size(count):
    # Small attribute tables can have every slot taken; a key that is not
    # there must still be reported missing, for built and for read nodes.
    attrs = {f"k{i}": str(i) for i in range(count)}
    import orvex

    xml = "<a " + " ".join(f'{k}="{v}"' for k, v in attrs.items()) + "/>"
    for node in (Node("a", attrs), orvex.read_string(xml, "a")):
        assert node.search_by_attr("missing") == []
        assert node.search_by_attr("") == []
        assert node.search_by_attr(f"k{count - 1}") == [node]
