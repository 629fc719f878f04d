"""orvex in the processes programs run it in: interpreter exit while daemon
threads are inside the library, fork() while other threads use it,
subinterpreters, long-running services, and trees of shared nodes that stand
for billions of places. Each case runs in a fresh interpreter with a
timeout; limits on times and sizes have wide margins."""
import os
import subprocess
import sys

import pytest

from orvex import Node
from helpers import EMULATOR, FREE_THREADED, SANITIZED, assert_isolated_ok, isolated_command

# Each case measures a whole process (exit status, RSS, elapsed time).
pytestmark = pytest.mark.thread_unsafe(reason="measures a whole process")

EMULATED = bool(EMULATOR)
SLOW = EMULATED or SANITIZED

# --- exit ------------------------------------------------------------------

CALLS = {
    "read_string": "orvex.read_string('<a>é</a>', 'a')",
    "read_file": "orvex.read_file(path, 'a')",
    "write_string": "orvex.write_string(node)",
    "write_file": "orvex.write_file(node, out)",
    "to_dict": "big.to_dict()",  # large enough to let waiting threads run before it returns
}

EXIT = """
import orvex, sys, threading, time
path, out = sys.argv[1], sys.argv[2]
node = orvex.Node("a", {"k": "v"}, [orvex.Node("b", text="é")])
big = orvex.read_string("<r>" + "<i/>" * 5000 + "</r>", "r")
def work():
    while True:
        CALL
for _ in range(2):
    threading.Thread(target=work, daemon=True).start()
time.sleep(0.05)
"""


# The interpreter ends daemon threads at exit with a forced unwind, which
# AddressSanitizer does not follow: the frames it unwinds stay poisoned, and
# the thread's own exit then reports a stack underflow in them.
@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer misreads the forced unwind that ends daemon threads at exit")
@pytest.mark.parametrize("call", CALLS)
def test_exit_while_daemon_threads_are_inside_the_library(call, tmp_path):
    path = tmp_path / "in.xml"
    path.write_text("<a>é</a>", encoding="utf-8")
    argv, env = isolated_command(EXIT.replace("CALL", CALLS[call]), str(path), str(tmp_path / "out.xml"),
                                 daemons=True)
    runs = [subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for _ in range(3 if EMULATED else 8)]
    for p in runs:
        out, err = p.communicate(timeout=300)
        assert p.returncode == 0, (p.returncode, err[-2000:])
        assert "terminate" not in err, err[-2000:]


# --- fork ------------------------------------------------------------------

FORK = """
import os, threading, warnings, orvex
from orvex import Node
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
node = Node("a", {"k": "v"}, [Node("b", text="é"), Node("c")])
# The workers stop before the process exits: exiting with threads inside is
# another test's subject.
stop = threading.Event()
def work():
    while not stop.is_set():
        orvex.read_string("<a>é</a>", "a")
        orvex.write_string(node)
        Node.from_dict(node.to_dict())
workers = [threading.Thread(target=work, daemon=True) for _ in range(2)]
for t in workers:
    t.start()
expected = orvex.write_string(node, 1, False)
for i in range(FORKS):
    pid = os.fork()
    if pid == 0:
        ok = (orvex.read_string("<r k='v'>é</r>", "r").attrs == {"k": "v"}
              and orvex.write_string(Node.from_dict(node.to_dict()), 1, False) == expected)
        orvex.write_file(node, os.devnull)
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert status == 0, (i, status)
stop.set()
for t in workers:
    t.join()
print("forked", FORKS)
"""


def test_fork_while_other_threads_are_inside_the_library():
    forks = 100 if EMULATED else 1000
    assert f"forked {forks}" in assert_isolated_ok(FORK.replace("FORKS", str(forks)), timeout=600)


def test_a_fork_pool_reads_with_every_worker():
    code = """
    import multiprocessing, threading, orvex
    def parse(i):
        return orvex.read_string(f"<r><i n='{i}'>é</i></r>", "r").to_dict()
    stop = threading.Event()
    def busy():
        while not stop.is_set():
            orvex.read_string("<a>x</a>", "a")
    worker = threading.Thread(target=busy, daemon=True)
    worker.start()
    orvex.read_string("<r>" + "<i/>" * 200000 + "</r>", "r")  # the parent keeps memory for reuse
    with multiprocessing.get_context("fork").Pool(2) as pool:
        assert pool.map(parse, range(200)) == [parse(i) for i in range(200)]
    stop.set()
    worker.join()
    print("ok")
    """
    assert "ok" in assert_isolated_ok("import warnings; warnings.simplefilter('ignore')\n" + code.replace("\n    ", "\n"),
                                      timeout=600)


