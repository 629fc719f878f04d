"""The benchmark: orvex beside lxml, ElementTree and xmltodict, in one run.

    pip install '.[bench]'            # lxml, xmltodict, matplotlib
    python bench/run.py               # generated corpora of 1 and 10 MiB
    python bench/run.py --full        # 1, 10 and 100 MiB, every real file
    python bench/run.py --quick       # 1 MiB, fewer repetitions, few real files
    python bench/run.py --sizes 1,10 --repeat 7 --publish

Corpora: records, attr-heavy and text-heavy documents (bench/corpora.py,
fixed seeds; kept as files under bench/corpora/), plus real XML from Debian
packages when installed: unicode-cldr-core, shared-mime-info and an SVG icon
theme (adwaita-icon-theme). Real files of a set are timed as one batch.

Each operation is timed `repeat` times; the median counts. Times are the
process's processor time (the machines are shared; --wall for elapsed time),
except for thread scaling, which is elapsed time. MB/s is 10^6
input bytes (the XML document's UTF-8) per second, for every operation, so
rows compare like with like. A ratio is the peer's time over orvex's: above 1
means orvex is faster.

    read_string   orvex.read_string(str)    | lxml fromstring(bytes) | ET fromstring(bytes)
    read_file     orvex.read_file(path)     | lxml parse(path)       | ET parse(path)
    read+walk     read, then every node's name, attributes, text and children
    search        search_by_name(tag) on a built tree | lxml/ET list(root.iter(tag))
    write_string  write_string(n, 2, False) | lxml tostring(pretty_print=True) | ET indent+tostring
    write_file    write_file(n, p, 2, False)| lxml write(p, pretty_print=True) | ET indent+write
    to_dict       read_string + to_dict     | xmltodict.parse(str)
    from_dict     from_dict + write_string  | xmltodict.unparse(d, pretty=True)

Also: the peak RSS of a fresh process holding each tool's tree of the
largest records corpus, and thread scaling (two threads reading two
documents against one thread reading one), for orvex and lxml.

Prints Markdown; writes it and a bar chart of the ratios against the targets
to --out (bench/out/), or to bench/RESULTS.md and bench/results.png with
--publish.
"""
import argparse
import gc
import glob
import importlib.metadata
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpora  # noqa: E402

import orvex  # noqa: E402
import xmltodict  # noqa: E402
from lxml import etree  # noqa: E402

PEERS = ("lxml", "ET", "xmltodict")
OPS = ("read_string", "read_file", "read+walk", "search", "write_string", "write_file",
       "to_dict", "from_dict")
# (operation, peer) -> the ratio orvex aims for, for every corpus or by the
# start of the corpus name.
TARGETS = {
    ("read_string", "lxml"): {"records": 6.0, "attr-heavy": 6.0, "": 4.0},
    ("read_string", "ET"): {"records": 15.0},
    ("read+walk", "lxml"): 3.0,
    ("write_string", "lxml"): 3.0,
    ("to_dict", "xmltodict"): 15.0,
}


def target(op, peer, corpus):
    """The ratio aimed for on `corpus`, or None."""
    goal = TARGETS.get((op, peer))
    if isinstance(goal, dict):
        return next((g for prefix, g in goal.items() if corpus.startswith(prefix)), None)
    return goal


REAL_SETS = {
    "CLDR": ["/usr/share/unicode/cldr/common/**/*.xml"],
    "mime": ["/usr/share/mime/packages/*.xml"],
    "SVG": ["/usr/share/icons/*/**/*.svg"],
}
SEARCH_TAG = {"records": "tag", "attr-heavy": "row", "text-heavy": "em"}
LXML_PARSER = etree.XMLParser(huge_tree=True, resolve_entities=False, no_network=True)


# ------------------------------------------------------------------ documents

class Doc:
    """One document with what every tool needs: text, bytes, path, the root
    and a tag to search for, in orvex's form (as written) and in the Clark
    form lxml and ElementTree use."""

    def __init__(self, path, text=None, root=None, tag=None):
        self.path = path
        self.data = open(path, "rb").read()
        self.text = text if text is not None else self.data.decode()
        lx = etree.fromstring(self.data, LXML_PARSER)
        self.root = root or orvex_name(lx)
        self.lx_root_tag = lx.tag
        counts = {}
        for e in lx.iter():
            if isinstance(e.tag, str):
                counts[e.tag] = counts.get(e.tag, 0) + 1
        if tag is None:
            clark = max(counts, key=counts.get)
            tag = next(orvex_name(e) for e in lx.iter(clark))
            self.search_clark = clark
        else:
            self.search_clark = tag
        self.search_tag = tag


