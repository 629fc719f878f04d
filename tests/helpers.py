"""Shared test helpers."""
import os
import shlex
import subprocess
import sys
import textwrap

# Under emulation (an aarch64 interpreter run by qemu-user) a subprocess of
# sys.executable cannot start on its own: it must go through the emulator.
# .ci/arm64-python.sh exports ORVEX_EMULATOR with the command prefix (in shell
# quoting) in that case.
EMULATOR = shlex.split(os.environ.get("ORVEX_EMULATOR", ""))


def run_isolated(code: str, timeout: float = 600.0) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter, so that a crash fails the test
    instead of killing the test run. Returns the finished process."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [*EMULATOR, sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


def assert_isolated_ok(code: str, timeout: float = 600.0) -> str:
    """Runs `code` isolated and asserts it exited cleanly; returns its stdout."""
    proc = run_isolated(code, timeout)
    assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout[-2000:]}\nstderr:\n{proc.stderr[-2000:]}"
    return proc.stdout
