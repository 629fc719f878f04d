"""The README's examples against what the libraries really do.

The table in "Coming from lxml, ElementTree or xmltodict" is read from the
README itself: each cell's code spans are run on one shared document with
lxml, ElementTree, xmltodict and orvex alike, and the row's check asserts
that they agree the way the row says. A row without a check fails, so no
row goes unchecked."""
import ast
import importlib.util
import os
import re
import tomllib
import xml.etree.ElementTree as ET

import pytest

import orvex
from orvex import Node

etree = pytest.importorskip("lxml.etree")
xmltodict = pytest.importorskip("xmltodict")

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
    README = f.read()

_spec = importlib.util.spec_from_file_location("to_json", os.path.join(REPO, "examples", "to_json.py"))
to_json = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(to_json)

# Pretty-printed output is compared on the shelf's items alone: no mixed
# content, no text to trim and one attribute per element (orvex writes
# attributes in hash order), where the layouts can agree byte for byte.
ITEMS = ('<item id="1">tea &amp; cake</item><item id="2"/>'
         '<item id="3"><name>cup</name><price currency="EUR">4.50</price></item>')
SHELF = f'<shelf id="s1">{ITEMS}</shelf>'
# The rest is what the other rows are about: text on both sides of a child,
# a comment and CDATA inside text, text to trim (a no-break space included),
# whitespace-only text, an empty element, one <item> child beside three.
DOC = (f'<?xml version="1.0"?>\n<root>\n  {SHELF}\n'
       '  <note lang="fr" by="kim">Café <b>au</b> lait<!-- c --> <![CDATA[<now>]]></note>\n'
       '  <item id="4">  spaced\u00a0 </item>\n  <empty/>\n  <ws a="1">   </ws>\n</root>\n')

PEERS = ("lxml", "ElementTree", "xmltodict", "orvex")
MODULES = {"lxml": {"etree": etree}, "ElementTree": {"ET": ET},
           "xmltodict": {"xmltodict": xmltodict}, "orvex": {"orvex": orvex, "Node": Node}}


def _table() -> dict[str, dict[str, list[str]]]:
    """{task: {peer: the code spans of its cell}}; a cell that starts with
    "the same" has the spans of the cell on its left."""
    section = README.split("\n## Coming from lxml, ElementTree or xmltodict\n", 1)[1].split("\n## ", 1)[0]
    header, _, *rows = [ln for ln in section.splitlines() if ln.startswith("|")]
    peers = [next(p for p in PEERS if h.strip().startswith(p)) for h in header.strip("|").split("|")[1:]]
    table = {}
    for row in rows:
        task, *cells = [c.strip() for c in row.strip("|").split("|")]
        spans: list[list[str]] = []
        for cell in cells:
            spans.append(spans[-1] if cell.startswith("the same") else re.findall(r"`([^`]+)`", cell))
        table[task] = dict(zip(peers, spans))
    return table


TABLE = _table()


def span(task: str, peer: str, part: str) -> str:
    """The code span of a cell that holds part."""
    return next(c for c in TABLE[task][peer] if part in c)


def run(code: str, ns: dict) -> object:
    """Runs a cell's code in ns: the value of its last statement if that is an
    expression, else None (assignments land in ns)."""
    body = ast.parse(code).body
    last = body.pop() if isinstance(body[-1], ast.Expr) else None
    exec(compile(ast.Module(body, []), "<README>", "exec"), ns)
    return eval(compile(ast.Expression(last.value), "<README>", "eval"), ns) if last else None


def parsed(task: str, s: str, path: str) -> dict[str, dict]:
    """Each peer's namespace after its cell of the row that reads s or path."""
    ns = {peer: {**MODULES[peer], "s": s, "path": path} for peer in PEERS}
    for peer in PEERS:
        run(TABLE[task][peer][0], ns[peer])
    return ns


def shape(el) -> tuple:
    """An lxml or ElementTree element's name, attributes and element children
    (lxml keeps comments as children)."""
    return (el.tag, dict(el.attrib), [shape(c) for c in el if isinstance(c.tag, str)])


def node_shape(n: Node) -> tuple:
    return (n.name, n.attrs, [node_shape(c) for c in n.children])


def key(x) -> tuple:
    return (x.name, x.attrs) if isinstance(x, Node) else (x.tag, dict(x.attrib))