def orvex_name(e):
    q = etree.QName(e)
    return f"{e.prefix}:{q.localname}" if e.prefix else q.localname


def usable(path):
    """A real file every tool reads: well-formed, UTF-8, no entity declarations."""
    try:
        data = open(path, "rb").read()
        root = etree.fromstring(data, LXML_PARSER)
        if any(isinstance(e, etree._Entity) for e in root.iter()) or b"<!ENTITY" in data:
            return None
        doc = Doc(path)
        orvex.read_string(doc.text, doc.root)
        ET.fromstring(data)
        xmltodict.parse(doc.text)
        return doc
    except Exception:  # noqa: BLE001 - anything a tool refuses is left out
        return None


def real_set(patterns, max_mb):
    files = sorted({p for pat in patterns for p in glob.glob(pat, recursive=True)})
    if not files:
        return []
    total = sum(os.path.getsize(p) for p in files)
    step = max(1, round(total / (max_mb * 1e6))) if max_mb else 1
    return [d for d in (usable(p) for p in files[::step]) if d is not None]


# ------------------------------------------------------------------ timing

# The clock of the single-threaded timings: the process's processor time by
# default, so that other work on a shared machine does not count (file
# writes count their system time); --wall switches to elapsed time.
CLOCK = [time.process_time]


def median_time(fn, repeat, clock=None, collect=True):
    """Median of `repeat` timed calls after one untimed call, which warms
    caches and the allocator for every tool alike."""
    clock = clock or CLOCK[0]
    fn()
    times = []
    for _ in range(repeat):
        if collect:
            gc.collect()
        t0 = clock()
        keep = fn()
        times.append(clock() - t0)
        del keep
    return statistics.median(times)


def walk_orvex(node):
    stack = [node]
    while stack:
        e = stack.pop()
        e.name, e.attrs, e.text
        stack.extend(e.children)


def walk_lxml(root):
    stack = [root]
    while stack:
        e = stack.pop()
        e.tag, dict(e.attrib), e.text
        stack.extend(e)


def walk_et(root):
    stack = [root]
    while stack:
        e = stack.pop()
        e.tag, e.attrib, e.text
        stack.extend(e)


def et_pretty(root):
    ET.indent(root)
    return ET.tostring(root, encoding="unicode")


def et_write(root, path):
    ET.indent(root)
    ET.ElementTree(root).write(path, encoding="utf-8")


def operations(doc, out):
    """Yields (op, {tool: callable}) one operation at a time. What an
    operation works on (built trees, dicts) is made before its timing and
    dropped after it, so that no tool's collector passes over another
    operation's objects."""
    yield "read_string", {
        "orvex": lambda: orvex.read_string(doc.text, doc.root),
        "lxml": lambda: etree.fromstring(doc.data, LXML_PARSER),
        "ET": lambda: ET.fromstring(doc.data),
    }
    yield "read_file", {
        "orvex": lambda: orvex.read_file(doc.path, doc.root),
        "lxml": lambda: etree.parse(doc.path, LXML_PARSER).getroot(),
        "ET": lambda: ET.parse(doc.path).getroot(),
    }
    yield "read+walk", {
        "orvex": lambda: walk_orvex(orvex.read_string(doc.text, doc.root)),
        "lxml": lambda: walk_lxml(etree.fromstring(doc.data, LXML_PARSER)),
        "ET": lambda: walk_et(ET.fromstring(doc.data)),
    }
    node = orvex.read_string(doc.text, doc.root)
    lx = etree.fromstring(doc.data, LXML_PARSER)
    et = ET.fromstring(doc.data)
    tag, clark = doc.search_tag, doc.search_clark
    yield "search", {
        "orvex": lambda: node.search_by_name(tag),
        "lxml": lambda: list(lx.iter(clark)),
        "ET": lambda: list(et.iter(clark)),
    }
    yield "write_string", {
        "orvex": lambda: orvex.write_string(node, 2, False),
        "lxml": lambda: etree.tostring(lx, pretty_print=True),
        "ET": lambda: et_pretty(et),
    }
    yield "write_file", {
        "orvex": lambda: orvex.write_file(node, out, 2, False),
        "lxml": lambda: etree.ElementTree(lx).write(out, pretty_print=True),
        "ET": lambda: et_write(et, out),
    }
    del lx, et
    yield "to_dict", {
        "orvex": lambda: orvex.read_string(doc.text, doc.root).to_dict(),
        "xmltodict": lambda: xmltodict.parse(doc.text),
    }
    d = node.to_dict()
    del node
    xd = xmltodict.parse(doc.text)
    yield "from_dict", {
        "orvex": lambda: orvex.write_string(orvex.Node.from_dict(d), 2, False),
        "xmltodict": lambda: xmltodict.unparse(xd, pretty=True, indent="  "),
    }


