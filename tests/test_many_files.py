"""Many files read in parallel (threads, process pools, a Dask cluster) give
exactly what one loop reading them in order gives. The pools are those of
examples/many_files.py (imported from there) and examples/dask_files.py (run
as it stands)."""
import os
import subprocess
import sys

import pytest

from helpers import EMULATOR, SANITIZED, isolated_command

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
# On sys.path (not loaded from a file location): spawned children, which
# inherit the parent's sys.path, find the pools' function there by name.
sys.path.insert(0, EXAMPLES)
import many_files  # noqa: E402

pytestmark = pytest.mark.thread_unsafe(reason="starts pools of threads and processes")

ROOT = "orders"


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    # Read once here first: the forked children inherit a parent whose
    # memory pools are already in use.
    paths = many_files.write_files(str(tmp_path_factory.mktemp("many")), 6 if EMULATOR else 24)
    serial = many_files.read_serial(paths, ROOT)
    assert [d["attrs"]["file"] for d in serial] == [str(i) for i in range(len(paths))]
    return paths, serial


POOLS = [
    pytest.param(lambda paths, root: many_files.read_threads(paths, root, 4), id="threads"),
    pytest.param(lambda paths, root: many_files.read_processes(paths, root, 2, "fork"), id="fork"),
    # An emulated interpreter cannot start a fresh one by itself (no binfmt_misc).
    pytest.param(lambda paths, root: many_files.read_processes(paths, root, 2, "spawn"), id="spawn",
                 marks=pytest.mark.skipif(bool(EMULATOR), reason="spawn cannot start an emulated interpreter")),
]


@pytest.mark.parametrize("read", POOLS)
def test_pool_reads_what_the_serial_loop_reads(files, read):
    paths, serial = files
    assert read(paths, ROOT) == serial


@pytest.mark.parametrize("read", POOLS)
@pytest.mark.parametrize("content", ['<orders><order id="1"></orders>', None], ids=["malformed", "missing"])
def test_a_bad_file_fails_the_pool_as_it_fails_the_loop(files, read, content, tmp_path):
    # The error a worker raises comes back pickled: same type, same message.
    paths, _ = files
    bad = str(tmp_path / "bad.xml")
    if content is not None:
        with open(bad, "w", encoding="utf-8") as f:
            f.write(content)
    with pytest.raises((ValueError, OSError)) as serial:
        many_files.read_serial([bad], ROOT)
    with pytest.raises(type(serial.value)) as pooled:
        read([*paths[:3], bad, *paths[3:]], ROOT)
    assert type(pooled.value) is type(serial.value) and str(pooled.value) == str(serial.value)


@pytest.mark.skipif(bool(EMULATOR) or SANITIZED, reason="worker processes start too slowly here")
def test_dask_cluster_reads_what_the_serial_loop_reads(tmp_path):
    pytest.importorskip("distributed")
    pytest.importorskip("dask.bag")
    # The example compares the cluster's dicts with a serial read itself. It
    # runs in a process of its own: Dask leaves threads and logging set-up
    # behind, which later forks in this process would inherit.
    many_files.write_files(str(tmp_path), 12)
    _, env = isolated_command("")  # finds the same modules
    proc = subprocess.run([sys.executable, os.path.join(EXAMPLES, "dask_files.py"), str(tmp_path), ROOT, "--workers", "2"],
                          capture_output=True, text=True, timeout=300, env=env)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "12 files on 2 Dask workers" in proc.stdout
    assert proc.stdout.rstrip().endswith("the cluster read the same dicts as the serial loop")