# --- subinterpreters -------------------------------------------------------

SUBINTERPRETERS = """
import sys
try:
    import _interpreters as I
    def create(kind):
        return I.create(kind)
    def run(iid, code):
        err = I.run_string(iid, code)
        return None if err is None else str(err)
except ImportError:
    import _xxsubinterpreters as I
    def create(kind):
        if sys.version_info < (3, 12):
            return I.create() if kind == "legacy" else None
        return I.create(isolated=kind == "isolated")
    def run(iid, code):
        try:
            I.run_string(iid, code)
        except I.RunFailedError as e:
            return str(e)
        return None
"""


def test_threads_keep_reference_counts_once_a_subinterpreter_existed():
    code = SUBINTERPRETERS + """
import threading, orvex
I.destroy(create("legacy"))
bad = "<a>" + "<b k='v'>x</b>" * 8  # ASCII, so the document views the str; root never closed
before = sys.getrefcount(bad)
def work():
    for _ in range(ROUNDS):
        try:
            orvex.read_string(bad, "a")
        except ValueError:
            pass
threads = [threading.Thread(target=work) for _ in range(4)]
for t in threads: t.start()
for t in threads: t.join()
print("drift", sys.getrefcount(bad) - before)
"""
    out = assert_isolated_ok(code.replace("ROUNDS", "2000" if EMULATED else "25000"), timeout=600)
    assert "drift 0" in out, out


def test_a_legacy_subinterpreter_imports_and_an_isolated_one_is_refused():
    code = SUBINTERPRETERS + """
use = "\\n".join([
    "import orvex",
    "n = orvex.read_string('<a>é<b/></a>', 'a')",
    "assert orvex.write_string(n, 0, False) == '<a>é<b/>\\\\n</a>'",
    "assert orvex.Node.from_dict(n.to_dict()).children[0].name == 'b'",
])
legacy = create("legacy")
print("legacy:", run(legacy, use))
I.destroy(legacy)
isolated = create("isolated")
if isolated is not None:
    print("isolated:", run(isolated, "import orvex"))
    I.destroy(isolated)
import orvex
print("main:", orvex.read_string("<a/>", "a").name)
"""
    out = assert_isolated_ok(code, timeout=300)
    assert "legacy: None" in out and "main: a" in out, out
    if sys.version_info >= (3, 12):
        line = next(l for l in out.splitlines() if l.startswith("isolated:"))
        assert "ImportError" in line and "subinterpreters" in line, out


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded interpreter runs without the GIL")
def test_importing_leaves_the_gil_off():
    # Any extension that does not declare it runs without the GIL makes the
    # interpreter turn it on at import, with a RuntimeWarning.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    code = "import sys, orvex; print(sys._is_gil_enabled())"
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], env=env,
                         capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stdout.strip(), out.stderr) == (0, "False", ""), out


# --- long-running services -------------------------------------------------

@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine keeps freed memory resident")
@pytest.mark.skipif(EMULATED, reason="under qemu-user the resident size counts the emulator's translated code")
def test_memory_goes_back_once_a_large_document_is_dropped(tmp_path):
    code = """
    import ctypes, gc, sys, orvex
    libc = ctypes.CDLL("libc.so.6")
    def rss():
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmRSS:"))
    path = sys.argv[1]
    with open(path, "w", encoding="utf-8") as f:
        f.write("<r>" + "".join(f"<i k='{n}'><t>text {n} é</t></i>" for n in range(COUNT)) + "</r>")
    gc.collect(); libc.malloc_trim(0)
    start = rss()
    for _ in range(2):
        tree = orvex.read_file(path, "r")
        text = orvex.write_string(tree)
        again = orvex.read_string(text, "r")
        del tree, text, again
    gc.collect(); libc.malloc_trim(0)
    print("kept", (rss() - start) / 2**20)
    """.replace("COUNT", "600000")
    out = assert_isolated_ok(code, timeout=600, args=(str(tmp_path / "big.xml"),))
    kept = float(out.split("kept")[1])
    # What the library keeps for reuse, and the interpreter's own growth (the
    # free-threaded interpreter's allocator keeps freed pages of its own for
    # a while, out of malloc_trim's reach).
    assert kept <= 64 + (16 if FREE_THREADED else 8), out


