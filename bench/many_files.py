"""Many files on several cores: a directory of record documents (50-500 KB
each) read by a thread pool of 1 and of 2 workers, and by process pools of 2
started with "fork" and with "spawn", for

    orvex read_file             the tree dropped in the worker
    orvex to_dict in worker     read_file(...).to_dict(), dropped in the worker
    orvex to_dict returned      the dict handed back to the caller (pickled
                                back from a process: a Node does not pickle)
    ... collector paused        the same with the caller's cycle collector
                                paused while it takes the results
    lxml parse                  etree.parse(path), the tree dropped in the worker

Wall time of one pass over every file through a pool that is already
running (best of --rounds, after a warm-up pass that also fills the page
cache); the first pass, pool start-up included, is shown apart. Results are
consumed in order as they come and dropped, as a program that processes each
file would. Scaling is against the thread pool of 1 worker.

    python bench/many_files.py                       # 200 files, orvex and lxml
    python bench/many_files.py --files 1000 --rounds 5
    python bench/many_files.py --tools orvex --pools threads --json out.json

The files are generated once into bench/corpora/many-files-N/. Each tool is
measured in a fresh interpreter of its own (on a free-threaded interpreter
importing lxml turns the global lock back on).
"""
import argparse
import gc
import json
import multiprocessing
import os
import platform
import random
import shutil
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpora  # noqa: E402

ROOT = "records"
KB = 1000


