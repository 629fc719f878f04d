"""Reading many files on a Dask cluster: a dask.bag maps
read_file(path, root).to_dict() over the paths, on a LocalCluster of worker
processes or on a running cluster, and the result is checked against a serial
read.

Usage: dask_files.py [DIRECTORY ROOT_TAG] [--workers N] [--scheduler ADDRESS]

Needs Dask: pip install 'dask[distributed]' (without it, this says so and
exits). With no arguments, writes 40 small order files into a temporary
directory and reads them on a LocalCluster of 2 worker processes. With
--scheduler tcp://HOST:8786 the work goes to that cluster's workers instead:
each needs orvex installed and must see DIRECTORY at the same path.
"""

import argparse
import importlib
import logging
import tempfile
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

import orvex
from many_files import files_to_read, positive_int, read_serial

if TYPE_CHECKING:
    # The dict form's type exists for type checkers only.
    from orvex import _NodeDict

INSTALL = "pip install 'dask[distributed]'"


def have_dask() -> bool:
    try:
        importlib.import_module("dask.bag")
        importlib.import_module("distributed")
    except ImportError:
        return False
    return True


@contextmanager
def dask_client(workers: int = 2, scheduler: str | None = None) -> Iterator[Any]:
    """A client of the cluster at `scheduler`, or of a LocalCluster of
    `workers` single-threaded worker processes made for the occasion (no
    dashboard, so no port to clash with; only errors logged)."""
    # Imported by name: Dask is optional here, and type checkers need not see it.
    distributed: Any = importlib.import_module("distributed")
    if scheduler:
        with distributed.Client(scheduler) as client:
            yield client
        return
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client:
        yield client


def read_with_dask(client: Any, paths: Sequence[str], root: str) -> list["_NodeDict"]:
    """Every file's dict, in the order of `paths`, read by the cluster's workers."""
    bag: Any = importlib.import_module("dask.bag")

    def load(path: str) -> "_NodeDict":
        # A local function travels to the workers by value, so they need
        # orvex installed but not this file.
        return orvex.read_file(path, root).to_dict()

    # A few partitions per worker thread: enough to keep them all busy to
    # the end, few enough that scheduling costs little next to the reading.
    threads = sum(client.nthreads().values())
    partitions = max(1, min(len(paths), 4 * threads))
    return list(bag.from_sequence(paths, npartitions=partitions).map(load).compute(scheduler=client))


def main() -> None:
    parser = argparse.ArgumentParser(description="Read many XML files on a Dask cluster.")
    parser.add_argument("directory", nargs="?", metavar="DIRECTORY", help="read every *.xml file in it")
    parser.add_argument("root", nargs="?", metavar="ROOT_TAG", help="the element to read from each file")
    parser.add_argument("--workers", type=positive_int, default=2,
                        help="worker processes of the LocalCluster (default 2)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a running cluster's scheduler (tcp://HOST:8786) instead of a LocalCluster")
    args = parser.parse_args()
    if (args.directory is None) != (args.root is None):
        parser.error("give both DIRECTORY and ROOT_TAG, or neither")
    if args.scheduler and args.directory is None:
        parser.error("a remote cluster's workers cannot see a temporary directory: give DIRECTORY and ROOT_TAG")
    if not have_dask():
        print(f"this example needs Dask: {INSTALL}")
        return
    with tempfile.TemporaryDirectory() as tmp:
        paths, root = files_to_read(parser, args.directory, args.root, tmp)
        with dask_client(args.workers, args.scheduler) as client:
            print(f"{len(paths)} files on {len(client.nthreads())} Dask workers")
            start = time.perf_counter()
            dicts = read_with_dask(client, paths, root)
            print(f"read in {(time.perf_counter() - start) * 1000:.0f} ms")
        assert dicts == read_serial(paths, root)
        print("the cluster read the same dicts as the serial loop")


if __name__ == "__main__":
    main()
