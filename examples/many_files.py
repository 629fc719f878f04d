"""Reading many files on several cores: a thread pool, and process pools
started with "fork" and with "spawn", each checked against a serial read.

Usage: many_files.py [DIRECTORY ROOT_TAG] [--workers N]

With no arguments, writes 40 small order files into a temporary directory and
reads them (root tag orders); given a directory, reads every *.xml file in it.
Each file becomes the plain dict of to_dict(): a Node does not pickle, a dict
does, so one function serves threads and processes alike. Threads scale
because read_file releases the interpreter lock while it parses; processes
pay for pickling every dict back to the parent.
"""

import argparse
import glob
import multiprocessing
import os
import random
import tempfile
import time
from collections.abc import Callable, Sequence
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from functools import partial
from itertools import repeat
from typing import TYPE_CHECKING

import orvex

if TYPE_CHECKING:
    # The dict form's type exists for type checkers only.
    from orvex import _NodeDict

ITEMS = ("tea", "coffee", "cocoa", "mate", "rooibos", "chicory")


def write_files(directory: str, count: int, orders: int = 60, seed: int = 1) -> list[str]:
    """Writes `count` order files <orders file="i"><order ...>...</order>...</orders>
    of about `orders` orders each (files differ in size and content) and
    returns their paths, sorted."""
    rng = random.Random(seed)
    paths = []
    for i in range(count):
        parts = [f'<?xml version="1.0" encoding="utf-8"?>\n<orders file="{i}">\n']
        for n in range(rng.randint(orders // 2, orders * 3 // 2)):
            parts.append(f'  <order id="{i}-{n}" status="{rng.choice(("open", "paid", "shipped"))}">\n')
            for k in range(rng.randint(1, 4)):
                parts.append(f'    <line sku="S-{rng.randint(1, 9999)}" qty="{k + 1}">'
                             f"{rng.choice(ITEMS)} &amp; box</line>\n")
            parts.append("  </order>\n")
        parts.append("</orders>\n")
        path = os.path.join(directory, f"orders-{i:05d}.xml")
        with open(path, "w", encoding="utf-8") as f:
            f.write("".join(parts))
        paths.append(path)
    return paths


def load(path: str, root: str) -> "_NodeDict":
    """One file as a plain dict. A module-level function, so that process
    pools can pickle it by name."""
    return orvex.read_file(path, root).to_dict()


def read_serial(paths: Sequence[str], root: str) -> list["_NodeDict"]:
    return [load(p, root) for p in paths]


def read_threads(paths: Sequence[str], root: str, workers: int) -> list["_NodeDict"]:
    with ThreadPoolExecutor(workers) as pool:
        return list(pool.map(load, paths, repeat(root)))


def read_processes(paths: Sequence[str], root: str, workers: int, method: str) -> list["_NodeDict"]:
    """`method` is "fork" or "spawn". Files go to the workers a few at a
    time: a round trip per small file costs more than reading it, and a big
    chunk's results would reach the caller all at once, at the end."""
    chunk = max(1, min(8, len(paths) // (4 * workers)))
    with ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context(method)) as pool:
        return list(pool.map(load, paths, repeat(root), chunksize=chunk))


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def files_to_read(parser: argparse.ArgumentParser, directory: str | None, root: str | None,
                  tmp: str) -> tuple[list[str], str]:
    """The files and root tag the command line names (absolute paths, so
    workers started elsewhere find them), or 40 generated ones in `tmp`;
    a usage error when the directory is missing or holds no *.xml file."""
    if directory is None or root is None:
        return write_files(tmp, 40), "orders"
    if not os.path.isdir(directory):
        parser.error(f"not a directory: {directory}")
    paths = sorted(glob.glob(os.path.join(os.path.abspath(directory), "*.xml")))
    if not paths:
        parser.error(f"no *.xml files in {directory}")
    return paths, root


def main() -> None:
    parser = argparse.ArgumentParser(description="Read many XML files with threads and processes.")
    parser.add_argument("directory", nargs="?", metavar="DIRECTORY", help="read every *.xml file in it")
    parser.add_argument("root", nargs="?", metavar="ROOT_TAG", help="the element to read from each file")
    parser.add_argument("--workers", type=positive_int, default=2, help="threads or processes per pool (default 2)")
    args = parser.parse_args()
    if (args.directory is None) != (args.root is None):
        parser.error("give both DIRECTORY and ROOT_TAG, or neither")
    with tempfile.TemporaryDirectory() as tmp:
        paths, root = files_to_read(parser, args.directory, args.root, tmp)
        size = sum(os.path.getsize(p) for p in paths)
        print(f"{len(paths)} files, {size / 1e6:.1f} MB, {args.workers} workers "
              "(each time includes starting the pool; bench/many_files.py compares warm pools)")

        def run(label: str, fn: Callable[[], list["_NodeDict"]]) -> list["_NodeDict"]:
            start = time.perf_counter()
            result = fn()
            seconds = time.perf_counter() - start
            print(f"{label:<16} {seconds * 1000:8.1f} ms  {len(paths) / seconds:8.0f} files/s  "
                  f"{size / seconds / 1e6:6.0f} MB/s")
            return result

        serial = run("serial", lambda: read_serial(paths, root))
        assert run("threads", lambda: read_threads(paths, root, args.workers)) == serial
        # fork: the children inherit the parent's memory, orvex already
        # imported and used; spawn: each starts a fresh interpreter that
        # imports this file and orvex again (slower to start, safe anywhere).
        for method in ("fork", "spawn"):
            if method in multiprocessing.get_all_start_methods():
                assert run(f"processes, {method}", partial(read_processes, paths, root, args.workers, method)) == serial
        print("every pool read the same dicts as the serial loop")


if __name__ == "__main__":
    main()
