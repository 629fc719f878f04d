"""write_string and write_file: layout, escaping, arguments, files, limits."""
import os
import pathlib
import threading
import time

import pytest

from helpers import FREE_THREADED, assert_isolated_ok
from orvex import Node, write_file, write_string

DECL = '<?xml version="1.0" encoding="utf-8"?>\n'


def worked_example():
    e = Node("e")
    d = Node("d", children=[e])
    c = Node("c", children=[d], text="t")
    b = Node("b", {"note": "tab\there"})
    a = Node("a", text='x < y & "z"')
    return Node("doc", {"id": "7"}, [a, b, c])


def expected_example(indent, declaration):
    lines = [
        (0, '<doc id="7">'),
        (1, '<a>x &lt; y &amp; &quot;z&quot;</a>'),
        (1, '<b note="tab&#9;here"/>'),
        (1, "<c>t<d>"),
        (3, "<e/>"),
        (2, "</d>"),
        (1, "</c>"),
        (0, "</doc>"),
    ]
    body = "\n".join(" " * (indent * level) + text for level, text in lines)
    return (DECL if declaration else "") + body


@pytest.mark.parametrize("declaration", [True, False])
@pytest.mark.parametrize("indent", [4, 0, 2])
def test_worked_example(indent, declaration, tmp_path):
    out = write_string(worked_example(), indent, declaration)
    assert out == expected_example(indent, declaration)
    assert len(out.split("\n")) == 9 if declaration else 8
    path = tmp_path / "doc.xml"
    assert write_file(worked_example(), str(path), indent, declaration) is None
    assert path.read_bytes() == out.encode()


def test_defaults_are_indent_4_with_declaration():
    n = worked_example()
    expected = write_string(n, 4, True)
    assert write_string(n) == expected
    assert write_string(n, None, None) == expected
    assert write_string(node=n, default_xml_def=None, indent=None) == expected
    assert write_string(Node("r")) == DECL + "<r/>"
    assert write_string(Node("r"), default_xml_def=False) == "<r/>"


@pytest.mark.parametrize(
    "node, expected",
    [
        (Node("b", {"k": "v"}), '<b k="v"/>'),
        (Node("a", text=""), "<a></a>"),
        (Node("r", children=[Node("c", children=[Node("d")], text="t"), Node("s")]),
         "<r>\n  <c>t<d/>\n  </c>\n  <s/>\n</r>"),
        (Node("r", children=[Node("x", text="1"), Node("y", text="2")], text="t"),
         "<r>t<x>1</x>\n  <y>2</y>\n</r>"),
        # Quotes are escaped in text too; tab, CR and LF only in attributes.
        (Node("a", {"k": "\t\r\n'\"<>&"}, text="\t\r\n'\"<>&"),
         '<a k="&#9;&#13;&#10;&apos;&quot;&lt;&gt;&amp;">\t\r\n&apos;&quot;&lt;&gt;&amp;</a>'),
        # Names and keys are never escaped or checked.
        (Node("a<b &c", {"k y&<": "v"}), '<a<b &c k y&<="v"/>'),
        (Node("", {"": ""}), '< =""/>'),
        # Control and non-ASCII characters pass unchanged in both modes.
        (Node("a", {"k": "\x01é"}, text="\x01é𝄞\x7f"), '<a k="\x01é">\x01é𝄞\x7f</a>'),
        # Text is neither trimmed nor indented.
        (Node("a", children=[Node("b", text="  two\n  lines  ")]), "<a>\n  <b>  two\n  lines  </b>\n</a>"),
    ],
)
def test_layout_and_escaping_edge_cases(node, expected):
    assert write_string(node, 2, False) == expected


def test_a_shared_node_is_written_once_per_place():
    leaf = Node("l", text="x")
    mid = Node("m", children=[leaf, leaf])
    root = Node("r", children=[mid, leaf, mid])
    out = write_string(root, 1, False)
    assert out.count("<l>x</l>") == 5
    assert out.startswith("<r>\n <m>\n  <l>x</l>\n  <l>x</l>\n </m>\n <l>x</l>\n <m>")


