"""read_file and write_file stay interruptible while detached: a signal
handler that raises ends the call with its own exception, without leaking a
descriptor or writing anything after it; one that returns lets the call go
on. Each case runs in its own interpreter with a timeout, so a hang fails
the test instead of stalling the run."""
import pytest

from helpers import assert_isolated_ok

PRELUDE = """
import os, signal, tempfile, threading, time
import orvex
from orvex import Node

class Alarm(Exception):
    pass

def raising(exc):
    def handler(signum, frame):
        raise exc
    return handler

def open_fds():
    return sorted(os.listdir("/proc/self/fd"))

def interrupted(call, exc, after=0.2):
    signal.signal(signal.SIGALRM, raising(exc))
    signal.setitimer(signal.ITIMER_REAL, after)
    try:
        call()
    except BaseException as e:
        assert e is exc, repr(e)
    else:
        raise AssertionError("not interrupted")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)

fifo = os.path.join(tempfile.mkdtemp(), "fifo")
os.mkfifo(fifo)
"""


@pytest.mark.parametrize("exc", ["Alarm('alarm')", "KeyboardInterrupt('alarm')"])
@pytest.mark.parametrize(
    "call",
    [
        "orvex.read_file(fifo, 'a')",       # open(2) blocks: no writer
        "orvex.write_file(Node('a'), fifo)",  # open(2) blocks: no reader
        "orvex.read_file('/dev/zero', 'a')",  # never blocks, never ends
    ],
    ids=["read-fifo", "write-fifo", "read-dev-zero"],
)
def test_a_raising_handler_ends_the_call_with_its_exception(call, exc):
    assert_isolated_ok(
        PRELUDE
        + f"""
before = open_fds()
for _ in range(3):
    interrupted(lambda: {call}, {exc})
assert open_fds() == before, (before, open_fds())
print("ok")
""",
        timeout=120,
    )


def test_a_write_blocked_on_a_full_pipe_stops_at_the_interrupt():
    # The pipe's reader is open but reads only once the call is over: the
    # writer blocks on the full pipe, the handler raises, and what arrives is
    # a proper prefix of the document, nothing written after it.
    assert_isolated_ok(
        PRELUDE
        + """
doc = Node("r", children=[Node("c", text="x" * 100)] * 20000)
whole = orvex.write_string(doc).encode()
reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
before = open_fds()
interrupted(lambda: orvex.write_file(doc, fifo), Alarm("alarm"))
assert open_fds() == before
received = b""
while chunk := os.read(reader, 1 << 16):
    received += chunk
assert 0 < len(received) < len(whole) and whole.startswith(received), len(received)
print("ok")
""",
        timeout=120,
    )


def test_a_handler_that_returns_lets_the_call_go_on():
    assert_isolated_ok(
        PRELUDE
        + """
calls = []
signal.signal(signal.SIGALRM, lambda signum, frame: calls.append(signum))
signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
def writer():
    time.sleep(0.5)
    with open(fifo, "w") as f:
        f.write("<a>x</a>")
t = threading.Thread(target=writer)
t.start()
node = orvex.read_file(fifo, "a")
signal.setitimer(signal.ITIMER_REAL, 0)
t.join()
assert node.text == "x" and calls, calls
print("ok")
""",
        timeout=120,
    )
