"""to_dict and from_dict: the dictionary form, the build rules, and the
exact errors of the conversion step."""
import json

import pytest

from helpers import assert_isolated_ok
from orvex import Node

HEAD = "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')"


def variant(kind, error):
    return f"\n- variant {kind} ({kind}): TypeError: failed to extract field HashmapTypes::{kind}.0, caused by {error}"


def enum_message(string_err, vec_err, nullable_err, map_err):
    return (HEAD + variant("String", string_err) + variant("Vec", vec_err)
            + variant("NullableString", nullable_err) + variant("Map", map_err))


def mismatch(type_name, target):
    return f"TypeError: '{type_name}' object is not an instance of '{target}'"


def plain(type_name):
    """A value of a type that is no str, sequence, None or dict."""
    return enum_message(mismatch(type_name, "str"), mismatch(type_name, "Sequence"),
                        mismatch(type_name, "str"), mismatch(type_name, "dict"))


def in_list(inner_error):
    """A list value whose Vec attempt failed with `inner_error`."""
    return enum_message(mismatch("list", "str"), inner_error, mismatch("list", "str"), mismatch("list", "dict"))


def leaf(name="x", **extra):
    return {"name": name, "attrs": {}, "children": [], **extra}


def conversion_error(value):
    with pytest.raises(TypeError) as info:
        Node.from_dict(value)
    assert info.value.__notes__ == ["while processing 'dict_'"]
    return str(info.value)


def tree_of(node):
    """Comparable plain form of a tree, from the properties."""
    return (node.name, node.attrs, node.text, [tree_of(c) for c in node.children])


# ---------------------------------------------------------------- to_dict


def test_to_dict_builds_new_objects_and_repeats_shared_children():
    shared = Node("s", {"k": "v"}, [Node("g")], "t")
    top = Node("r", children=[shared, shared])
    d = top.to_dict()
    first, second = d["children"]
    assert first == second and first is not second
    assert first["attrs"] is not second["attrs"] and first["children"] is not second["children"]
    d["children"].clear()
    d["attrs"]["new"] = "x"
    assert top.to_dict()["children"] == [first, second]
    assert top.attrs == {}
    # Nothing is kept from one call to the next, strs included.
    again = top.to_dict()["children"][0]
    assert again["name"] == first["name"] and again["name"] is not first["name"]
    assert next(iter(again["attrs"])) is not next(iter(first["attrs"]))


def test_to_dict_keys_in_one_order_and_attributes_in_the_nodes_order():
    node = Node("n", {f"k{i}": "v" for i in range(8)}, [Node("c", {"a": "1", "b": "2"}, text="t")])
    d = node.to_dict()
    assert list(d) == list(d["children"][0]) == ["name", "attrs", "children", "text"]
    assert list(d["attrs"]) == list(node.attrs)
    assert list(d["children"][0]["attrs"]) == list(node.children[0].attrs)
    assert json.dumps(d) == json.dumps(node.to_dict())


def test_to_dict_takes_no_arguments():
    with pytest.raises(TypeError):
        Node("a").to_dict(1)
    with pytest.raises(TypeError):
        Node("a").to_dict(x=1)


# ---------------------------------------------------------------- from_dict: building


def test_keyword_argument_and_call_through_instance():
    assert Node.from_dict(dict_=leaf("k")).name == "k"
    assert Node("z").from_dict(leaf("i")).name == "i"


