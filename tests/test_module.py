"""The module surface: registration order, type flags, docstrings and signatures."""
import importlib
import inspect
import sys
import weakref

import pytest

import orvex

ALL = ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]


def test_all_lists_every_public_name_in_order():
    assert orvex.__all__ == ALL
    for name in ALL:
        assert hasattr(orvex, name)
    assert orvex.__doc__ == ""


@pytest.mark.thread_unsafe(reason="takes orvex out of sys.modules")
def test_reimport_reuses_the_type_objects():
    node, search = orvex.Node, orvex.SearchType
    saved = sys.modules.pop("orvex")
    try:
        again = importlib.import_module("orvex")
        assert again is not saved
        assert again.Node is node and again.SearchType is search
        assert again.__all__ == ALL
    finally:
        sys.modules["orvex"] = saved


@pytest.mark.parametrize(
    "fn, sig",
    [
        (orvex.read_string, "(xml_string, root_tag)"),
        (orvex.read_file, "(file_path, root_tag)"),
        (orvex.write_file, "(node, file_path, indent=None, default_xml_def=None)"),
        (orvex.write_string, "(node, indent=None, default_xml_def=None)"),
    ],
)
def test_functions_expose_text_signatures(fn, sig):
    assert fn.__doc__ is None
    assert fn.__text_signature__ == sig
    assert str(inspect.signature(fn)) == sig
    assert fn.__self__ is None
    assert fn.__module__ == "orvex"


@pytest.mark.parametrize(
    "name, params",
    [
        ("__to_string", ["self", "spacing"]),
        ("search_by_name", ["self", "name", "depth"]),
        ("search_by_attr", ["self", "key", "depth"]),
        ("search_by_text", ["self", "text", "depth"]),
        ("search", ["self", "by", "value", "depth"]),
        ("to_dict", ["self"]),
    ],
)
def test_method_signatures(name, params):
    method = getattr(orvex.Node, name)
    assert list(inspect.signature(method).parameters) == params
    assert method.__doc__ is None


def test_from_dict_is_a_class_method_with_signature():
    assert list(inspect.signature(orvex.Node.from_dict).parameters) == ["dict_"]


@pytest.mark.thread_unsafe(reason="sets and deletes an attribute of the one class every thread sees")
def test_node_class_properties():
    Node = orvex.Node
    assert Node.__module__ == "builtins"
    assert Node.__name__ == Node.__qualname__ == "Node"
    assert repr(Node) == "<class 'builtins.Node'>"
    assert Node.__text_signature__ == "(name, attrs=None, children=None, text=None)"
    assert Node.__doc__ == ""
    assert Node.children.__doc__ == "Children are shared references to the same nodes, not copies."
    for prop in ("name", "text", "attrs"):
        assert getattr(Node, prop).__doc__ is None
    # The class itself is not frozen.
    Node.some_class_attribute = 1
    del Node.some_class_attribute


def test_node_is_final_and_has_no_instance_dict():
    with pytest.raises(TypeError):
        type("Sub", (orvex.Node,), {})
    n = orvex.Node("a")
    with pytest.raises(AttributeError):
        n.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(n)
    for prop in ("name", "attrs", "children", "text"):
        with pytest.raises(AttributeError):
            setattr(n, prop, None)
        with pytest.raises(AttributeError):
            delattr(n, prop)


def test_node_uses_identity_for_equality_and_hash():
    a, b = orvex.Node("x"), orvex.Node("x")
    assert a != b and a == a
    assert len({a, b}) == 2


def fresh_module():
    import importlib.util

    spec = importlib.util.spec_from_file_location("orvex", orvex.__file__)
    return spec, importlib.util.module_from_spec(spec)


def test_execution_step_appends_to_an_existing_all_list():
    spec, module = fresh_module()
    module.__all__ = ["earlier"]
    spec.loader.exec_module(module)
    assert module.__all__ == ["earlier", *ALL]


def test_execution_step_rejects_an_all_that_is_not_a_list():
    spec, module = fresh_module()
    module.__all__ = ("earlier",)
    with pytest.raises(TypeError) as info:
        spec.loader.exec_module(module)
    assert str(info.value) == "'tuple' object is not an instance of 'list'"