def test_to_dict_on_two_threads_shares_one_pause_of_the_collector():
    code = """
    import gc, time, orvex
    from concurrent.futures import ThreadPoolExecutor
    tree = orvex.read_string("<r>" + "".join(f"<rec id='{i}'><a>x</a><b k='v'>y</b></rec>" for i in range(60000)) + "</r>", "r")
    collections = []
    gc.callbacks.append(lambda phase, info: phase == "start" and collections.append(info["generation"]))
    pool = ThreadPoolExecutor(2)
    def convert():  # as a worker does: the result is used and dropped where it was made
        return len(tree.to_dict()["children"])
    def one_round(threads):
        del collections[:]
        t = time.perf_counter()
        if threads:
            results = [f.result() for f in (pool.submit(convert), pool.submit(convert))]
        else:
            results = pool.submit(lambda: [convert(), convert()]).result()
        assert results == [60000, 60000]
        gc.collect()  # what the calls leave for the collector counts too
        return time.perf_counter() - t, len(collections)
    serial = min(one_round(False) for _ in range(3))
    both = min(one_round(True) for _ in range(3))
    assert gc.isenabled()
    gc.disable()
    one_round(True)
    assert not gc.isenabled()  # a pause never turns on what was off
    print("ratio", both[0] / serial[0], "collections", serial[1], both[1])
    """
    out = assert_isolated_ok(code, timeout=600).split()
    ratio, serial_collections, both_collections = float(out[1]), int(out[3]), int(out[4])
    assert both_collections <= serial_collections + 2, out  # the calls share one pause
    assert ratio < 1.5, out  # two threads take about as long as one doing both


# --- hostile trees ---------------------------------------------------------

def test_walks_over_shared_trees_end_on_a_signal_or_are_refused_at_once():
    code = """
    import signal, time, orvex
    from orvex import Node
    def shared(levels):
        n = Node("a", {"k": "v"})
        for _ in range(levels):
            n = Node("a", children=[n, n])
        return n
    huge, large = shared(40), shared(21)  # 2**40 and 2**21 places
    d = {"name": "a", "attrs": {}, "children": []}
    for _ in range(40):
        d = {"name": "a", "attrs": {}, "children": [d, d]}
    class Alarm(Exception):
        pass
    def ring(*_):
        raise Alarm
    signal.signal(signal.SIGALRM, ring)
    walks = {
        "search_by_name": lambda: huge.search_by_name("b"),
        "search_by_attr": lambda: huge.search_by_attr("k"),
        "to_dict": huge.to_dict,
        "from_dict": lambda: Node.from_dict(d),
        "text form": lambda: large.__to_string(2),
    }
    for name, walk in walks.items():
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        t = time.monotonic()
        try:
            walk()
        except Alarm:
            pass
        else:
            raise AssertionError(name + " was not interrupted")
        print(name, time.monotonic() - t)
    signal.setitimer(signal.ITIMER_REAL, 0)
    for name, write in (("str", str), ("write_string", orvex.write_string)):
        t = time.monotonic()
        try:
            write(huge)
        except MemoryError as e:
            assert str(e), name
        else:
            raise AssertionError(name + " was not refused")
        print(name, time.monotonic() - t)
    """
    out = assert_isolated_ok(code, timeout=600)
    limit = 60 if SLOW else 5
    for line in out.splitlines():
        name, took = line.rsplit(" ", 1)
        assert float(took) < limit, out


def test_a_failure_deep_down_gives_a_bounded_message():
    levels = 200_000
    d = {"name": "x", "attrs": {}, "children": [], "text": 5}
    for _ in range(levels):
        d = {"name": "a", "attrs": {}, "children": [d]}
    with pytest.raises(TypeError) as info:
        Node.from_dict(d)
    message = str(info.value)
    assert len(message) < 65536
    assert f"[... {levels - 32} levels of nesting left out ...] failed to extract enum HashmapTypes" in message
    assert message.startswith("failed to extract enum HashmapTypes")
    assert "caused by TypeError: 'int' object is not an instance of 'str'" in message