def test_attributes_follow_the_attrs_order():
    attrs = {f"k{i}": f"v{i}" for i in range(40)}
    n = Node("a", attrs)
    out = write_string(n, default_xml_def=False)
    expected = "<a" + "".join(f' {k}="{v}"' for k, v in n.attrs.items()) + "/>"
    assert out == expected


def test_output_never_ends_with_a_line_feed():
    for n in [Node("r"), Node("r", text=""), worked_example(), Node("r", children=[Node("c")])]:
        for indent in (0, 3):
            assert not write_string(n, indent).endswith("\n")


# ---------------------------------------------------------------- arguments

class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def test_indent_accepts_ints_bools_and_index_objects():
    n = Node("r", children=[Node("c")])
    assert write_string(n, True, False) == "<r>\n <c/>\n</r>"
    assert write_string(n, Index(3), False) == "<r>\n   <c/>\n</r>"

    class MyInt(int):
        pass

    assert write_string(n, MyInt(1), False) == "<r>\n <c/>\n</r>"


def test_numpy_scalars():
    np = pytest.importorskip("numpy")
    n = Node("r")
    assert write_string(n, default_xml_def=np.bool_(False)) == "<r/>"
    assert write_string(n, default_xml_def=np.True_) == DECL + "<r/>"
    assert write_string(Node("r", children=[Node("c")]), np.int64(1), False) == "<r>\n <c/>\n</r>"
    with pytest.raises(TypeError, match="'int64' object is not an instance of 'bool'"):
        write_string(n, default_xml_def=np.int64(1))


def _call(fn, *args, **kwargs):
    with pytest.raises(Exception) as info:
        fn(*args, **kwargs)
    return info.value


N = Node("r")


