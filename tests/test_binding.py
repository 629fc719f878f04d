"""Argument binding, conversion errors and their notes, shared by every callable."""
import pytest

import orvex
from orvex import Node


def raises(exc, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    return info.value


N = Node("n")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: orvex.read_string(), "read_string() missing 2 required positional arguments: 'xml_string' and 'root_tag'"),
        (lambda: orvex.read_string("x"), "read_string() missing 1 required positional argument: 'root_tag'"),
        (lambda: orvex.read_string("a", "b", "c"), "read_string() takes 2 positional arguments but 3 were given"),
        (lambda: orvex.write_file(1, 2, 3, 4, 5), "write_file() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda: orvex.write_file(), "write_file() missing 2 required positional arguments: 'node' and 'file_path'"),
        (lambda: N.search(foo=1), "Node.search() got an unexpected keyword argument 'foo'"),
        (lambda: orvex.write_string(N, 4, indent=2), "write_string() got multiple values for argument 'indent'"),
        (lambda: Node(), "Node.__new__() missing 1 required positional argument: 'name'"),
        (lambda: Node("a", None, None, None, None), "Node.__new__() takes from 1 to 4 positional arguments but 5 were given"),
        (lambda: Node("a", name="b"), "Node.__new__() got multiple values for argument 'name'"),
        (lambda: Node(nam="b"), "Node.__new__() got an unexpected keyword argument 'nam'"),
        (lambda: N.search(), "Node.search() missing 2 required positional arguments: 'by' and 'value'"),
        (lambda: N.__to_string(1, 2), "Node.__to_string() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: Node.from_dict({}, {}), "Node.from_dict() takes 1 positional arguments but 2 were given"),
        (lambda: orvex.read_file("a", "b", "c"), "read_file() takes 2 positional arguments but 3 were given"),
    ],
)
def test_binding_messages(call, message):
    err = raises(TypeError, call)
    assert str(err) == message
    assert not hasattr(err, "__notes__")


def test_was_and_were():
    err = raises(TypeError, lambda: N.__to_string(1, 2))
    assert str(err).endswith("but 2 were given")
    err = raises(TypeError, lambda: orvex.read_string(1, 2, 3))
    assert str(err).endswith("but 3 were given")
    err = raises(TypeError, lambda: N.to_dict(1))
    assert "takes no arguments" in str(err)


def test_unexpected_keyword_checked_before_missing():
    err = raises(TypeError, lambda: orvex.read_string(bad=1))
    assert str(err) == "read_string() got an unexpected keyword argument 'bad'"


@pytest.mark.parametrize(
    "call, exc, message, param",
    [
        (lambda: orvex.read_string(5, "a"), TypeError, "'int' object is not an instance of 'str'", "xml_string"),
        (lambda: orvex.read_string(None, "a"), TypeError, "'None' is not an instance of 'str'", "xml_string"),
        (lambda: orvex.read_string("<a/>", None), TypeError, "'None' is not an instance of 'str'", "root_tag"),
        (lambda: orvex.read_string(b"<a/>", "a"), TypeError, "'bytes' object is not an instance of 'str'", "xml_string"),
        (lambda: N.__to_string(256), OverflowError, "number too large to fit in target type", "spacing"),
        (lambda: N.__to_string(-1), OverflowError, "number too small to fit in target type", "spacing"),
        (lambda: N.search_by_name("a", 2**31), OverflowError, "number too large to fit in target type", "depth"),
        (lambda: N.search_by_name("a", -(2**31) - 1), OverflowError, "number too small to fit in target type", "depth"),
        (lambda: orvex.write_string(N, default_xml_def=1), TypeError, "'int' object is not an instance of 'bool'", "default_xml_def"),
        (lambda: orvex.write_string(N, default_xml_def="yes"), TypeError, "'str' object is not an instance of 'bool'", "default_xml_def"),
        (lambda: orvex.write_string("n"), TypeError, "'str' object is not an instance of 'Node'", "node"),
        (lambda: N.search(0, "x"), TypeError, "'int' object is not an instance of 'SearchType'", "by"),
        (lambda: Node(1), TypeError, "'int' object is not an instance of 'str'", "name"),
        (lambda: Node("a", text=1.5), TypeError, "'float' object is not an instance of 'str'", "text"),
        (lambda: Node("a", attrs=[]), TypeError, "'list' object is not an instance of 'dict'", "attrs"),
        (lambda: Node("a", attrs={"k": 1}), TypeError, "'int' object is not an instance of 'str'", "attrs"),
        (lambda: Node("a", attrs={1: "v"}), TypeError, "'int' object is not an instance of 'str'", "attrs"),
        (lambda: Node("a", children="ab"), TypeError, "Can't extract `str` to `Vec`", "children"),
        (lambda: Node("a", children={}), TypeError, "'dict' object is not an instance of 'Sequence'", "children"),
        (lambda: Node("a", children=5), TypeError, "'int' object is not an instance of 'Sequence'", "children"),
        (lambda: Node("a", children=b"x"), TypeError, "'int' object is not an instance of 'Node'", "children"),
        (lambda: Node("a", children=[N, None]), TypeError, "'None' is not an instance of 'Node'", "children"),
        (lambda: Node("\ud800"), UnicodeEncodeError, None, "name"),
        (lambda: Node("a", attrs={"k": "\udc00"}), UnicodeEncodeError, None, "attrs"),
    ],
)
def test_conversion_errors_carry_the_parameter_note(call, exc, message, param):
    err = raises(exc, call)
    assert type(err) is exc
    if message is not None:
        assert str(err) == message
    assert err.__notes__ == [f"while processing '{param}'"]


