"""SearchType: three shared members, equality with members and integers,
no ordering, no hash, no instances beyond the members."""
import operator

import pytest

from orvex import Node, SearchType

MEMBERS = [(SearchType.Tag, "Tag", 0), (SearchType.Attr, "Attr", 1), (SearchType.Text, "Text", 2)]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@pytest.mark.parametrize("member, name, value", MEMBERS)
def test_member_identity_repr_and_int(member, name, value):
    assert type(member) is SearchType
    assert getattr(SearchType, name) is member
    assert SearchType.__dict__[name] is member
    assert repr(member) == f"SearchType.{name}"
    assert str(member) == repr(member)
    assert int(member) == value and type(int(member)) is int


def test_type_properties():
    assert SearchType.__name__ == SearchType.__qualname__ == "SearchType"
    assert SearchType.__module__ == "builtins"
    assert SearchType.__doc__ is None
    assert SearchType.__base__ is object


@pytest.mark.parametrize(
    "other, equal_to",
    [
        (0, "Tag"), (1, "Attr"), (2, "Text"), (3, None), (-1, None), (2**70, None), (-(2**70), None),
        (False, "Tag"), (True, "Attr"), (Index(2), "Text"), (Index(5), None), (Index(2**70), None),
        # Not integers (TypeError from the conversion): never equal, the comparison is declined.
        (RaisingIndex(TypeError("no index")), None), (Index("2"), None),
        (0.0, None), (1.0, None), ("1", None), (None, None), (b"\x01", None), ([], None),
    ],
)
@pytest.mark.parametrize("member, name, value", MEMBERS)
def test_equality_with_other_objects(member, name, value, other, equal_to):
    expected = equal_to == name
    assert (member == other) is expected
    assert (other == member) is expected
    assert (member != other) is (not expected)
    assert (other != member) is (not expected)


@pytest.mark.parametrize("exc", [ValueError("index"), OverflowError("index"), KeyboardInterrupt("index")])
@pytest.mark.parametrize(
    "compare",
    [operator.eq, operator.ne, lambda a, b: b == a, lambda a, b: b != a],
    ids=["eq", "ne", "eq-reflected", "ne-reflected"],
)
def test_exceptions_of_the_integer_conversion_other_than_type_error_propagate(exc, compare):
    with pytest.raises(type(exc)) as info:
        compare(SearchType.Attr, RaisingIndex(exc))
    assert info.value is exc


@pytest.mark.parametrize("a", [m for m, _, _ in MEMBERS])
@pytest.mark.parametrize("b", [m for m, _, _ in MEMBERS])
def test_equality_between_members(a, b):
    assert (a == b) is (a is b)
    assert (a != b) is (a is not b)


def test_declined_comparison_lets_the_other_operand_decide():
    class Always:
        def __eq__(self, other):
            return True

        def __ne__(self, other):
            return False

    assert SearchType.Tag == Always()
    assert not SearchType.Tag != Always()


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [SearchType.Attr, SearchType.Tag, 1, 0.5])
def test_ordering_raises(op, other):
    with pytest.raises(TypeError):
        op(SearchType.Tag, other)
    with pytest.raises(TypeError):
        op(other, SearchType.Tag)


def test_unhashable():
    for member, _, _ in MEMBERS:
        with pytest.raises(TypeError):
            hash(member)
    with pytest.raises(TypeError):
        {SearchType.Tag}
    with pytest.raises(TypeError):
        {SearchType.Text: 1}


def test_no_index_conversion():
    with pytest.raises(TypeError):
        operator.index(SearchType.Attr)
    with pytest.raises(TypeError):
        [1, 2, 3][SearchType.Attr]


def test_not_instantiable_and_not_subclassable():
    with pytest.raises(TypeError):
        SearchType()
    with pytest.raises(TypeError):
        SearchType(1)
    with pytest.raises(TypeError):
        type("Sub", (SearchType,), {})


@pytest.mark.thread_unsafe(reason="sets and deletes an attribute of the one class every thread sees")
def test_class_attributes_settable_instances_not():
    SearchType.extra = 5
    try:
        assert SearchType.extra == 5
    finally:
        del SearchType.extra
    with pytest.raises(AttributeError):
        SearchType.Tag.extra = 1


def test_search_refuses_integers_for_by():
    node = Node("a")
    with pytest.raises(TypeError) as info:
        node.search(0, "a")
    assert str(info.value) == "'int' object is not an instance of 'SearchType'"
    assert info.value.__notes__ == ["while processing 'by'"]
    with pytest.raises(TypeError) as info:
        node.search(None, "a")
    assert str(info.value) == "'None' is not an instance of 'SearchType'"