@pytest.mark.parametrize(
    "fn, args, kwargs, exc, message, note",
    [
        (write_string, (5,), {}, TypeError, "'int' object is not an instance of 'Node'", "node"),
        (write_string, (None,), {}, TypeError, "'None' is not an instance of 'Node'", "node"),
        (write_string, (N,), {"default_xml_def": 1}, TypeError,
         "'int' object is not an instance of 'bool'", "default_xml_def"),
        (write_string, (N,), {"default_xml_def": "yes"}, TypeError,
         "'str' object is not an instance of 'bool'", "default_xml_def"),
        (write_string, (N, -1), {}, OverflowError, None, "indent"),
        (write_string, (N, 2**64), {}, OverflowError, None, "indent"),
        (write_string, (N, 2.0), {}, TypeError, None, "indent"),
        (write_string, (N, "4"), {}, TypeError, None, "indent"),
        (write_file, (5, "x"), {}, TypeError, "'int' object is not an instance of 'Node'", "node"),
        (write_file, (N, b"out.xml"), {}, TypeError,
         "'bytes' object is not an instance of 'str'", "file_path"),
        (write_file, (N, pathlib.Path("out.xml")), {}, TypeError,
         f"'{type(pathlib.Path()).__qualname__}' object is not an instance of 'str'", "file_path"),
        (write_file, (N, None), {}, TypeError, "'None' is not an instance of 'str'", "file_path"),
        (write_file, (N, "bad\ud800.xml"), {}, UnicodeEncodeError, None, "file_path"),
        (write_file, (N, "out.xml", -5), {}, OverflowError, None, "indent"),
        (write_file, (N, "out.xml", 4, 0), {}, TypeError,
         "'int' object is not an instance of 'bool'", "default_xml_def"),
    ],
)
def test_conversion_errors_are_noted(fn, args, kwargs, exc, message, note, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    err = _call(fn, *args, **kwargs)
    assert type(err) is exc
    if message is not None:
        assert str(err) == message
    assert err.__notes__ == [f"while processing '{note}'"]
    assert os.listdir(tmp_path) == []  # nothing opened


def test_interpreter_messages_for_indent():
    assert str(_call(write_string, N, -1)) == "can't convert negative int to unsigned"
    assert str(_call(write_string, N, 2.0)) == "'float' object cannot be interpreted as an integer"


def test_conversions_run_in_parameter_order():
    # node is checked first, then file_path, then indent, then default_xml_def.
    err = _call(write_file, 1, 2, -1, 3)
    assert err.__notes__ == ["while processing 'node'"]
    err = _call(write_file, N, 2, -1, 3)
    assert err.__notes__ == ["while processing 'file_path'"]
    err = _call(write_file, N, "x", -1, 3)
    assert err.__notes__ == ["while processing 'indent'"]


@pytest.mark.parametrize(
    "fn, args, kwargs, message",
    [
        (write_string, (), {}, "write_string() missing 1 required positional argument: 'node'"),
        (write_file, (), {}, "write_file() missing 2 required positional arguments: 'node' and 'file_path'"),
        (write_file, (N,), {}, "write_file() missing 1 required positional argument: 'file_path'"),
        (write_file, (N, "a", 1, True, 5), {},
         "write_file() takes from 2 to 4 positional arguments but 5 were given"),
        (write_string, (N, 4, True, 1), {},
         "write_string() takes from 1 to 3 positional arguments but 4 were given"),
        (write_string, (N, 2), {"indent": 4}, "write_string() got multiple values for argument 'indent'"),
        (write_string, (N,), {"spacing": 4}, "write_string() got an unexpected keyword argument 'spacing'"),
        (write_file, (N,), {"path": "x"}, "write_file() got an unexpected keyword argument 'path'"),
    ],
)
def test_binding_errors(fn, args, kwargs, message):
    err = _call(fn, *args, **kwargs)
    assert type(err) is TypeError and str(err) == message


# ---------------------------------------------------------------- files

def big_tree(approx_bytes):
    """A tree whose document is about approx_bytes long, with texts both
    shorter and longer than the file buffer."""
    children = []
    size = 0
    i = 0
    while size < approx_bytes:
        text = ("word & more <x> " * (1 + (i * 37) % 1300))[: 1 + (i * 997) % 20000]
        children.append(Node("item", {"n": str(i), "q": 'say "hi"\n'}, [Node("leaf")], text))
        size += len(text) + 60
        i += 1
    return Node("big", children=children)


@pytest.mark.parametrize("approx", [100, 2_000_000])
def test_write_file_equals_write_string(approx, tmp_path):
    tree = big_tree(approx)
    path = tmp_path / "out.xml"
    path.write_bytes(b"x" * 5_000_000)  # longer than the new content: truncated
    for indent, decl in [(4, True), (0, False), (9000, True)]:
        write_file(tree, str(path), indent, decl)
        assert path.read_bytes() == write_string(tree, indent, decl).encode()


def test_write_file_accepts_str_subclass(tmp_path):
    class P(str):
        pass

    write_file(Node("r"), P(tmp_path / "p.xml"))
    assert (tmp_path / "p.xml").read_text() == DECL + "<r/>"


def test_dev_full_raises_enospc():
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    for tree in (Node("r"), big_tree(100_000)):
        err = _call(write_file, tree, "/dev/full")
        assert type(err) is OSError
        assert str(err).endswith("(os error 28)")
        assert err.errno is None and not hasattr(err, "__notes__")


def test_missing_directory(tmp_path):
    target = tmp_path / "nope" / "out.xml"
    err = _call(write_file, N, str(target))
    assert type(err) is FileNotFoundError
    assert str(err) == "No such file or directory (os error 2)"
    assert err.errno is None
    assert not (tmp_path / "nope").exists()


def test_empty_path_and_directory_and_nul(tmp_path):
    assert type(_call(write_file, N, "")) is FileNotFoundError
    err = _call(write_file, N, str(tmp_path))
    assert type(err) is IsADirectoryError and str(err).endswith("(os error 21)")
    err = _call(write_file, N, str(tmp_path / "a\0b"))
    assert type(err) is OSError and str(err) == "file name contained an unexpected NUL byte"
    assert os.listdir(tmp_path) == []


THREE = Node("r", children=[Node("c", children=[Node("g")])])


@pytest.mark.parametrize(
    "node, rest",
    [(5, ()), (THREE, (-1,)), (THREE, (4, 1)), (THREE, ("4",)), (THREE, (2**40,)), (THREE, (2**64 - 1,))],
)
def test_a_refused_call_leaves_the_file_unchanged(node, rest, tmp_path):
    path = tmp_path / "keep.xml"
    path.write_bytes(b"original")
    with pytest.raises((TypeError, OverflowError, MemoryError)):
        write_file(node, str(path), *rest)
    assert path.read_bytes() == b"original"


# ---------------------------------------------------------------- limits

@pytest.mark.parametrize("indent", [2**40, 2**62, 2**64 - 1])
def test_huge_indent_is_refused_before_writing(indent, tmp_path):
    with pytest.raises((MemoryError, OverflowError)):
        write_string(THREE, indent)
    target = tmp_path / "huge.xml"
    with pytest.raises((MemoryError, OverflowError)):
        write_file(THREE, str(target), indent)
    assert not target.exists()
    # A tree without line breaks needs no indentation, whatever the indent.
    assert write_string(Node("r", text="x"), indent, False) == "<r>x</r>"


def test_million_levels_are_written_without_recursion():
    assert_isolated_ok(
        """
        import os, tempfile
        from orvex import Node, write_string, write_file
        n = Node("n", text="leaf")
        for _ in range(999_999):
            n = Node("n", children=[n])
        out = write_string(n, 0, False)
        assert out.startswith("<n>\\n<n>\\n") and out.endswith("</n>\\n</n>")
        assert out.count("<n>") == 1_000_000 and "<n>leaf</n>" in out
        assert len(out) == 999_999 * (3 + 1 + 1 + 4) + len("<n>leaf</n>")
        path = os.path.join(tempfile.mkdtemp(), "deep.xml")
        write_file(n, path, 0, False)
        assert open(path).read() == out
        try:
            write_string(n)  # indent 4 would need terabytes of spaces
        except (MemoryError, OverflowError):
            pass
        else:
            raise AssertionError("expected a refusal")
        del n
        print("ok")
        """
    )


@pytest.mark.skipif(bool(os.environ.get("ORVEX_EMULATOR")), reason="address-space limit under emulation")
def test_shared_nodes_expanding_beyond_memory_give_memory_error():
    # 2**41 places from 41 distinct nodes: the copy runs out of the limited
    # address space and must fail cleanly, leaving the interpreter usable.
    assert_isolated_ok(
        """
        import os, resource
        from orvex import Node, write_string, write_file
        n = Node("x", {"k": "v"}, text="t")
        for _ in range(40):
            n = Node("x", children=[n, n])
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        for call in (lambda: write_string(n, 0), lambda: write_file(n, os.devnull, 0)):
            try:
                call()
            except MemoryError:
                pass
            else:
                raise AssertionError("expected MemoryError")
        assert write_string(Node("r", children=[Node("c")]), 1, False) == "<r>\\n <c/>\\n</r>"
        print("ok")
        """
    )


def test_a_document_beyond_the_memory_left_is_refused_at_once():
    # About two thirds of the machine's memory as output (the literal
    # 16 GiB of indentation on a 24 GiB machine): no size rule refuses it,
    # but the output and its str would need more than the machine has.
    physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    started = time.monotonic()
    with pytest.raises(MemoryError) as info:
        write_string(THREE, min(2**32, physical // 6))
    assert str(info.value).startswith("writing the XML document needs ")
    assert time.monotonic() - started < (30 if os.environ.get("ORVEX_EMULATOR") else 5)


@pytest.mark.skipif(bool(os.environ.get("ORVEX_EMULATOR")), reason="address-space limit under emulation")
@pytest.mark.skipif(FREE_THREADED, reason="the free-threaded interpreter's allocator reserves a gigabyte of "
                    "address space at start: a 1 GiB limit leaves nothing to write with")
@pytest.mark.parametrize("limit, named", [("RLIMIT_AS", "(RLIMIT_AS)"), ("RLIMIT_DATA", "(RLIMIT_DATA)")])
def test_a_process_memory_limit_refuses_what_would_not_fit(limit, named):
    # Under a 1 GiB limit: 150 MB of output (peak about 300 MB) is written;
    # 600 MB (peak 1.2 GB) is refused before it is built, and so is 250 MB
    # with a character beyond U+FFFF, once its 1 GB str is known to be needed.
    assert_isolated_ok(
        f"""
        import resource
        from orvex import Node, write_string
        def doc(mb, text=None):
            return Node("a", children=[Node("b", children=[Node("c", text=text)])]), mb * 10**6 // 4
        resource.setrlimit(resource.{limit}, (1 << 30, 1 << 30))
        for mb, text in ((600, None), (250, "\U0001d11e")):
            node, indent = doc(mb, text)
            try:
                write_string(node, indent, False)
            except MemoryError as e:
                assert str(e).startswith("writing the XML document needs ") and "{named}" in str(e), str(e)
            else:
                raise AssertionError(f"{{mb}} MB written")
        node, indent = doc(150)
        assert len(write_string(node, indent, False)) > 150 * 10**6
        print("ok")
        """
    )


# ---------------------------------------------------------------- threads

def _progress_during(call):
    count = 0
    stop = False

    def spin():
        nonlocal count
        while not stop:
            count += 1

    t = threading.Thread(target=spin)
    t.start()
    try:
        while count == 0:
            pass
        before = count
        call()
        during = count - before
    finally:
        stop = True
        t.join()
    return during


@pytest.mark.thread_unsafe(reason="counts another thread's progress while it writes")
def test_other_threads_run_while_writing():
    text = "a&b<c>d\"e'f " * 40_000  # about 480 kB, heavy escaping
    shared = Node("t", text=text)
    tree = Node("r", children=[shared] * 60)
    assert _progress_during(lambda: write_file(tree, os.devnull)) > 10_000
    small = Node("r", children=[shared] * 20)
    assert _progress_during(lambda: write_string(small)) > 10_000


# ---------------------------------------------------------------- result str

@pytest.mark.parametrize("char", ["é", "Ā", "日", "\U0001d11e"])
@pytest.mark.parametrize("every", [1, 7, 500])
def test_write_string_equals_the_decoded_file_for_every_width_and_density(char, every, tmp_path):
    # Large enough that the vector loops of the conversion to str run; str
    # equality also compares the internal width, so a str built wider than
    # its widest character would not compare equal.
    special = lambda i: i % every == 0  # noqa: E731
    children = [
        Node("c", {"k": char if special(i) else "v"}, text=("x" * 40 + char) if special(i) else "y" * 41)
        for i in range(3000)
    ]
    root = Node("r", children=children)
    path = tmp_path / "out.xml"
    write_file(root, str(path))
    written = write_string(root)
    assert written == path.read_bytes().decode("utf-8")
    assert written.encode("utf-8") == path.read_bytes()


@pytest.mark.parametrize("char", ["x", "\u65e5"])
def test_a_document_past_the_uncounted_size_is_written_whole(char, tmp_path):
    # write_string counts a document only once its output passes 64 MiB;
    # the count lets it go on, and the text equals the file's.
    text = (char + "&") * 300_000
    per_child = len(text.replace("&", "&amp;").encode("utf-8"))
    root = Node("r", {"k": "v"}, children=[Node("c", text=text)] * (70 * 2**20 // per_child + 1))
    path = tmp_path / "big.xml"
    write_file(root, str(path), 2)
    written = write_string(root, 2)
    assert len(written.encode("utf-8")) > 64 * 2**20
    assert written == path.read_bytes().decode("utf-8")