def measure_set(label, docs, repeat, tmp):
    """{op: {tool: seconds}} for a batch of documents (times add up)."""
    out = os.path.join(tmp, "out.xml")
    totals = {}
    for doc in docs:
        for op, tools in operations(doc, out):
            for tool, fn in tools.items():
                totals.setdefault(op, {}).setdefault(tool, 0.0)
                # A full collection before each run of a small file would
                # cost more than all the runs together.
                totals[op][tool] += median_time(fn, repeat, collect=len(doc.data) > 1e6)
    size = sum(len(d.data) for d in docs)
    print(f"  {label}: {len(docs)} document(s), {size / 1e6:.1f} MB", file=sys.stderr, flush=True)
    return size, totals


# ------------------------------------------------------------------ memory

# The peak is the process's VmHWM: ru_maxrss would carry over the parent's
# peak across fork and exec.
RSS_CHILD = r"""
import sys
tool, path, root = sys.argv[1:4]
def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
data = open(path, "rb").read()
if tool == "orvex":
    import orvex
    text = data.decode(); del data
    before = status_kib("VmRSS"); tree = orvex.read_string(text, root)
elif tool == "lxml":
    from lxml import etree
    before = status_kib("VmRSS"); tree = etree.fromstring(data, etree.XMLParser(huge_tree=True))
elif tool == "ET":
    import xml.etree.ElementTree as ET
    before = status_kib("VmRSS"); tree = ET.fromstring(data)
else:
    import xmltodict
    text = data.decode(); del data
    before = status_kib("VmRSS"); tree = xmltodict.parse(text)
print(status_kib("VmHWM"), before)
"""


