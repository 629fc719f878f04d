"""Same-run before/after of orvex builds: bench/run.py's rows, orvex's side
only, on the generated corpora, each build measured in a fresh interpreter
of its own, builds alternating round by round so that a shared machine's
slow spells fall on all of them alike. Per cell the best of the rounds'
medians; MB/s of input and the ratio to the first build.

    python bench/compare.py /tmp/before/build build/dev             # 10 MiB corpora
    python bench/compare.py OLD NEW --sizes 1,10 --rounds 3 --repeat 7

Each argument is a directory holding an orvex module (a build directory).
"""
import argparse
import json
import os
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
ROWS = ("read_file", "fresh str", "walk", "read_string + to_dict", "write_string", "write_file")

ONE_BUILD = """
import json, os, sys, tempfile
sys.path.insert(0, sys.argv[1])
import run, corpora
names, sizes, repeat, rows = sys.argv[2].split(","), sys.argv[3].split(","), int(sys.argv[4]), sys.argv[5].split(",")
scratch = tempfile.mkdtemp()
out = os.path.join(scratch, "out.xml")
result = {}
for name in names:
    for mb in sizes:
        path, root = corpora.cached(name, int(mb))
        doc = run.Doc(path, root, run.SEARCH_TAG.get(name))
        for row, tools in run.rows(doc, out):
            how = tools.get("orvex")
            if row in rows and how is not None and not isinstance(how, str):
                result[f"{name} {mb} MiB|{row}"] = [run.measure(how, repeat), len(doc.data)]
print(json.dumps(result))
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("builds", nargs="+", help="directories holding an orvex module; the first is the baseline")
    ap.add_argument("--corpora", default="records,attr-heavy,text-heavy")
    ap.add_argument("--sizes", default="10", help="corpus sizes in MiB, comma-separated")
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--rows", default=",".join(ROWS))
    a = ap.parse_args()
    best = {}  # build -> cell -> [seconds, bytes]
    for _ in range(a.rounds):
        for b in a.builds:
            env = dict(os.environ, PYTHONPATH=os.path.abspath(b))
            got = json.loads(subprocess.run(
                [sys.executable, "-c", textwrap.dedent(ONE_BUILD), HERE, a.corpora, a.sizes, str(a.repeat), a.rows],
                capture_output=True, text=True, env=env, check=True).stdout)
            cells = best.setdefault(b, {})
            for cell, (seconds, size) in got.items():
                if cell not in cells or seconds < cells[cell][0]:
                    cells[cell] = [seconds, size]
    base = a.builds[0]
    header = "| corpus | row | " + " | ".join(a.builds) + " |"
    print(header)
    print("|" + "---|" * (2 + len(a.builds)))
    for cell in best[base]:
        corpus, row = cell.split("|")
        t0 = best[base][cell][0]
        parts = []
        for b in a.builds:
            seconds, size = best[b].get(cell, [None, None])
            if seconds is None:
                parts.append("-")
                continue
            rate = size / seconds / 1e6
            parts.append(f"{rate:.0f} MB/s" + ("" if b == base else f" ({t0 / seconds:.2f}x)"))
        print(f"| {corpus} | {row} | " + " | ".join(parts) + " |")


if __name__ == "__main__":
    main()
