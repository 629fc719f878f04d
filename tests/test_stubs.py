"""The type stub against the compiled module: same public names, same
parameters (names, kinds, defaults), return annotations that describe what the
module really returns, and a clean `mypy --strict` over the stub and the
examples when mypy is available."""
import ast
import inspect
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import orvex
from helpers import EMULATOR

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(REPO, "examples")
MODULE_DIR = os.path.dirname(os.path.abspath(orvex.__file__))
INSTALLED_STUB = os.path.join(MODULE_DIR, "orvex.pyi")
SOURCE_STUB = os.path.join(REPO, "src", "orvex.pyi")


def _installed_into_site_packages() -> bool:
    paths = sysconfig.get_paths()
    return any(os.path.samefile(MODULE_DIR, paths[k]) for k in ("platlib", "purelib") if os.path.isdir(paths[k]))


# The installed stub is the one users get; a module loaded from a build tree
# (for instance the emulated aarch64 runs) is checked against the source stub.
STUB = INSTALLED_STUB if os.path.exists(INSTALLED_STUB) else SOURCE_STUB
TREE = ast.parse(open(STUB, encoding="utf-8").read(), STUB)


def test_stub_is_installed_next_to_the_module():
    if not _installed_into_site_packages():
        pytest.skip("orvex is not loaded from an installed distribution")
    assert os.path.exists(INSTALLED_STUB)
    if os.path.exists(SOURCE_STUB):
        with open(INSTALLED_STUB, encoding="utf-8") as a, open(SOURCE_STUB, encoding="utf-8") as b:
            assert a.read() == b.read(), "installed stub differs from src/orvex.pyi"


# ---------------------------------------------------------------- stub model


def _decorators(fn: ast.FunctionDef) -> set[str]:
    return {d.id if isinstance(d, ast.Name) else ast.unparse(d) for d in fn.decorator_list}


def _is_public(name: str) -> bool:
    # `__to_string` is an ordinary public method (no trailing underscores);
    # single-underscore names are stub-only helpers for type checkers.
    return not name.startswith("_") or (name.startswith("__") and not name.endswith("__"))


def _stub_classes() -> dict[str, ast.ClassDef]:
    return {n.name: n for n in TREE.body if isinstance(n, ast.ClassDef)}


def _stub_functions(body) -> dict[str, ast.FunctionDef]:
    return {n.name: n for n in body if isinstance(n, ast.FunctionDef)}


def _stub_class_attrs(cls: ast.ClassDef) -> dict[str, str]:
    return {n.target.id: ast.unparse(n.annotation) for n in cls.body if isinstance(n, ast.AnnAssign)}


def _stub_all() -> list[str]:
    for node in TREE.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["__all__"]:
            return ast.literal_eval(node.value)
    raise AssertionError("the stub has no __all__")


_NO_DEFAULT = object()


def _stub_params(fn: ast.FunctionDef, drop_first: bool) -> list[tuple[str, inspect._ParameterKind, object]]:
    """(name, kind, default) for each parameter, as inspect would report them."""
    a = fn.args
    positional = [(p, inspect.Parameter.POSITIONAL_ONLY) for p in a.posonlyargs]
    positional += [(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in a.args]
    defaults = [_NO_DEFAULT] * (len(positional) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    out = [(p.arg, kind, d) for (p, kind), d in zip(positional, defaults)]
    if a.vararg:
        out.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, _NO_DEFAULT))
    for p, d in zip(a.kwonlyargs, a.kw_defaults):
        out.append((p.arg, inspect.Parameter.KEYWORD_ONLY, _NO_DEFAULT if d is None else ast.literal_eval(d)))
    if a.kwarg:
        out.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, _NO_DEFAULT))
    return out[1:] if drop_first else out


def _runtime_params(obj, drop_first: bool) -> list[tuple[str, inspect._ParameterKind, object]]:
    params = list(inspect.signature(obj).parameters.values())
    out = [(p.name, p.kind, _NO_DEFAULT if p.default is inspect.Parameter.empty else p.default) for p in params]
    return out[1:] if drop_first else out


# ---------------------------------------------------------------- names


def test_stub_all_matches_the_module():
    assert _stub_all() == orvex.__all__


def test_stub_declares_exactly_the_public_module_names():
    stub_names = {n for n in [*_stub_classes(), *_stub_functions(TREE.body)] if _is_public(n)}
    runtime_names = {n for n in dir(orvex) if _is_public(n)}
    assert stub_names == runtime_names == set(orvex.__all__)


@pytest.mark.parametrize("cls_name", ["Node", "SearchType"])
def test_stub_class_members_match_the_runtime_class(cls_name):
    cls_def = _stub_classes()[cls_name]
    runtime = getattr(orvex, cls_name)
    stub_members = set(_stub_functions(cls_def.body)) | set(_stub_class_attrs(cls_def))
    runtime_public = {n for n in vars(runtime) if _is_public(n)}
    assert {n for n in stub_members if _is_public(n)} == runtime_public
    # Every special method the stub promises is defined by the class itself.
    for name in (n for n in stub_members if not _is_public(n)):
        assert name in vars(runtime), f"{cls_name}.{name} is in the stub but not defined at runtime"
    # SearchType's members are class attributes holding instances of the class.
    for name, annotation in _stub_class_attrs(cls_def).items():
        if annotation == f"ClassVar[{cls_name}]":
            assert type(getattr(runtime, name)) is runtime