class Nested:
    class Type:
        pass


def test_type_mismatch_uses_the_qualified_name():
    err = raises(TypeError, Node, Nested.Type())
    assert str(err) == "'Nested.Type' object is not an instance of 'str'"


@pytest.mark.parametrize("bad", [1.5, "3", object()])
def test_integer_conversion_errors_come_from_the_interpreter(bad):
    err = raises(TypeError, N.__to_string, bad)
    assert "cannot be interpreted as an integer" in str(err)
    assert err.__notes__ == ["while processing 'spacing'"]


def test_integer_conversions_accept_index_and_bool():
    class Two:
        def __index__(self):
            return 2

    assert N.__to_string(True) == " Name: n"
    assert N.__to_string(Two()) == "  Name: n"
    assert N.__to_string(None) == N.__to_string() == N.__to_string(0) == str(N)


def test_overflow_beyond_c_long_comes_from_the_interpreter():
    err = raises(OverflowError, N.__to_string, 2**70)
    assert err.__notes__ == ["while processing 'spacing'"]


def test_sequence_items_from_a_failing_iterator_are_released():
    class Boom(Exception):
        pass

    class Seq:
        def __len__(self):
            raise TypeError("len is only a hint")

        def __getitem__(self, i):
            if i == 2:
                raise Boom("stop")
            return N

    import sys

    before = sys.getrefcount(N)
    err = raises(Boom, Node, "a", children=Seq())
    assert str(err) == "stop"
    assert err.__notes__ == ["while processing 'children'"]
    del err
    assert sys.getrefcount(N) == before


class Sized(list):
    """A list whose __len__ says `length`, or raises it."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


def element(children):
    return {"name": "a", "attrs": {}, "children": children}


LEAF = element([])

# Each builds a node whose two children come from a Sized with the given
# length, and returns those children.
CHILDREN_FROM_SIZED = {
    "Node": lambda length: Node("a", children=Sized([N, N], length)).children,
    "from_dict": lambda length: Node.from_dict(element(Sized([LEAF, LEAF], length))).children,
    "from_dict nested": lambda length: Node.from_dict(
        element([element(Sized([LEAF, LEAF], length))])
    ).children[0].children,
}


@pytest.mark.parametrize("build", CHILDREN_FROM_SIZED.values(), ids=CHILDREN_FROM_SIZED.keys())
@pytest.mark.parametrize("length", [TypeError("no length"), 0, 1, 2**60, 2**62])
def test_a_sequence_length_is_only_a_hint(build, length):
    # TypeError means no hint; a wrong or absurd length neither limits the
    # items nor becomes an allocation of that size.
    children = build(length)
    assert len(children) == 2 and all(c.name in ("n", "a") and not c.children for c in children)


@pytest.mark.parametrize("build", CHILDREN_FROM_SIZED.values(), ids=CHILDREN_FROM_SIZED.keys())
@pytest.mark.parametrize("exc", [KeyboardInterrupt("len"), ValueError("len"), MemoryError("len")])
def test_exceptions_of_a_sequence_length_other_than_type_error_propagate(build, exc):
    with pytest.raises(type(exc)) as info:
        build(exc)
    assert info.value is exc


@pytest.mark.parametrize("exc", [KeyboardInterrupt("iter"), SystemExit(3), MemoryError("iter")])
@pytest.mark.parametrize("nested", [False, True])
def test_from_dict_never_writes_an_interrupt_into_its_message(exc, nested):
    # An error of a sequence's iteration becomes part of from_dict's message;
    # an exception that is no error, or running out of memory, is raised as it is.
    class Failing(list):
        def __iter__(self):
            raise exc

    value = {"name": "a", "attrs": {}, "children": Failing()}
    if nested:
        value = {"name": "r", "attrs": {}, "children": [value]}
    with pytest.raises(type(exc)) as info:
        Node.from_dict(value)
    assert info.value is exc


def test_a_note_that_cannot_be_added_is_dropped():
    class Stubborn(Exception):
        def add_note(self, note):
            raise RuntimeError("no notes here")

    class Seq:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise Stubborn("iteration failed")

    err = raises(Stubborn, Node, "a", children=Seq())
    assert str(err) == "iteration failed"
    assert not hasattr(err, "__notes__")


def test_an_interrupt_while_adding_the_note_is_not_dropped():
    class Interrupted(Exception):
        def add_note(self, note):
            raise KeyboardInterrupt("while noting")

    class Seq:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise Interrupted("iteration failed")

    err = raises(KeyboardInterrupt, Node, "a", children=Seq())
    assert str(err) == "while noting"
    assert isinstance(err.__context__, Interrupted)
