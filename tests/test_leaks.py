"""Every error path gives back what it took: each exception the module raises,
triggered thousands of times, leaves the interpreter's traced memory and the
reference counts of the objects involved where they were.

Native memory is checked by the sanitizer stage, which runs this file with
LeakSanitizer."""
import gc
import os
import sys
import tracemalloc

import pytest

from orvex import Node, SearchType, read_file, read_string, write_file, write_string

# tracemalloc and the reference counts watched are the process's.
pytestmark = pytest.mark.thread_unsafe(reason="measures the process's traced memory")

ITERATIONS = 1500
# Growth over the second of two windows of calls. The first window fills the
# interpreter's bounded caches and free lists (up to about a thousand entries
# in instrumented builds); a leak of even the smallest object per call would
# add 24 KiB or more in the second.
ALLOWED_GROWTH = 8192
# With the system allocator (PYTHONMALLOC=malloc, as in the sanitizer stage)
# freed addresses come back late, and the interpreter's method cache, keyed by
# the address of the temporary name string of each method call made from C,
# keeps up to 4096 of those strings: traced memory creeps for tens of
# thousands of calls without any leak. That run checks native and Python
# memory with LeakSanitizer instead; references are checked everywhere.
CHECK_TRACED_MEMORY = os.environ.get("PYTHONMALLOC") != "malloc"


def assert_flat(call, exc_type, watched=(), message=None):
    def once():
        try:
            call()
        except exc_type as e:
            if message is not None:
                assert str(e) == message, str(e)
        else:
            raise AssertionError(f"{call} did not raise {exc_type.__name__}")

    for _ in range(50):  # first-use caches (imports, interned names) settle
        once()
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    try:
        for _ in range(ITERATIONS):
            once()
        # A leak grows in every window; a cache that filled up once, or a
        # collection that happened to run in a window, does not repeat.
        for _ in range(3):
            gc.collect()
            base = tracemalloc.get_traced_memory()[0]
            for _ in range(ITERATIONS):
                once()
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - base
            if grown < ALLOWED_GROWTH:
                break
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refs
    if CHECK_TRACED_MEMORY:
        assert grown < ALLOWED_GROWTH, f"{grown} bytes kept by {ITERATIONS} more calls"


NODE = Node("n", {"k": "v"}, [Node("c", text="t")], "text")
DOC_ATTR = "<a x='1'><b y='2'>text</b><c z='&amp;'>&#65;"