def test_unhashable_search_type_is_declared_so():
    assert _stub_class_attrs(_stub_classes()["SearchType"])["__hash__"] == "ClassVar[None]"
    assert orvex.SearchType.__hash__ is None


def test_properties_are_read_only_in_stub_and_module():
    cls_def = _stub_classes()["Node"]
    props = {n: f for n, f in _stub_functions(cls_def.body).items() if "property" in _decorators(f)}
    runtime_props = {n for n, v in vars(orvex.Node).items() if inspect.isgetsetdescriptor(v)}
    assert set(props) == runtime_props == {"name", "text", "attrs", "children"}
    assert not [f for f in cls_def.body if isinstance(f, ast.FunctionDef) and ".setter" in str(_decorators(f))]
    assert ast.get_docstring(props["children"]) == orvex.Node.children.__doc__


def test_final_classes_are_not_subclassable():
    for name, cls_def in _stub_classes().items():
        if name.startswith("_"):
            continue
        assert "final" in _decorators(cls_def)
        with pytest.raises(TypeError):
            type("Sub", (getattr(orvex, name),), {})


# ---------------------------------------------------------------- signatures


def _signature_cases():
    for name, fn in _stub_functions(TREE.body).items():
        yield pytest.param(getattr(orvex, name), fn, False, id=name)
    for cls_name, cls_def in _stub_classes().items():
        if cls_name.startswith("_"):
            continue
        runtime_cls = getattr(orvex, cls_name)
        for name, fn in _stub_functions(cls_def.body).items():
            decorators = _decorators(fn)
            if "property" in decorators:
                continue
            # Signatures are read the way callers see them: through the class
            # for the constructor, bound for the classmethod, unbound otherwise
            # (where the runtime's `self` is positional-only and the stub's is
            # not, so the first parameter is compared by position alone).
            if name == "__new__":
                runtime = runtime_cls
            else:
                runtime = getattr(runtime_cls, name)
            drop_runtime_first = name not in ("__new__",) and "classmethod" not in decorators
            yield pytest.param((runtime, drop_runtime_first), fn, True, id=f"{cls_name}.{name}")


@pytest.mark.parametrize("runtime, stub_fn, is_method", list(_signature_cases()))
def test_stub_signature_matches_inspect(runtime, stub_fn, is_method):
    if is_method:
        runtime, drop_runtime_first = runtime
        expected = _runtime_params(runtime, drop_runtime_first)
    else:
        expected = _runtime_params(runtime, False)
    assert _stub_params(stub_fn, drop_first=is_method) == expected


# ---------------------------------------------------------------- return types


def _stub_return(fn_name: str, cls_name: str | None = None) -> str:
    body = TREE.body if cls_name is None else _stub_classes()[cls_name].body
    return ast.unparse(_stub_functions(body)[fn_name].returns)


def _typed_dict_fields(name: str) -> dict[str, str]:
    return _stub_class_attrs(_stub_classes()[name])


def _conforms(value, annotation: str) -> bool:
    """Checks a runtime value against the small annotation language the stub
    uses for results: str, int, bool, None, Node, SearchType, X | Y,
    list[X], dict[K, V] and the stub's TypedDicts."""
    expr = ast.parse(annotation, mode="eval").body
    return _conforms_expr(value, expr)


def _conforms_expr(value, expr) -> bool:
    if isinstance(expr, ast.BinOp) and isinstance(expr.op, ast.BitOr):
        return _conforms_expr(value, expr.left) or _conforms_expr(value, expr.right)
    if isinstance(expr, ast.Constant) and expr.value is None:
        return value is None
    if isinstance(expr, ast.Subscript):
        base = ast.unparse(expr.value)
        args = expr.slice.elts if isinstance(expr.slice, ast.Tuple) else [expr.slice]
        if base == "list":
            return type(value) is list and all(_conforms_expr(v, args[0]) for v in value)
        if base == "dict":
            return type(value) is dict and all(
                _conforms_expr(k, args[0]) and _conforms_expr(v, args[1]) for k, v in value.items()
            )
        raise AssertionError(f"unhandled annotation {ast.unparse(expr)}")
    name = ast.unparse(expr)
    if name in _stub_classes() and name.startswith("_"):
        fields = _typed_dict_fields(name)
        return (
            type(value) is dict
            and set(value) == set(fields)
            and all(_conforms(value[k], ann) for k, ann in fields.items())
        )
    builtin = {"str": str, "int": int, "bool": bool, "Node": orvex.Node, "SearchType": orvex.SearchType}
    return type(value) is builtin[name]


