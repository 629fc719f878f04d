"""The Node class: construction, properties, text form, repr, and release."""
import gc
import sys
import tracemalloc

import pytest
from hypothesis import given, settings, strategies as st

from helpers import assert_isolated_ok
from orvex import Node, read_string


def example():
    return Node("root", {"id": "1"}, [Node("a", text="x"), Node("b")], "hi")


def test_properties_of_a_bare_node():
    n = Node("leaf")
    assert (n.name, n.attrs, n.children, n.text) == ("leaf", {}, [], None)
    assert str(n) == "Name: leaf"
    assert repr(n) == "Node(leaf)"


def test_properties_return_new_objects_that_do_not_alias_the_record():
    n = Node("a", {"k": "v"}, [Node("c")], "t")
    attrs = n.attrs
    attrs["new"] = "x"
    assert n.attrs == {"k": "v"} and n.attrs is not n.attrs
    kids = n.children
    kids.append(Node("d"))
    assert len(n.children) == 1 and n.children is not n.children


@pytest.mark.parametrize("make", [lambda: Node("name", {"key": "value"}, text="text"),
                                  lambda: read_string('<name key="value">text</name>', "name")])
def test_every_access_makes_new_strs(make):
    a, b = make(), make()
    for x, y in [(a.name, a.name), (a.name, b.name), (a.text, b.text),
                 (next(iter(a.attrs)), next(iter(b.attrs))), (a.attrs["key"], b.attrs["key"])]:
        assert x == y and x is not y


def test_properties_by_a_name_made_at_run_time_agree():
    # The interned names of code take a shortcut; other strs the generic way.
    n = example()
    for field in ("name", "attrs", "children", "text"):
        made = "".join(list(field))
        assert made is not field and getattr(n, made) == getattr(n, field)
    assert getattr(n, "".join(list("to_dict")))() == n.to_dict()
    with pytest.raises(AttributeError):
        n.nam


def test_keyword_arguments_and_none_defaults():
    n = Node(text="t", children=None, attrs=None, name="x")
    assert (n.name, n.text, n.attrs, n.children) == ("x", "t", {}, [])


def test_any_strings_are_stored_as_given():
    weird = "a <b> & \"c\" é 𝄞\n"
    n = Node(weird, {weird: weird, "": ""}, text="")
    assert n.name == weird
    assert n.attrs == {weird: weird, "": ""}
    assert n.text == ""
    assert repr(Node("has space")) == "Node(has space)"


def test_text_form_of_the_worked_example():
    assert str(example()) == "Name: root\nAttributes:\nid: 1\nText: hi\nChildren:\n  Name: a\n  Text: x\n\n  Name: b\n"
    assert example().__to_string(2) == (
        "  Name: root\n  Attributes:\n  id: 1\n  Text: hi\n  Children:\n"
        "      Name: a\n    Text: x\n\n      Name: b\n"
    )


def test_text_form_of_empty_text_and_repeated_child():
    assert str(Node("a", text="")) == "Name: a\nText: "
    c = Node("c")
    n = Node("p", children=(c, c))
    assert n.children == [c, c] and n.children[0] is n.children[1]
    assert str(n) == "Name: p\nChildren:\n  Name: c\n\n  Name: c\n"


def test_text_form_lists_attributes_in_the_order_attrs_shows():
    attrs = {f"k{i}": str(i) for i in range(20)}
    n = Node("a", attrs)
    lines = str(n).split("\n")[2:]
    assert lines == [f"{k}: {v}" for k, v in n.attrs.items()]


def test_text_form_indentation_does_not_wrap_past_255():
    n = Node("leaf")
    for _ in range(3):
        n = Node("x", children=[n])
    lines = n.__to_string(255).split("\n")
    assert lines[0] == " " * 255 + "Name: x"
    # The leaf's own indentation is 255 + 2 * 3 = 261, plus its parent's 259 on its first line.
    assert " " * (259 + 261) + "Name: leaf" in lines


def test_text_form_refuses_trees_deeper_than_the_recursion_limit():
    n = Node("x")
    for _ in range(sys.getrecursionlimit() + 5):
        n = Node("x", children=[n])
    with pytest.raises(RecursionError):
        str(n)


def test_shared_child_reference_counts_balance():
    child = Node("c", {"k": "v"})
    start = sys.getrefcount(child)
    parents = [Node("p", children=[child, child]) for _ in range(100)]
    assert sys.getrefcount(child) == start + 200
    del parents
    assert sys.getrefcount(child) == start
    with pytest.raises(TypeError):
        Node("p", children=[child, 1])
    assert sys.getrefcount(child) == start