class Pairs:
    """A sequence that is neither list nor tuple."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def test_children_from_any_sequence():
    children = Pairs(leaf("a"), leaf("b"))
    assert [c.name for c in Node.from_dict(leaf("r", children=children)).children] == ["a", "b"]


def test_subclasses_accepted():
    class D(dict):
        pass

    class S(str):
        pass

    n = Node.from_dict(D(name=S("r"), attrs=D({S("k"): S("v")}), children=[D(leaf("c"))], text=S("t")))
    assert tree_of(n) == ("r", {"k": "v"}, "t", [("c", {}, None, [])])


@pytest.mark.parametrize(
    "value, message",
    [
        ({"attrs": {}, "children": []}, "Invalid name"),
        ({}, "Invalid name"),
        ({"children": []}, "Invalid name"),
        (leaf(name=None), "Invalid name"),
        (leaf(name=[]), "Invalid name"),
        (leaf(name={"a": "b"}), "Invalid name"),
        ({"name": "a", "children": []}, "Invalid attrs"),
        (leaf(attrs=None), "Invalid attrs"),
        (leaf(attrs=[]), "Invalid attrs"),
        (leaf(attrs="k"), "Invalid attrs"),
        ({"name": "a", "attrs": {}}, "Invalid children"),
        (leaf(children="ab"), "Invalid children"),
        (leaf(children=None), "Invalid children"),
        (leaf(children={}), "Invalid children"),
        (leaf(children=[{"name": "a", "attrs": {}, "children": [{"name": "b", "children": []}]}]), "Invalid attrs"),
        # Elements are checked in pre-order: the first child's subtree before the second child.
        (leaf(children=[leaf(children=[{"attrs": {}, "children": []}]), {"name": "b", "children": []}]),
         "Invalid name"),
        (leaf(children=[{"name": "a", "children": []}, {"attrs": {}, "children": []}]), "Invalid attrs"),
        # The element's own fields come before its children's.
        ({"name": "r", "attrs": {}, "children": "x", "x": [{"name": None}]}, "Invalid children"),
    ],
)
def test_invalid_node_maps(value, message):
    with pytest.raises(ValueError) as info:
        Node.from_dict(value)
    assert type(info.value) is ValueError and str(info.value) == message
    assert not hasattr(info.value, "__notes__")


def test_conversion_errors_come_before_build_errors():
    # Every value is converted before any element is checked.
    assert conversion_error({"name": None, "later": 5}) == plain("int")
    assert conversion_error(leaf(children=[{"attrs": {}}], text=1.5)) == plain("float")


# ---------------------------------------------------------------- from_dict: conversion errors


def test_argument_must_be_a_dict():
    for value, message in [([], "'list' object is not an instance of 'dict'"),
                           (None, "'None' is not an instance of 'dict'"),
                           ("{}", "'str' object is not an instance of 'dict'")]:
        assert conversion_error(value) == message


def test_binding():
    with pytest.raises(TypeError) as info:
        Node.from_dict()
    assert str(info.value) == "Node.from_dict() missing 1 required positional argument: 'dict_'"
    with pytest.raises(TypeError) as info:
        Node.from_dict(leaf(), d=1)
    assert str(info.value) == "Node.from_dict() got an unexpected keyword argument 'd'"


def test_int_value_message_exactly():
    assert conversion_error(leaf(text=5)) == (
        "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')\n"
        "- variant String (String): TypeError: failed to extract field HashmapTypes::String.0, "
        "caused by TypeError: 'int' object is not an instance of 'str'\n"
        "- variant Vec (Vec): TypeError: failed to extract field HashmapTypes::Vec.0, "
        "caused by TypeError: 'int' object is not an instance of 'Sequence'\n"
        "- variant NullableString (NullableString): TypeError: failed to extract field "
        "HashmapTypes::NullableString.0, caused by TypeError: 'int' object is not an instance of 'str'\n"
        "- variant Map (Map): TypeError: failed to extract field HashmapTypes::Map.0, "
        "caused by TypeError: 'int' object is not an instance of 'dict'"
    )


def test_lone_surrogate_value():
    encode = ("UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 1: "
              "surrogates not allowed")
    assert conversion_error(leaf(text="a\ud800")) == enum_message(
        encode, "TypeError: Can't extract `str` to `Vec`", encode, mismatch("str", "dict"))


def test_nested_bad_value_shows_in_every_enclosing_vec_line():
    grandchild = leaf("g", bad=True)
    value = leaf("r", children=[leaf("c"), leaf("c", children=[leaf("d"), grandchild])])
    assert conversion_error(value) == in_list("TypeError: " + in_list("TypeError: " + plain("bool")))


def test_nested_failures_of_other_kinds():
    # An item that is no dict, a key that is no str, a key that cannot be encoded.
    assert conversion_error(leaf(children=[leaf(), 3])) == in_list(mismatch("int", "dict"))
    assert conversion_error(leaf(children=[{1: "x"}])) == in_list(mismatch("int", "str"))
    assert conversion_error(leaf(children=[{"\udc80": "x"}])) == in_list(
        "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed")
    # A tuple at the outer level, a list inside.
    assert conversion_error(leaf(children=(leaf(x=[1]),))) == enum_message(
        mismatch("tuple", "str"), "TypeError: " + in_list(mismatch("int", "dict")),
        mismatch("tuple", "str"), mismatch("tuple", "dict"))


def test_map_attempt_reports_the_bad_entry():
    assert conversion_error(leaf(attrs={"k": 1})) == enum_message(
        mismatch("dict", "str"), mismatch("dict", "Sequence"), mismatch("dict", "str"), mismatch("int", "str"))
    assert conversion_error(leaf(attrs={2: "v"})) == enum_message(
        mismatch("dict", "str"), mismatch("dict", "Sequence"), mismatch("dict", "str"), mismatch("int", "str"))


def test_top_level_keys():
    assert conversion_error({1: "x"}) == "'int' object is not an instance of 'str'"
    with pytest.raises(UnicodeEncodeError) as info:
        Node.from_dict({"\ud800": "x"})
    assert info.value.__notes__ == ["while processing 'dict_'"]


class FailingIter:
    """A sequence whose iteration raises, with a cause."""

    def __len__(self):
        return 1

    def __getitem__(self, i):
        return leaf()

    def __iter__(self):
        raise ValueError("outer") from KeyError("inner")


class FailsMidway(FailingIter):
    def __iter__(self):
        yield leaf()
        raise LookupError("midway")


def test_iteration_errors_become_the_vec_cause():
    def expected(type_name, cause):
        return enum_message(mismatch(type_name, "str"), cause, mismatch(type_name, "str"),
                            mismatch(type_name, "dict"))

    assert conversion_error(leaf(children=FailingIter())) == expected(
        "FailingIter", "ValueError: outer, caused by KeyError: 'inner'")
    assert conversion_error(leaf(children=FailsMidway())) == expected("FailsMidway", "LookupError: midway")


@pytest.mark.parametrize("depth", [3, 32, 33, 5000])
def test_deeply_nested_error(depth):
    value = leaf(bad=2.5)
    for _ in range(depth):
        value = leaf(children=[value])
    message = conversion_error(value)
    # Each level wraps the one inside it: in_list("TypeError: " + inner), joined here in one go.
    before, after = in_list("\0").split("\0")
    level = before + "TypeError: "
    if depth <= 32:
        assert message == level * depth + plain("float") + after * depth
    else:  # the 16 outermost and the 16 innermost levels, and how many between were left out
        marker = f"[... {depth - 32} levels of nesting left out ...] "
        assert message == level * 16 + marker + level * 16 + plain("float") + after * 32


class Mutating:
    """A sequence whose iteration changes the dict that holds it."""

    def __init__(self, change):
        self.change = change
        self.owner = None

    def __len__(self):
        return 0

    def __getitem__(self, i):
        raise IndexError

    def __iter__(self):
        self.change(self.owner)
        return iter(())


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda d: d.__setitem__("added", "x"), "dictionary changed size during iteration"),
        (lambda d: d.pop("other"), "dictionary changed size during iteration"),
        # Same size, but the walk meets more entries than the dict had.
        (lambda d: (d.pop("seq"), d.__setitem__("new", "x")), "dictionary keys changed during iteration"),
    ],
)
@pytest.mark.parametrize("nested", [False, True])
def test_dict_changed_during_walk(change, message, nested):
    seq = Mutating(change)
    # "pad" leaves room in the table, so the dict is not compacted by the change.
    d = {"seq": seq, "other": "o", "name": "a", "attrs": {}, "children": [], "pad": "p"}
    seq.owner = d
    with pytest.raises(RuntimeError) as info:
        Node.from_dict(leaf(children=[d]) if nested else d)
    assert str(info.value) == message


def test_dict_inside_itself_is_refused():
    d = leaf()
    d["children"].append(d)
    with pytest.raises(RecursionError):
        Node.from_dict(d)


# ---------------------------------------------------------------- depth


def test_million_levels_deep():
    assert_isolated_ok(
        """
        from orvex import Node
        n = Node("leaf", {"k": "v"}, None, "t")
        for _ in range(1_000_000):
            n = Node("n", None, [n])
        d = n.to_dict()
        depth, cur = 0, d
        while cur["children"]:
            assert cur["name"] == "n" and cur["text"] is None
            cur = cur["children"][0]
            depth += 1
        assert depth == 1_000_000 and cur == {"name": "leaf", "attrs": {"k": "v"}, "children": [], "text": "t"}
        m = Node.from_dict(d)
        del d
        found = m.search_by_name("leaf")
        assert len(found) == 1 and found[0].text == "t" and found[0].attrs == {"k": "v"}
        del m, n
        # Built directly as nested dicts.
        d = {"name": "leaf", "attrs": {}, "children": []}
        for _ in range(1_000_000):
            d = {"name": "n", "attrs": {}, "children": [d], "text": "x"}
        assert len(Node.from_dict(d).search_by_text("x")) == 1_000_000
        print("done")
        """
    )


@pytest.mark.thread_unsafe(reason="switches the process's cycle collector")
@pytest.mark.parametrize("enabled", [True, False])
def test_to_dict_leaves_the_cycle_collector_as_it_found_it(enabled):
    import gc

    node = Node("r", {"k": "v"}, [Node("c", text="t")] * 3)
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        node.to_dict()
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()
