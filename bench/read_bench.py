"""Reader throughput and memory: orvex read_string / read_file against
lxml.etree.fromstring (bytes) and xml.etree.ElementTree.fromstring.

    PYTHONPATH=build python bench/read_bench.py [--mb 20] [--repeat 5] [--rss-mb 100]
                                                [--skip-rss | --rss-only]

Throughput: each corpus (bench/corpora.py, fixed seeds) is parsed `repeat`
times per tool and the best time counts; MB/s is document bytes (UTF-8) per
second, and the ratio is the tool's best time over orvex read_string's
(above 1 means orvex is faster). Each result is released before the next
parse is timed, so freeing trees is not measured. "a new str each time" reads
a fresh copy of the text on every repetition, so it includes the UTF-8
encoding the interpreter does once per str (and caches) for non-ASCII text.
Up to 300 real XML files found on the machine are timed as one batch.

Peak RSS: each tool parses a ~`rss-mb` MiB records document in its own
process; shown are the peak resident size and the growth over the process
just before parsing (with the document already loaded, except for read_file,
which loads it itself).
"""
import argparse
import gc
import glob
import os
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

from lxml import etree

import orvex

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpora  # noqa: E402

REAL_PATTERNS = [
    "/usr/share/mime/packages/freedesktop.org.xml",
    "/usr/share/unicode/cldr/common/main/*.xml",
    "/usr/share/unicode/cldr/common/supplemental/*.xml",
    "/usr/share/X11/xkb/rules/*.xml",
    "/usr/share/icons/*/scalable/*/*.svg",
]


def timed(fn, repeat):
    best, keep = float("inf"), None
    for _ in range(repeat):
        keep = None
        gc.collect()
        t0 = time.perf_counter()
        keep = fn()
        best = min(best, time.perf_counter() - t0)
    return best


class FreshStr:
    """Hands out a new str equal to `text` for every call, made before the
    clock starts: the interpreter caches a str's UTF-8 form, so reading the
    same non-ASCII str again skips the encoding a first read pays for."""

    def __init__(self, text, repeat):
        self.copies = [text.encode().decode() for _ in range(repeat)]

    def __call__(self, root):
        return orvex.read_string(self.copies.pop(), root)


def tools(text, data, path, root, repeat=1):
    fresh = FreshStr(text, repeat)
    return [
        ("orvex read_string", lambda: orvex.read_string(text, root)),
        ("  (a new str each time)", lambda: fresh(root)),
        ("orvex read_file", lambda: orvex.read_file(path, root)),
        ("lxml fromstring", lambda: etree.fromstring(data, etree.XMLParser(huge_tree=True))),
        ("ElementTree fromstring", lambda: ET.fromstring(data)),
    ]


def report(label, size, results):
    base = results[0][1]
    print(f"\n{label}  ({size / 1e6:.1f} MB)")
    print(f"  {'tool':<24} {'best s':>9} {'MB/s':>9} {'time / orvex':>13}")
    for name, t in results:
        print(f"  {name:<24} {t:9.4f} {size / 1e6 / t:9.1f} {t / base:13.2f}")


def bench_corpora(mb, repeat, tmp):
    for name, (text, root) in corpora.reader_documents(mb).items():
        data = text.encode()
        path = os.path.join(tmp, f"{name}.xml")
        with open(path, "wb") as f:
            f.write(data)
        results = [(tool, timed(fn, repeat)) for tool, fn in tools(text, data, path, root, repeat)]
        report(name, len(data), results)


def real_files(limit=300):
    found = sorted({p for pat in REAL_PATTERNS for p in glob.glob(pat)})
    found = found[:: max(1, len(found) // limit)]
    docs = []
    for p in found:
        try:
            data = open(p, "rb").read()
            root = etree.fromstring(data, etree.XMLParser(resolve_entities=False, no_network=True))
            if any(isinstance(e, etree._Entity) for e in root.iter()):
                continue
            text = data.decode()
            tag = root.prefix + ":" + etree.QName(root).localname if root.prefix else etree.QName(root).localname
            orvex.read_string(text, tag)
        except (etree.XMLSyntaxError, ValueError, UnicodeDecodeError):
            continue
        docs.append((p, text, data, tag))
    return docs


def bench_real(repeat):
    docs = real_files()
    if not docs:
        print("\nreal files: none found")
        return
    size = sum(len(d) for _, _, d, _ in docs)
    names = [name for name, _ in tools("", b"", "", "", repeat)]
    totals = [0.0] * len(names)
    for p, text, data, tag in docs:
        for k, (_, fn) in enumerate(tools(text, data, p, tag, repeat)):
            totals[k] += timed(fn, repeat)
    report(f"real files: {len(docs)} documents", size, list(zip(names, totals)))


RSS_CHILD = r"""
import resource, sys, time
tool, path, root = sys.argv[1:4]
def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
if tool == "orvex read_file":
    import orvex
    before = rss_kib()
    tree = orvex.read_file(path, root)
else:
    data = open(path, "rb").read()
    if tool == "orvex read_string":
        import orvex
        text = data.decode()
        del data
        before = rss_kib()
        tree = orvex.read_string(text, root)
    elif tool == "lxml fromstring":
        from lxml import etree
        before = rss_kib()
        tree = etree.fromstring(data, etree.XMLParser(huge_tree=True))
    else:
        import xml.etree.ElementTree as ET
        before = rss_kib()
        tree = ET.fromstring(data)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(peak, before)
"""


def bench_rss(mb, tmp):
    text, root = corpora.records(mb)
    path = os.path.join(tmp, "rss.xml")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    size = os.path.getsize(path)
    del text
    print(f"\npeak RSS parsing a {size / 1e6:.0f} MB records document (each tool in its own process)")
    print(f"  {'tool':<24} {'peak MiB':>9} {'growth MiB':>11} {'growth / doc':>13}")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for tool in ["orvex read_string", "orvex read_file", "lxml fromstring", "ElementTree fromstring"]:
        out = subprocess.run([sys.executable, "-c", RSS_CHILD, tool, path, root],
                             capture_output=True, text=True, env=env, check=True).stdout.split()
        peak, before = int(out[0]) / 1024, int(out[1]) / 1024
        print(f"  {tool:<24} {peak:9.0f} {peak - before:11.0f} {(peak - before) * 1024 * 1024 / size:13.2f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=int, default=20, help="size of each generated corpus in MiB")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--rss-mb", type=int, default=100)
    ap.add_argument("--skip-rss", action="store_true")
    ap.add_argument("--rss-only", action="store_true")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        if not args.rss_only:
            bench_corpora(args.mb, args.repeat, tmp)
            bench_real(args.repeat)
        if not args.skip_rss:
            bench_rss(args.rss_mb, tmp)


if __name__ == "__main__":
    main()