@pytest.mark.thread_unsafe(reason="measures the process's traced memory")
def test_building_and_dropping_many_nodes_leaves_memory_flat():
    shared = Node("shared", {"a": "b"})

    def churn():
        for i in range(100_000):
            Node("n", {"id": str(i), "x": "y"}, [shared, shared], "t")

    churn()
    gc.collect()
    tracemalloc.start()
    base, _ = tracemalloc.get_traced_memory()
    churn()
    gc.collect()
    after, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert after - base < 64 * 1024


# Strings around the lengths where the properties change how they make strs
# (short ones checked and copied a word or two at a time, longer ones a
# vector at a time), all ASCII or with one character of each wider width at
# the start or the end.
STRING_SHAPES = [
    base[:n] + tail
    for n in (0, 1, 2, 3, 4, 7, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 200)
    for base in ("k" * 200, "attr-name_" * 20)
    for tail in ("", "\xff", "é", "日", "\U0001d11e")
] + [head + "x" * n for n in (0, 3, 15, 31, 64) for head in ("é", "日", "\U0001d11e")]


def test_properties_read_back_every_string_shape_after_many_others():
    nodes = [(s, Node(s, {s: s, s + "v": s[::-1]}, text=s)) for s in STRING_SHAPES]
    # Thousands of distinct short names and keys in between, so that every
    # string above is read again after others took its place; each read right
    # after one of a string it is a prefix of.
    for i in range(5000):
        longer, shorter = Node(f"n{i}x", {f"k{i}x": "v"}), Node(f"n{i}", {f"k{i}": "w"})
        assert (longer.name, longer.attrs) == (f"n{i}x", {f"k{i}x": "v"})
        assert (shorter.name, shorter.attrs) == (f"n{i}", {f"k{i}": "w"})
    for _ in range(2):
        for s, n in nodes:
            assert (n.name, n.text, n.attrs) == (s, s, {s: s, s + "v": s[::-1]})
            assert type(n.name) is str and all(type(k) is str for k in n.attrs)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.text(st.characters(blacklist_categories=["Cs"]), max_size=40), min_size=1, max_size=12))
def test_properties_equal_the_strings_given(strings):
    nodes = [Node(s, {s: s, "k": s}, text=s) for s in strings]
    for _ in range(2):
        for s, n in zip(strings, nodes):
            assert (n.name, n.text, n.attrs) == (s, s, {s: s, "k": s})


@settings(max_examples=200, deadline=None)
@given(st.lists(st.sampled_from(["a", "b1", "name", "é", "abé", "x" * 32, "x" * 33, "日本"]), min_size=1, max_size=20))
def test_properties_of_read_nodes_equal_the_document(names):
    doc = "<r>" + "".join(f'<{n} {n}="{n}{i}">{n}</{n}>' for i, n in enumerate(names)) + "</r>"
    kids = read_string(doc, "r").children
    assert [(k.name, k.attrs, k.text) for k in kids] == [(n, {n: f"{n}{i}"}, n) for i, n in enumerate(names)]


def test_properties_of_read_nodes_equal_every_string_shape():
    doc = "<r>" + "".join(f'<e v="{s}">{s}</e>' for s in STRING_SHAPES) + "</r>"
    kids = read_string(doc, "r").children
    assert [(k.attrs, k.text) for k in kids] == [({"v": s}, s or None) for s in STRING_SHAPES]


@pytest.mark.thread_unsafe(reason="measures the process's traced memory")
def test_reading_many_distinct_names_leaves_memory_flat():
    nodes = [Node(f"name{i}", {f"key{i}": "v"}) for i in range(20_000)]

    def read_all():
        for n in nodes:
            n.name, n.attrs

    read_all()
    gc.collect()
    tracemalloc.start()
    base, _ = tracemalloc.get_traced_memory()
    read_all()
    gc.collect()
    after, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert after - base < 64 * 1024


def test_a_million_level_chain_is_freed_without_recursion():
    out = assert_isolated_ok(
        """
        import orvex
        n = orvex.Node("x")
        for _ in range(1_000_000):
            n = orvex.Node("x", children=[n])
        try:
            str(n)
        except RecursionError:
            print("refused")
        del n
        print("freed")
        """
    )
    assert out.split() == ["refused", "freed"]
