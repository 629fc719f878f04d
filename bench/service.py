"""What a long-running service sees, orvex beside lxml.

    repeated reads   one document read again and again from its file, each
                     tree dropped before the next read (read + drop timed
                     together, processor time, after two warm-up reads)
    memory after     RSS growth over a fresh process's start after reading a
    drop             large document, writing it to a str, dropping both and
                     calling malloc_trim(0); the peak while holding both
    to_dict on       two worker threads each converting one tree of 60,000
    threads          records against one worker converting it twice (elapsed
                     time, each round's results dropped and collected in it)

Every measurement runs in a fresh interpreter. `--orvex DIR` (repeatable)
compares builds in one run: each DIR holds an orvex module (a build
directory); the installed module is used when none is given.

    python bench/service.py                         # 10 and 50 MiB reads, 150 MiB drop
    python bench/service.py --sizes 10 --drop-mb 0  # repeated reads only
    python bench/service.py --orvex /tmp/old/build --orvex build/dev
"""
import argparse
import json
import os
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpora  # noqa: E402

CORPUS = "records"

READ_LOOP = """
import gc, json, sys, time
path, root, repeat, tool = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
if tool == "lxml":
    from lxml import etree
    read = lambda: etree.parse(path).getroot()
else:
    import orvex
    read = lambda: orvex.read_file(path, root)
gc.disable()  # what is timed is the read and the drop, not the collector
for _ in range(2):
    tree = read(); del tree
times = []
for _ in range(repeat):
    t = time.process_time()
    tree = read(); del tree
    times.append(time.process_time() - t)
print(json.dumps(times))
"""

DROP = """
import ctypes, gc, json, sys
path, root, tool = sys.argv[1], sys.argv[2], sys.argv[3]
libc = ctypes.CDLL("libc.so.6")
def rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
if tool == "lxml":
    from lxml import etree
    read = lambda: etree.parse(path).getroot()
    write = lambda t: etree.tostring(t, pretty_print=True, encoding="unicode")
else:
    import orvex
    read = lambda: orvex.read_file(path, root)
    write = lambda t: orvex.write_string(t, 2, False)
gc.collect(); libc.malloc_trim(0)
start = rss()
tree = read()
text = write(tree)
held = rss()
del tree, text
gc.collect(); libc.malloc_trim(0)
print(json.dumps({"start": start, "held": held, "after": rss()}))
"""


TO_DICT = """
import gc, json, sys, time, orvex
from concurrent.futures import ThreadPoolExecutor
path, root, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
tree = orvex.read_file(path, root)
pool = ThreadPoolExecutor(2)
def one_round(threads):
    t = time.perf_counter()
    if threads:
        results = [f.result() for f in (pool.submit(tree.to_dict), pool.submit(tree.to_dict))]
    else:
        results = pool.submit(lambda: [tree.to_dict(), tree.to_dict()]).result()
    del results
    gc.collect()
    return time.perf_counter() - t
one_round(False)
times = {"serial": [], "threads": []}
for _ in range(rounds):
    times["serial"].append(one_round(False))
    times["threads"].append(one_round(True))
print(json.dumps(times))
"""


def run(code, args, orvex_dir=None):
    env = dict(os.environ)
    if orvex_dir:
        env["PYTHONPATH"] = os.path.abspath(orvex_dir)
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                         capture_output=True, text=True, env=env, check=True)
    return json.loads(out.stdout)


def median(xs):
    xs = sorted(xs)
    return xs[len(xs) // 2]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="10,50", help="repeated-read document sizes in MiB")
    ap.add_argument("--drop-mb", type=int, default=150, help="document size for memory after drop (0: skip)")
    ap.add_argument("--repeat", type=int, default=9)
    ap.add_argument("--rounds", type=int, default=2, help="alternating rounds per build (best median kept)")
    ap.add_argument("--orvex", action="append", default=[], help="a build directory holding an orvex module")
    ap.add_argument("--no-lxml", action="store_true")
    ap.add_argument("--no-to-dict", action="store_true")
    a = ap.parse_args()
    builds = a.orvex or [None]
    tools = [("orvex", b) for b in builds] + ([] if a.no_lxml else [("lxml", None)])
    label = lambda tool, b: tool if b is None else f"{tool} ({b})"

    import lxml.etree
    print(f"python {sys.version.split()[0]}, lxml {'.'.join(map(str, lxml.etree.LXML_VERSION))}, corpus {CORPUS}")
    for mb in [int(s) for s in a.sizes.split(",") if s]:
        path, root = corpora.cached(CORPUS, mb)
        size = os.path.getsize(path)
        best = {}
        for _ in range(a.rounds):
            for tool, b in tools:
                m = median(run(READ_LOOP, [path, root, a.repeat, tool], b))
                key = label(tool, b)
                best[key] = min(best.get(key, m), m)
        print(f"\nrepeated reads, {mb} MiB (read_file/parse + drop, median of {a.repeat}, best of {a.rounds} rounds):")
        for key, s in best.items():
            print(f"  {key:40s} {s * 1e3:8.1f} ms  {size / s / 1e6:7.1f} MB/s")
    if not a.no_to_dict:
        path, root = corpora.cached(CORPUS, 14)  # about 60,000 records
        print("\nto_dict, 60,000 records: two threads converting once each vs one converting twice "
              "(elapsed, median of 7):")
        for tool, b in tools:
            if tool != "orvex":
                continue
            t = run(TO_DICT, [path, root, 7], b)
            serial, threads = median(t["serial"]), median(t["threads"])
            print(f"  {label(tool, b):40s} one thread {serial * 1e3:7.1f} ms, two threads {threads * 1e3:7.1f} ms: "
                  f"{serial / threads:.2f}x")
    if a.drop_mb:
        path, root = corpora.cached(CORPUS, a.drop_mb)
        print(f"\nmemory after drop, {a.drop_mb} MiB (read, write to a str, drop, malloc_trim(0)):")
        for tool, b in tools:
            r = run(DROP, [path, root, tool], b)
            mib = lambda n: n / 2**20
            print(f"  {label(tool, b):40s} held {mib(r['held'] - r['start']):7.1f} MiB, "
                  f"after drop {mib(r['after'] - r['start']):6.1f} MiB above the start")


if __name__ == "__main__":
    main()