class RaisingSequence:
    """A sequence whose iteration fails part-way, after yielding a Node."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return 3

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        yield self.items[0]
        raise KeyError("from __iter__")


class MutatingSequence:
    """Changes the dict it sits in while from_dict iterates it."""

    def __init__(self, owner):
        self.owner = owner

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i:
            raise IndexError
        return {"name": "x", "attrs": {}, "children": []}

    def __iter__(self):
        self.owner["extra"] = "value"
        yield self[0]


def binding_cases():
    n = NODE
    return {
        "missing": (lambda: read_string(), TypeError, ()),
        "too_many": (lambda: read_string("<a/>", "a", "x"), TypeError, ()),
        "unexpected_keyword": (lambda: n.search("x", foo=1), TypeError, (n,)),
        "given_twice": (lambda: write_string(n, 4, indent=2), TypeError, (n,)),
        "node_missing_name": (lambda: Node(), TypeError, ()),
    }


def conversion_cases():
    n, c = NODE, NODE.children[0]
    attrs = {"k": 5}
    one = [c, 5]
    text = "doc"
    sur = "a\ud800"
    return {
        "str_expected": (lambda: read_string(5, "a"), TypeError, ()),
        "none_not_str": (lambda: read_string(None, "a"), TypeError, ()),
        "root_not_str": (lambda: read_string(text, b"a"), TypeError, (text,)),
        "attr_value": (lambda: Node("n", attrs), TypeError, (attrs,)),
        "children_str": (lambda: Node("n", None, "abc"), TypeError, ()),
        "children_item": (lambda: Node("n", None, one), TypeError, (c, one)),
        "children_not_sequence": (lambda: Node("n", None, {c: 1}), TypeError, (c,)),
        "children_iteration_raises": (lambda: Node("n", None, RaisingSequence(c, c, c)), KeyError, (c,)),
        "surrogate": (lambda: read_string(sur, "a"), UnicodeEncodeError, (sur,)),
        "surrogate_attrs": (lambda: Node("n", {"k": sur}), UnicodeEncodeError, (sur,)),
        "spacing_too_large": (lambda: n.__to_string(256), OverflowError, (n,)),
        "depth_too_large": (lambda: n.search_by_name("n", 2**31), OverflowError, (n,)),
        "search_kind": (lambda: n.search(0, "x"), TypeError, (n,)),
        "indent_negative": (lambda: write_string(n, -1), OverflowError, (n,)),
        "indent_float": (lambda: write_string(n, 2.0), TypeError, (n,)),
        "declaration_int": (lambda: write_string(n, 4, 1), TypeError, (n,)),
        "write_node_type": (lambda: write_string(text), TypeError, (text,)),
    }


def read_cases():
    # Each document is a fresh str per case, so its count shows whether the
    # reader gave back the buffer's reference on the error path.
    docs = {
        "index": ("<a><b>" * 50 + "<a", None),
        "malformed": ("<a><b x='1'>t</b><c x=1/></a>", None),
        "root_not_found": ("<x><y a='1'>t</y></x>", "root tag <a> not found in document"),
        "unclosed": ("<a><b x='1'>text</b><c>more", "unexpected end of document: <c> is never closed"),
        "unknown_entity": (DOC_ATTR + "&bogus;</c></a>", None),
        "mismatch": ("<a><b></a>", None),
        "overrun": ("<a><!-- never closed", None),
    }
    cases = {}
    for name, (doc, message) in docs.items():
        doc = "".join(list(doc))  # a str of its own, not an interned constant
        cases[name] = (lambda doc=doc: read_string(doc, "a"), ValueError, (doc,), message)
    return cases


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("leaks")
    bad = d / "latin1.xml"
    bad.write_bytes(b"<a>caf\xe9</a>")
    broken = d / "broken.xml"
    broken.write_text("<a><b x='1'>text</b><c x=1/></a>")
    return {"dir": str(d), "bad": str(bad), "broken": str(broken)}


def os_cases(files):
    n = NODE
    big = Node("big", {"k": "v" * 100}, [Node("c", text="x" * 10_000)] * 20)
    return {
        "read_missing": (lambda: read_file(files["dir"] + "/missing.xml", "a"), FileNotFoundError, ()),
        "read_directory": (lambda: read_file(files["dir"], "a"), IsADirectoryError, ()),
        "read_not_utf8": (lambda: read_file(files["bad"], "a"), OSError, ()),
        "read_nul": (lambda: read_file("a\0b", "a"), OSError, ()),
        "read_parse_error": (lambda: read_file(files["broken"], "a"), ValueError, ()),
        "write_missing_dir": (lambda: write_file(n, files["dir"] + "/no/such.xml"), FileNotFoundError, (n,)),
        "write_directory": (lambda: write_file(n, files["dir"]), IsADirectoryError, (n,)),
        "write_nul": (lambda: write_file(n, "a\0b"), OSError, (n,)),
        "write_full_disk": (lambda: write_file(big, "/dev/full"), OSError, (big,)),
    }


def from_dict_cases():
    good_child = {"name": "c", "attrs": {"k": "v"}, "children": []}
    nested_bad = {"name": "a", "attrs": {}, "children": [good_child, {"name": "b", "attrs": {"k": 5}, "children": []}]}
    no_attrs = {"name": "a", "attrs": {}, "children": [good_child, {"name": "b", "children": []}]}
    child = {"name": "x", "attrs": {}, "children": []}

    def changed_during_walk():
        owner = {"name": "a", "attrs": {}, "kept": [child]}
        owner["children"] = MutatingSequence(owner)
        Node.from_dict(owner)

    bad_key = {"name": "a", 5: "x", "attrs": {}, "children": []}
    return {
        "invalid_name": (lambda: Node.from_dict({"attrs": {}, "children": []}), ValueError, ()),
        "invalid_attrs": (lambda: Node.from_dict(no_attrs), ValueError, (no_attrs, good_child)),
        "invalid_children": (lambda: Node.from_dict({"name": "a", "attrs": {}, "children": None}), ValueError, ()),
        "enum_nested": (lambda: Node.from_dict(nested_bad), TypeError, (nested_bad, good_child)),
        "not_a_dict": (lambda: Node.from_dict([good_child]), TypeError, (good_child,)),
        "key_not_str": (lambda: Node.from_dict(bad_key), TypeError, (bad_key,)),
        "changed_during_walk": (changed_during_walk, RuntimeError, (child,)),
    }


def write_cases():
    wide = Node("w", {"k": "v"}, [Node("c", {"a": "b"}, text="t")] * 1000)  # 1000 lines at depth 1
    return {
        # A terabyte of indentation is refused before anything is written; an
        # indentation beyond 63 bits cannot even be counted.
        "indent_exceeds_memory": (lambda: write_string(wide, 2**40), MemoryError, (wide,)),
        "indent_exceeds_memory_file": (lambda: write_file(wide, os.devnull, 2**40), MemoryError, (wide,)),
        "indent_uncountable": (lambda: write_string(wide, 2**63), OverflowError, (wide,)),
    }


def flatten(groups):
    return [pytest.param(case, id=f"{group}-{name}") for group, cases in groups for name, case in cases.items()]


@pytest.mark.parametrize("case", flatten([
    ("binding", binding_cases()),
    ("conversion", conversion_cases()),
    ("read", read_cases()),
    ("from_dict", from_dict_cases()),
    ("write", write_cases()),
]))
def test_error_path_leaves_memory_and_references_flat(case):
    call, exc, watched, *message = case
    assert_flat(call, exc, watched, message[0] if message else None)


@pytest.mark.parametrize("name", ["read_missing", "read_directory", "read_not_utf8", "read_nul",
                                  "read_parse_error", "write_missing_dir", "write_directory",
                                  "write_nul", "write_full_disk"])
def test_os_error_path_leaves_memory_and_references_flat(files, name):
    call, exc, watched = os_cases(files)[name]
    assert_flat(call, exc, watched)


def test_successful_reads_give_the_document_back():
    doc = "".join(["<a x='1'>", "t" * 100, "<b/>", "</a>"])
    before = sys.getrefcount(doc)
    trees = [read_string(doc, "a") for _ in range(100)]
    assert sys.getrefcount(doc) == before + 100  # one per live tree's buffer
    texts = [t.children[0] for t in trees]
    del trees
    assert sys.getrefcount(doc) == before + 100  # children keep views too
    del texts
    assert sys.getrefcount(doc) == before
