"""Shared test helpers."""
import os
import shlex
import subprocess
import sys
import sysconfig
import textwrap

# Under emulation (an aarch64 interpreter run by qemu-user) a subprocess of
# sys.executable cannot start on its own: it must go through the emulator.
# .ci/arm64-python.sh exports ORVEX_EMULATOR with the command prefix (in shell
# quoting) in that case.
EMULATOR = shlex.split(os.environ.get("ORVEX_EMULATOR", ""))
# Under the sanitizers (.ci/sanitize.sh preloads their runtimes; a
# ThreadSanitizer interpreter is built with its own) everything is slower, and
# their shadow and quarantine keep memory resident.
SANITIZED = ("asan" in os.environ.get("LD_PRELOAD", "")
             or "--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or ""))
# A free-threaded interpreter (no global lock), whatever PYTHON_GIL says.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def daemon_threads_at_exit(env: dict[str, str]) -> dict[str, str]:
    """The environment for a child that exits while daemon threads run. Under
    the sanitizers LeakSanitizer's check at exit stops every thread, and one
    that the interpreter ends meanwhile deadlocks inside the sanitizer's own
    runtime: such children run without the leak check."""
    if SANITIZED:
        env = {**env, "ASAN_OPTIONS": env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
    return env


def isolated_command(code: str, *args: str, daemons: bool = False) -> tuple[list[str], dict[str, str]]:
    """The command line and environment that run `code` (with `args` as
    sys.argv[1:]) in a fresh interpreter that finds the same modules; with
    `daemons`, one that may exit while daemon threads run."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    if daemons:
        env = daemon_threads_at_exit(env)
    return [*EMULATOR, sys.executable, "-c", textwrap.dedent(code), *args], env


def run_isolated(code: str, timeout: float = 600.0, args: tuple[str, ...] = (),
                 daemons: bool = False) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter, so that a crash fails the test
    instead of killing the test run. Returns the finished process."""
    argv, env = isolated_command(code, *args, daemons=daemons)
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout, env=env)


def assert_isolated_ok(code: str, timeout: float = 600.0, args: tuple[str, ...] = (), daemons: bool = False) -> str:
    """Runs `code` isolated and asserts it exited cleanly; returns its stdout."""
    proc = run_isolated(code, timeout, args, daemons)
    assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout[-2000:]}\nstderr:\n{proc.stderr[-2000:]}"
    return proc.stdout