def test_return_annotations_describe_what_the_module_returns(tmp_path):
    Node = orvex.Node
    leaf = Node("b", {"k": "v"}, text="")
    tree = Node("a", None, [leaf, Node("c", text="x"), leaf])
    path = str(tmp_path / "t.xml")
    results = {
        ("read_string", None): orvex.read_string("<r><a k='1'>t</a><a/></r>", "r"),
        ("write_string", None): orvex.write_string(tree),
        ("write_file", None): orvex.write_file(tree, path),
        ("read_file", None): orvex.read_file(path, "a"),
        ("__to_string", "Node"): tree.__to_string(2),
        ("search_by_name", "Node"): tree.search_by_name("b"),
        ("search_by_attr", "Node"): tree.search_by_attr("k"),
        ("search_by_text", "Node"): tree.search_by_text("x"),
        ("search", "Node"): tree.search(orvex.SearchType.Text, ""),
        ("to_dict", "Node"): tree.to_dict(),
        ("from_dict", "Node"): Node.from_dict({"name": "a", "attrs": {}, "children": ()}),
        ("__new__", "Node"): tree,
        ("__int__", "SearchType"): int(orvex.SearchType.Attr),
        ("__eq__", "SearchType"): orvex.SearchType.Attr == 1,
        ("__ne__", "SearchType"): orvex.SearchType.Attr != orvex.SearchType.Tag,
    }
    for (fn, cls), value in results.items():
        annotation = _stub_return(fn, cls)
        assert _conforms(value, annotation), f"{cls or 'orvex'}.{fn} returned {value!r}, stub says {annotation}"
    props = {n: f for n, f in _stub_functions(_stub_classes()["Node"].body).items() if "property" in _decorators(f)}
    for node in (tree, leaf, Node("bare")):
        for name, fn in props.items():
            assert _conforms(getattr(node, name), ast.unparse(fn.returns)), f"Node.{name}"
    covered = {fn for fn, _ in results} | set(props)
    declared = set(_stub_functions(TREE.body))
    for cls_name, cls_def in _stub_classes().items():
        if not cls_name.startswith("_"):
            declared |= set(_stub_functions(cls_def.body))
    assert declared <= covered, f"untested return annotations: {sorted(declared - covered)}"


# ---------------------------------------------------------------- mypy


def _mypy(tmp_path, *args: str) -> subprocess.CompletedProcess:
    # mypy does not look for single-module stubs inside site-packages (PEP 561
    # covers packages only), so the stub is handed to it through MYPYPATH from a
    # directory of its own. Running from that directory keeps the repository's
    # configuration out of the way.
    stub_dir = tmp_path / "stub"
    stub_dir.mkdir()
    shutil.copy(STUB, stub_dir / "orvex.pyi")
    env = dict(os.environ, MYPYPATH=str(stub_dir), MYPY_CACHE_DIR=str(tmp_path / "cache"))
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )


@pytest.fixture
def mypy_available():
    if EMULATOR:
        pytest.skip("mypy is not run under emulation")
    pytest.importorskip("mypy")


def test_mypy_strict_passes_on_the_stub_and_every_example(tmp_path, mypy_available):
    examples = sorted(os.path.join(EXAMPLES, f) for f in os.listdir(EXAMPLES) if f.endswith(".py"))
    assert examples
    proc = _mypy(tmp_path, "mypy", "--strict", "--no-error-summary", str(tmp_path / "stub" / "orvex.pyi"), *examples)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_stubtest_finds_no_difference_from_the_module(tmp_path, mypy_available):
    # stubtest looks a double-underscore method up under its mangled name
    # (_Node__to_string); the module's method is deliberately not mangled.
    allow = tmp_path / "allow.txt"
    allow.write_text("orvex.Node.__to_string\n")
    proc = _mypy(tmp_path, "mypy.stubtest", "orvex", "--allowlist", str(allow))
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_mypy_rejects_misuse_the_stub_rules_out(tmp_path, mypy_available):
    # A stub that is too loose would let these through.
    bad = {
        "n.name = 'x'": "read-only",
        "orvex.read_file(b'p', 'a')": "arg-type",
        "orvex.SearchType.Tag < orvex.SearchType.Attr": "operator",
        "n.search(0, 'x')": "arg-type",
        "n.to_dict()['text'].upper()": "union-attr",
        "orvex.Node('a', children=['b'])": "list-item",
        "orvex.write_string(n, indent=2.0)": "arg-type",
        "n.search_by_name('a', depth='1')": "arg-type",
    }
    src = tmp_path / "misuse.py"
    src.write_text("import orvex\nn = orvex.Node('a')\n" + "\n".join(bad) + "\n")
    proc = _mypy(tmp_path, "mypy", "--strict", "--show-error-codes", "--no-error-summary", src.name)
    lines = proc.stdout.splitlines()
    for lineno, (code, kind) in enumerate(bad.items(), start=3):
        hits = [ln for ln in lines if ln.startswith(f"{src.name}:{lineno}:") and "error" in ln]
        assert hits, f"mypy accepted {code!r}\n{proc.stdout}"
        assert any(kind in ln for ln in hits), f"{code!r}: expected {kind}, got {hits}"