def peak_rss(path, root):
    """tool -> (peak MiB, growth MiB) of a fresh process holding the tree."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = {}
    for tool in ("orvex",) + PEERS:
        out = subprocess.run([sys.executable, "-c", RSS_CHILD, tool, path, root],
                             capture_output=True, text=True, env=env, check=True).stdout.split()
        peak, before = int(out[0]) / 1024, int(out[1]) / 1024
        result[tool] = (peak, peak - before)
    return result


# ------------------------------------------------------------------ threads

def thread_scaling(text, root, repeat):
    """tool -> speed-up of two threads reading two documents over one thread
    reading one (2.0 is perfect scaling). Both run on the same two long-lived
    worker threads, as in a server's pool: threads made for each repetition
    would measure thread start-up and the allocator's fresh per-thread
    arenas instead. Trees are returned, so no timing includes freeing one."""
    copies = [text.encode().decode() for _ in range(2)]
    data = [t.encode() for t in copies]
    readers = {
        "orvex": lambda i: orvex.read_string(copies[i], root),
        "lxml": lambda i: etree.fromstring(data[i], LXML_PARSER),
    }
    result = {}
    with ThreadPoolExecutor(2) as pool:
        for tool, read in readers.items():
            one = median_time(lambda: pool.submit(read, 0).result(), repeat, time.perf_counter)
            both = median_time(lambda: [f.result() for f in (pool.submit(read, 0), pool.submit(read, 1))],
                               repeat, time.perf_counter)
            result[tool] = 2 * one / both
    return result


# ------------------------------------------------------------------ report

def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.lower().startswith(("model name", "hardware", "cpu model")):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, {platform.machine()}"


def version(dist, module=None):
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return getattr(module, "__version__", "source build")


def versions():
    import matplotlib
    return (f"Python {platform.python_version()}, orvex {version('orvex', orvex)}, "
            f"lxml {etree.__version__}, xmltodict {version('xmltodict')}, "
            f"matplotlib {matplotlib.__version__}")


def fmt_rate(size, t):
    return f"{size / 1e6 / t:,.0f}" if t else "-"


def markdown(results, rss, rss_label, threads, header):
    lines = [header, ""]
    for op in OPS:
        peers = [p for p in PEERS if any(p in r[1].get(op, {}) for r in results.values())]
        lines.append(f"### {op}")
        lines.append("")
        lines.append("| corpus | MB | orvex MB/s | " + " | ".join(f"{p} MB/s" for p in peers) + " | "
                     + " | ".join(f"vs {p}" for p in peers) + " |")
        lines.append("|---" * (3 + 2 * len(peers)) + "|")
        for name, (size, times) in results.items():
            t = times[op]
            rates = [fmt_rate(size, t.get(p)) for p in peers]
            ratios = [f"{t[p] / t['orvex']:.2f}x" if p in t else "-" for p in peers]
            lines.append(f"| {name} | {size / 1e6:.1f} | {fmt_rate(size, t['orvex'])} | "
                         + " | ".join(rates) + " | " + " | ".join(ratios) + " |")
        lines.append("")
    lines.append("### Targets")
    lines.append("")
    lines.append("| operation | peer | " + " | ".join(results) + " |")
    lines.append("|---" * (2 + len(results)) + "|")
    for op, peer in TARGETS:
        cells = []
        for name, (size, times) in results.items():
            goal = target(op, peer, name)
            if goal is None:
                cells.append("-")
                continue
            r = times[op][peer] / times[op]["orvex"]
            cells.append(f"{r:.2f}x of {goal:g}x {'met' if r >= goal else 'not met'}")
        lines.append(f"| {op} | {peer} | " + " | ".join(cells) + " |")
    lines.append("")
    if rss:
        lines.append(f"### Peak RSS holding the tree of {rss_label}")
        lines.append("")
        lines.append("| tool | peak MiB | growth MiB | growth / document |")
        lines.append("|---|---|---|---|")
        for tool, (peak, growth) in rss[1].items():
            lines.append(f"| {tool} | {peak:,.0f} | {growth:,.0f} | {growth * 2**20 / rss[0]:.1f}x |")
        lines.append("")
    if threads:
        lines.append(f"### Thread scaling ({threads[0]})")
        lines.append("")
        lines.append("| tool | two threads, two documents vs one thread, one document |")
        lines.append("|---|---|")
        for tool, s in threads[1].items():
            lines.append(f"| {tool} | {s:.2f}x (2.00x is perfect) |")
        lines.append("")
    return "\n".join(lines)


def chart(results, path, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    bars = [(op, "xmltodict" if op in ("to_dict", "from_dict") else "lxml") for op in OPS]
    names = list(results)
    fig, ax = plt.subplots(figsize=(max(10, 1.6 * len(bars)), 5.5))
    width = 0.8 / len(names)
    for k, name in enumerate(names):
        times = results[name][1]
        values = [times[op][peer] / times[op]["orvex"] for op, peer in bars]
        xs = [i + (k - (len(names) - 1) / 2) * width for i in range(len(bars))]
        ax.bar(xs, values, width, label=name)
        # Each bar's own target, where it has one, as a red mark across it.
        for x, (op, peer) in zip(xs, bars):
            goal = target(op, peer, name)
            if goal:
                ax.hlines(goal, x - width / 2, x + width / 2, colors="red", linewidth=2)
    for i, (op, peer) in enumerate(bars):
        goals = sorted({g for name in names if (g := target(op, peer, name))})
        if goals:
            label = "target " + " / ".join(f"{g:g}x" for g in goals)
            ax.annotate(label, (i, max(goals)), textcoords="offset points", xytext=(0, 6),
                        ha="center", color="red", fontsize=8)
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_yscale("log")
    ax.set_xticks(range(len(bars)))
    ax.set_xticklabels([f"{op}\nvs {peer}" for op, peer in bars], fontsize=8)
    ax.set_ylabel("speed ratio (peer time / orvex time), log scale")
    ax.set_title(title, fontsize=9)
    ax.legend(fontsize=7, ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ------------------------------------------------------------------ main

def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default=None, help="corpus sizes in MiB, comma-separated (default 1,10)")
    ap.add_argument("--full", action="store_true", help="sizes 1,10,100 and every real file")
    ap.add_argument("--quick", action="store_true", help="1 MiB, 3 repetitions, a few real files")
    ap.add_argument("--repeat", type=int, default=None, help="repetitions per measurement (default 5)")
    ap.add_argument("--real-mb", type=float, default=None,
                    help="MB of each real file set to use, spread over the set (default 10)")
    ap.add_argument("--no-real", action="store_true")
    ap.add_argument("--no-rss", action="store_true")
    ap.add_argument("--no-threads", action="store_true")
    ap.add_argument("--wall", action="store_true", help="time by the wall clock, not processor time")
    ap.add_argument("--out", default=os.path.join(HERE, "out"))
    ap.add_argument("--publish", action="store_true",
                    help="write bench/RESULTS.md and bench/results.png")
    args = ap.parse_args()

    sizes = [1, 10, 100] if args.full else [1] if args.quick else [1, 10]
    if args.sizes:
        sizes = [int(s) for s in args.sizes.split(",")]
    repeat = args.repeat or (3 if args.quick else 5)
    real_mb = args.real_mb if args.real_mb is not None else (0 if args.full else 2 if args.quick else 10)

    if args.wall:
        CLOCK[0] = time.perf_counter
    load_before = os.getloadavg()
    started = time.time()
    results = {}
    # Files are written to memory-backed storage where there is one: rewriting
    # a file on disk can wait for the file system's flush of its old blocks.
    scratch = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=scratch) as tmp:
        for mb in sizes:
            for name in corpora.GENERATORS:
                path, root = corpora.cached(name, mb)
                doc = Doc(path, root=root, tag=SEARCH_TAG[name])
                results[f"{name} {mb} MiB"] = measure_set(f"{name} {mb} MiB", [doc], repeat, tmp)
                del doc
        if not args.no_real:
            for name, patterns in REAL_SETS.items():
                docs = real_set(patterns, real_mb)
                if docs:
                    results[f"{name} ({len(docs)} files)"] = measure_set(name, docs, repeat, tmp)
        rss = None
        biggest = max(sizes)
        rss_path, rss_root = corpora.cached("records", biggest)
        if not args.no_rss:
            rss = (os.path.getsize(rss_path), peak_rss(rss_path, rss_root))
        threads = None
        if not args.no_threads:
            mb = min(biggest, 10)
            path, root = corpora.cached("records", mb)
            with open(path, encoding="utf-8") as f:
                threads = (f"records {mb} MiB", thread_scaling(f.read(), root, max(repeat, 9)))

    load_after = os.getloadavg()
    header = (f"Machine: {machine()}. {versions()}.\n\n"
              f"Median of {repeat} runs, {'elapsed' if args.wall else 'processor'} time "
              f"(thread scaling: elapsed); MB/s = 10^6 input bytes per second; ratios are the peer's time "
              f"over orvex's. Load average {load_before[0]:.1f} before, {load_after[0]:.1f} after; "
              f"run took {(time.time() - started) / 60:.1f} min.")
    text = markdown(results, rss, f"records {biggest} MiB", threads, header)
    print(text)

    if args.publish:
        md_path, png_path = os.path.join(HERE, "RESULTS.md"), os.path.join(HERE, "results.png")
    else:
        os.makedirs(args.out, exist_ok=True)
        md_path, png_path = os.path.join(args.out, "results.md"), os.path.join(args.out, "results.png")
    with open(md_path, "w", encoding="utf-8") as f:
        f.write("# orvex benchmark results\n\n" + text + f"\n![ratios against the targets]({os.path.basename(png_path)})\n")
    chart(results, png_path, f"orvex vs peers - {machine()}\n{versions()}")
    print(f"\nwrote {md_path} and {png_path}", file=sys.stderr)


if __name__ == "__main__":
    main()