def make_files(count, directory=None, seed=11):
    """`count` documents of 50-500 KB (uniformly drawn), cut at record
    boundaries from one generated records corpus; generated once and kept."""
    directory = directory or os.path.join(corpora.CACHE_DIR, f"many-files-{count}")
    done = os.path.join(directory, "complete")
    if not os.path.exists(done):
        rng = random.Random(seed)
        sizes = [rng.randint(50 * KB, 500 * KB) for _ in range(count)]
        text, _ = corpora.records(sum(sizes) // corpora.MIB + 2)
        lines = text.split("\n")[1:-2]  # one record per line
        tmp = f"{directory}.{os.getpid()}.tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(tmp)
        at = 0
        for i, size in enumerate(sizes):
            piece, got = [], 0
            while got < size:
                piece.append(lines[at])
                got += len(lines[at]) + 1
                at += 1
            with open(os.path.join(tmp, f"doc-{i:05d}.xml"), "w", encoding="utf-8") as f:
                f.write(f'<records file="{i}">\n' + "\n".join(piece) + "\n</records>\n")
        open(os.path.join(tmp, "complete"), "w").close()
        shutil.rmtree(directory, ignore_errors=True)
        os.replace(tmp, directory)  # a concurrent run never sees half a set
    return sorted(os.path.join(directory, f) for f in os.listdir(directory) if f.endswith(".xml"))


# The operations, at module level so that process pools find them by name
# (spawn's children import this file again). Each returns the number of
# records read (or the dict that holds them), checked against the others.

def orvex_read(path):
    import orvex
    return len(orvex.read_file(path, ROOT).children)


def orvex_to_dict_here(path):
    import orvex
    return len(orvex.read_file(path, ROOT).to_dict()["children"])


def orvex_to_dict(path):
    import orvex
    return orvex.read_file(path, ROOT).to_dict()


def lxml_parse(path):
    from lxml import etree
    return len(etree.parse(path).getroot())


# name: (operation, whether the caller's cycle collector is paused)
OPERATIONS = {"orvex": {"read_file": (orvex_read, False),
                        "to_dict in worker": (orvex_to_dict_here, False),
                        "to_dict returned": (orvex_to_dict, False),
                        "to_dict returned, collector paused": (orvex_to_dict, True)},
              "lxml": {"parse": (lxml_parse, False)}}


def records_in(result):
    return len(result["children"]) if isinstance(result, dict) else result


def one_pass(pool, op, paths, pause_gc):
    # One file per task: at 50-500 KB a file is milliseconds of work, far
    # more than a round trip, and bigger chunks would hold the caller back
    # until a whole chunk's results had been unpickled at once.
    enabled = gc.isenabled()
    if pause_gc:
        gc.disable()
    try:
        start = time.perf_counter()
        n = sum(records_in(r) for r in pool.map(op, paths))
        return time.perf_counter() - start, n
    finally:
        if enabled:
            gc.enable()


def pool_maker(kind, workers):
    if kind == "threads":
        return lambda: ThreadPoolExecutor(workers)
    context = multiprocessing.get_context(kind)
    return lambda: ProcessPoolExecutor(workers, mp_context=context)


def measure_tool(tool, paths, pools, rounds):
    """Every operation of `tool` through every pool: a list of result rows."""
    expected = None
    rows = []
    for name, (op, pause_gc) in OPERATIONS[tool].items():
        for kind, workers in pools:
            start = time.perf_counter()
            with pool_maker(kind, workers)() as pool:
                _, n = one_pass(pool, op, paths, pause_gc)
                first = time.perf_counter() - start
                best = min(one_pass(pool, op, paths, pause_gc)[0] for _ in range(rounds))
            expected = n if expected is None else expected
            assert n == expected, (tool, name, kind, workers, n, expected)
            rows.append({"operation": name, "pool": kind, "workers": workers, "first": first, "best": best})
    return rows


def versions(tool):
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    text = f"python {platform.python_version()} ({'with the GIL' if gil else 'free-threaded'})"
    if tool == "orvex":
        import orvex
        text += f", orvex from {os.path.dirname(os.path.abspath(orvex.__file__))}"
    else:
        from lxml import etree
        text += f", lxml {etree.__version__} (libxml2 {'.'.join(map(str, etree.LIBXML_VERSION))})"
    return text


def run_one_tool(a):
    paths = make_files(a.files)
    pools = [("threads", w) for w in (1, 2)] * ("threads" in a.pools)
    pools += [(k, 2) for k in ("fork", "spawn") if k in a.pools and k in multiprocessing.get_all_start_methods()]
    rows = measure_tool(a.one_tool, paths, pools, a.rounds)
    print(json.dumps({"versions": versions(a.one_tool), "rows": rows}))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--files", type=int, default=200, help="number of documents (50-500 KB each; default 200)")
    ap.add_argument("--rounds", type=int, default=3, help="timed passes per pool (best is kept; default 3)")
    ap.add_argument("--tools", default="orvex,lxml")
    ap.add_argument("--pools", default="threads,fork,spawn")
    ap.add_argument("--json", default=None)
    ap.add_argument("--one-tool", default=None, help=argparse.SUPPRESS)  # the per-tool child
    a = ap.parse_args()
    if a.files < 1 or a.rounds < 1:
        ap.error("--files and --rounds must be at least 1")
    a.pools = a.pools.split(",")
    if a.one_tool:
        return run_one_tool(a)

    paths = make_files(a.files)
    size = sum(os.path.getsize(p) for p in paths)
    print(f"{len(paths)} files, {size / 1e6:.1f} MB ({min(map(os.path.getsize, paths)) // KB}-"
          f"{max(map(os.path.getsize, paths)) // KB} KB), {platform.machine()}, {os.cpu_count()} cores")
    out = {}
    for tool in a.tools.split(","):
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--one-tool", tool, "--files", str(a.files),
                               "--rounds", str(a.rounds), "--pools", ",".join(a.pools)],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            print(f"{tool}: not measured ({proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else proc.returncode})")
            continue
        got = json.loads(proc.stdout)
        out[tool] = got
        print(f"\n{tool}: {got['versions']}")
        print("| operation | pool | first pass | best pass | files/s | MB/s | scaling |")
        print("|---|---|---|---|---|---|---|")
        base = {}
        for r in got["rows"]:
            if r["pool"] == "threads" and r["workers"] == 1:
                base[r["operation"]] = r["best"]
            scaling = f"{base[r['operation']] / r['best']:.2f}x" if r["operation"] in base else "-"
            print(f"| {r['operation']} | {r['pool']} x {r['workers']} | {r['first'] * 1e3:.0f} ms | "
                  f"{r['best'] * 1e3:.0f} ms | {len(paths) / r['best']:.0f} | {size / r['best'] / 1e6:.0f} | {scaling} |")
    if a.json:
        with open(a.json, "w") as f:
            json.dump({"python": sys.version, "files": len(paths), "bytes": size, "tools": out}, f, indent=1)


if __name__ == "__main__":
    main()