def xmltodict_shape(n: Node) -> object:
    return to_json.compact(n.to_dict())


def preorder(n: Node, path: tuple = ()):
    """(node, its path from the root) in document order; a path step is a
    child's name and its index among the siblings of that name, which is
    how xmltodict files it."""
    yield n, path
    seen: dict[str, int] = {}
    for c in n.children:
        seen[c.name] = seen.get(c.name, -1) + 1
        yield from preorder(c, (*path, (c.name, seen[c.name])))


def value_at(d: dict, root: str, path: tuple) -> object:
    """The value xmltodict gives the element at path."""
    v = d[root]
    for name, i in path:
        v = v[name][i] if isinstance(v[name], list) else v[name]
    return v


def each_element(check):
    """A row check run once per element, with root and el bound to it for
    lxml and ElementTree, root and node for orvex, and e for xmltodict."""
    def row(task, s, path):
        ns = parsed("Parse a string", s, path)
        top = ns["orvex"]["root"]
        lxml_els = list(ns["lxml"]["root"].iter(etree.Element))
        et_els = list(ns["ElementTree"]["root"].iter())
        nodes = list(preorder(top))
        assert len(lxml_els) == len(et_els) == len(nodes)
        for lx, et, (node, where) in zip(lxml_els, et_els, nodes):
            bound = {"lxml": {**ns["lxml"], "root": lx, "el": lx},
                     "ElementTree": {**ns["ElementTree"], "root": et, "el": et},
                     "xmltodict": {**ns["xmltodict"], "e": value_at(ns["xmltodict"]["d"], top.name, where)},
                     "orvex": {**ns["orvex"], "root": node, "node": node}}
            got = {p: run(TABLE[task][p][0], bound[p]) for p in PEERS if TABLE[task][p] and p != "xmltodict"}
            check(task, got, node, where, bound)
    return row


# ---------------------------------------------------------------- the rows


def check_parse(task, s, path):
    ns = parsed(task, s, path)
    root = ns["orvex"]["root"]
    assert shape(ns["lxml"]["root"]) == shape(ns["ElementTree"]["root"]) == node_shape(root)
    assert ns["xmltodict"]["d"] == {root.name: xmltodict_shape(root)}
    if task == "Parse a string":
        # lxml refuses a str that declares its encoding, and takes its bytes.
        declared = s.replace('<?xml version="1.0"?>', '<?xml version="1.0" encoding="utf-8"?>')
        assert "s.encode()" in TABLE[task]["lxml"]
        with pytest.raises(ValueError, match="encoding declaration"):
            run(TABLE[task]["lxml"][0], {"etree": etree, "s": declared})
        assert run("etree.fromstring(s.encode())", {"etree": etree, "s": declared}).tag == "root"


@each_element
def check_find_by_tag(task, got, node, where, bound):
    found = [key(n) for n in got["orvex"]]
    assert [key(x) for x in got["lxml"]] == [key(x) for x in got["ElementTree"]] == found
    assert isinstance(got["orvex"], list) and not isinstance(got["lxml"], list)
    assert (found[:1] == [key(node)]) == (node.name == "item")  # the element itself is included


@each_element
def check_direct_children(task, got, node, where, bound):
    children = got["orvex"]
    assert [key(x) for x in got["lxml"]] == [key(x) for x in got["ElementTree"]] == [key(n) for n in children]
    # xmltodict: a list for two or more, the child's own value for one,
    # missing for none; parsed with force_list, a list for one too.
    code, force = TABLE[task]["xmltodict"][0], span(task, "xmltodict", "force_list")
    ns = bound["xmltodict"]
    want = [xmltodict_shape(n) for n in children]
    if not want:
        with pytest.raises(KeyError if isinstance(ns["e"], dict) else TypeError):
            run(code, ns)
        return
    assert run(code, ns) == (want if len(want) > 1 else want[0])
    forced = value_at(run(force, dict(ns)), "root", where)
    assert run(code, {**ns, "e": forced}) == want


@each_element
def check_same_value(task, got, node, where, bound):
    got["xmltodict"] = run(TABLE[task]["xmltodict"][0], bound["xmltodict"])
    assert len({repr(v) for v in got.values()}) == 1, got


def check_dict_round_trip(task, s, path):
    xd = {"xmltodict": xmltodict, "s": s}
    to, back = TABLE[task]["xmltodict"]
    run(to, xd)
    assert xmltodict.parse(run(back, xd)) == xd["d"]
    ov = {"Node": Node, "node": orvex.read_string(s, "root"), "compact": to_json.compact}
    (to, back), bridge = TABLE[task]["orvex"][:2], span(task, "orvex", "compact(")
    run(to, ov)
    assert run(back, ov).to_dict() == ov["nd"]
    assert run(bridge, ov) == xd["d"]


def check_pretty_print(task, s, path):
    ns = parsed("Parse a string", f'<root id="s1">{ITEMS}</root>', path)
    out = {peer: run(TABLE[task][peer][0], ns[peer]) for peer in PEERS}
    mine = out["orvex"]
    assert isinstance(mine, str) and not mine.startswith("<?xml") and not mine.endswith("\n")
    assert "\n  <item" in mine and "\n    <name>" in mine  # two spaces per level
    assert out["lxml"] == (mine + "\n").encode()
    assert out["ElementTree"] == mine.replace("/>", " />").encode()
    tabs = re.sub(r"(?m)^((?:  )+)", lambda m: "\t" * (len(m[1]) // 2), mine)
    expanded = re.sub(r"<(\w+)([^<>]*)/>", r"<\1\2></\1>", tabs)
    assert out["xmltodict"] == '<?xml version="1.0" encoding="utf-8"?>\n' + expanded
    # The other orvex spelling adds the declaration line, nothing else.
    assert run(span(task, "orvex", "indent=2"), ns["orvex"]) == '<?xml version="1.0" encoding="utf-8"?>\n' + mine


CHECKS = {
    "Parse a string": check_parse,
    "Parse a file": check_parse,
    "Find by tag, all levels": check_find_by_tag,
    "Direct children by tag": check_direct_children,
    "Attribute": check_same_value,
    "Text": check_same_value,
    "To a dict and back": check_dict_round_trip,
    "Pretty-print": check_pretty_print,
}


@pytest.mark.parametrize("task", list(TABLE))
def test_table_row(task, tmp_path):
    assert task in CHECKS, f"no check for the README row {task!r}"
    path = tmp_path / "doc.xml"
    path.write_text(DOC, encoding="utf-8")
    CHECKS[task](task, DOC, str(path))


def test_to_json_compact_form_is_xmltodicts():
    path = os.path.join(REPO, "examples", "data", "catalog.xml")
    with open(path, "rb") as f:
        assert {"catalog": xmltodict_shape(orvex.read_file(path, "catalog"))} == xmltodict.parse(f)


# ---------------------------------------------------------------- the rest


def test_tour_shows_what_it_prints(capsys):
    """In the tour, an expression's comment on its line is its repr, and the
    comment lines under a print(...) are what it prints (trailing blank
    lines aside)."""
    code = README.split("\n## A tour\n", 1)[1].split("```python\n", 1)[1].split("\n```", 1)[0]
    lines = code.splitlines()
    ns: dict = {}
    for stmt in ast.parse(code).body:
        if isinstance(stmt, ast.Expr) and "#" in lines[stmt.end_lineno - 1]:
            value = eval(compile(ast.Expression(stmt.value), "<README tour>", "eval"), ns)
            assert repr(value) == lines[stmt.end_lineno - 1].split("# ", 1)[1], ast.unparse(stmt)
            continue
        exec(compile(ast.Module([stmt], []), "<README tour>", "exec"), ns)
        printed = capsys.readouterr().out
        if isinstance(stmt, ast.Expr) and isinstance(stmt.value, ast.Call) and getattr(stmt.value.func, "id", "") == "print":
            shown = []
            for line in lines[stmt.end_lineno:]:
                if not line.startswith("#"):
                    break
                shown.append(line[2:])
            assert shown, f"nothing shown under {ast.unparse(stmt)}"
            assert printed.rstrip("\n") == "\n".join(shown).rstrip("\n"), ast.unparse(stmt)


def test_bench_requirements_match_the_bench_extra():
    with open(os.path.join(REPO, "pyproject.toml"), "rb") as f:
        extra = tomllib.load(f)["project"]["optional-dependencies"]["bench"]
    with open(os.path.join(REPO, "bench", "requirements.txt"), encoding="utf-8") as f:
        listed = [ln.strip() for ln in f if ln.strip() and not ln.startswith("#")]
    assert sorted(listed) == sorted(extra)
