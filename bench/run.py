"""The benchmark: what a user of orvex does, beside lxml, ElementTree,
xmltodict and (where Debian's libpugixml-dev is installed) pugixml, in one run.

    pip install -r bench/requirements.txt   # lxml, xmltodict, matplotlib
    python bench/run.py               # 50 MiB generated corpora, every real file
    python bench/run.py --quick       # smoke run: 1 MiB, 3 repetitions, a few real files
    python bench/run.py --sizes 1,50 --real-mb 20 --repeat 7

Corpora: records, attr-heavy and text-heavy documents (bench/corpora.py,
fixed seeds, kept as files under bench/corpora/), and real XML from Debian
packages when they are installed: unicode-cldr-core (CLDR),
adwaita-icon-theme (SVG icons) and shared-mime-info (the mime database). The
files of a real set are timed one by one and their times added up.

Rows (each orvex beside its peers; MB/s of input, ratio = peer time / orvex
time, above 1 means orvex is faster; what is inside the timing, in full, is
in the "How each row was measured" table of the output):

    read_file               orvex.read_file(path) | lxml etree.parse(path) | ET.parse(path)
                            | pugixml load_file(path), C++, no Python objects
                            (also with glibc keeping freed memory between loads)
    bytes in hand           orvex.read_string(data.decode()), the decode timed
                            | lxml etree.fromstring(data)
    fresh str               orvex.read_string(s), s a new str per call made
                            before the clock (a reused non-ASCII str would
                            carry CPython's cached UTF-8 form) | lxml fromstring(data)
    walk                    every element's name, text, attrs.items() and
                            children on a built tree | lxml root.iter() with
                            .tag, .text, .attrib.items()
    read_file + walk        both of the above in one timing
    read_string + to_dict   on a fresh str | xmltodict.parse(the same fresh str)
    write_string            write_string(node, 2, False) | lxml tostring(pretty_print=True)
    write_file              write_file(node, path, 2, False) | lxml write(path, pretty_print=True)
    search_by_name          on a built tree | list(lxml root.iter(tag))

Also: peak RSS of a fresh process holding a tree read from a file (orvex,
lxml, pugixml) as a multiple of the input; two threads reading two
documents against one thread reading one (elapsed time); and the fixed cost
per call on small documents (1-3 KB SVG icons), in ns per call.

Each measurement is the median of `repeat` timed calls after one untimed
call; the clock is the process's processor time (the machine is shared;
--wall for elapsed time), except for thread scaling, which is elapsed. A
call's result is released after the clock stops.

The pugixml reference (pugixml_ref.cpp) is compiled with g++ -O2 into --out
on first use; without Debian's libpugixml-dev it is skipped, with a note.

Prints Markdown; writes it and a chart to --out (bench/out/), or to
bench/RESULTS.md and bench/results.png with --publish.
"""
import argparse
import gc
import glob
import hashlib
import importlib.metadata
import os
import platform
import shutil
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

REAL_SETS = {
    "CLDR": ["/usr/share/unicode/cldr/common/**/*.xml"],
    "SVG icons": ["/usr/share/icons/*/**/*.svg"],
    "mime": ["/usr/share/mime/packages/*.xml"],
}
SEARCH_TAG = {"records": "tag", "attr-heavy": "row", "text-heavy": "em"}
SMALL_DOC_BYTES = (1000, 3072)
SMALL_DOC_COUNT = 300
LXML_PARSER = etree.XMLParser(huge_tree=True, resolve_entities=False, no_network=True)

# ------------------------------------------------------------------ targets

ALL = ("records", "attr-heavy", "text-heavy", "CLDR", "SVG icons", "mime")
# (row, peer) -> {corpus kind: ratio aimed for (peer time / orvex time)}.
TARGETS = {
    ("read_file", "lxml"): {"records": 5, "attr-heavy": 5, "text-heavy": 4, "CLDR": 4,
                            "SVG icons": 4, "mime": 4},
    ("read_file", "pugixml (heap kept)"): {"records": 1},
    ("fresh str", "lxml"): {"records": 6, "attr-heavy": 6, "text-heavy": 3, "CLDR": 3},
    ("walk", "lxml"): dict.fromkeys(ALL, 1.5),
    ("read_file + walk", "lxml"): dict.fromkeys(ALL, 3),
    ("read_string + to_dict", "xmltodict"): {"records": 6, "attr-heavy": 6, "CLDR": 6,
                                             "SVG icons": 6, "text-heavy": 2},
    ("write_string", "lxml"): dict.fromkeys(ALL, 4),
    ("write_file", "lxml"): dict.fromkeys(ALL, 3),
}
# Peak RSS growth of the peer over orvex's, holding a tree read with read_file.
RSS_TARGETS = {
    "lxml": {"records": 2, "attr-heavy": 2, "text-heavy": 1},
    "pugixml": {"records": 1, "attr-heavy": 1, "text-heavy": 1},
}
MOONSHOTS = {("read_file", "pugixml (heap kept)"), ("peak RSS", "pugixml")}
THREADS_TARGET = 1.8


# ------------------------------------------------------------------ documents

class Doc:
    """One document with what every tool needs: its bytes, path and root
    tag, and a tag to search for, in orvex's form (as written) and in the
    Clark form lxml uses."""

    def __init__(self, path, root=None, tag=None):
        self.path = path
        self.data = open(path, "rb").read()
        lx = etree.fromstring(self.data, LXML_PARSER)
        self.root = root or orvex_name(lx)
        if tag is None:
            counts = {}
            for e in lx.iter():
                if isinstance(e.tag, str):
                    counts[e.tag] = counts.get(e.tag, 0) + 1
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
        doc = Doc(path)
        if b"<!ENTITY" in doc.data:
            return None
        orvex.read_string(doc.data.decode(), doc.root)
        ET.fromstring(doc.data)
        xmltodict.parse(doc.data)
        return doc
    except Exception:  # noqa: BLE001 - anything a tool refuses is left out
        return None


def real_files(patterns):
    return sorted({p for pat in patterns for p in glob.glob(pat, recursive=True)})


def real_set(patterns, max_mb):
    """The usable files of a set, every one, or spread over the set up to
    about `max_mb` MB."""
    files = real_files(patterns)
    if not files:
        return []
    total = sum(os.path.getsize(p) for p in files)
    step = max(1, round(total / (max_mb * 1e6))) if max_mb else 1
    return [d for d in (usable(p) for p in files[::step]) if d is not None]


def small_documents(patterns):
    """Up to SMALL_DOC_COUNT usable files of 1-3 KB, spread over the set."""
    lo, hi = SMALL_DOC_BYTES
    files = [p for p in real_files(patterns) if lo <= os.path.getsize(p) <= hi]
    step = max(1, len(files) // SMALL_DOC_COUNT)
    docs = [d for d in (usable(p) for p in files[::step]) if d is not None]
    return docs[:SMALL_DOC_COUNT]


# ------------------------------------------------------------------ timing

# The clock of the single-threaded timings: the process's processor time by
# default, so that other work on a shared machine does not count (file
# reads and writes count their system time); --wall switches to elapsed time.
CLOCK = [time.process_time]


def measure(how, repeat, clock=None, collect=True):
    """Median seconds of `repeat` timed calls, after one untimed call that
    warms caches and the allocator for every tool alike. `how` is a callable
    or a (callable, setup) pair: then each call is fn(*setup()), setup()
    running before the clock starts. What fn returns is released after the
    clock stops, so no timing includes freeing a result."""
    fn, setup = how if isinstance(how, tuple) else (how, None)
    clock = clock or CLOCK[0]
    times = []
    for i in range(repeat + 1):
        args = setup() if setup else ()
        if collect:
            gc.collect()
        t0 = clock()
        keep = fn(*args)
        elapsed = clock() - t0
        del keep, args
        if i:
            times.append(elapsed)
    return statistics.median(times)


def fresh_str(doc):
    """A setup: a new str of the document for each call (see "fresh str")."""
    return lambda: (doc.data.decode(),)


def walk_orvex(root):
    """The user's walk: every element's name, text and attributes, children
    pushed onto an explicit stack."""
    stack = [root]
    while stack:
        e = stack.pop()
        e.name
        e.text
        for _key, _value in e.attrs.items():
            pass
        stack.extend(e.children)
    return root


def walk_lxml(root):
    """The same walk over lxml's own iteration."""
    for e in root.iter():
        e.tag
        e.text
        for _key, _value in e.attrib.items():
            pass
    return root


def rows(doc, out):
    """Yields (row, {tool: measurement}) one row at a time. A measurement is
    a callable, a (callable, setup) pair, or the name of an earlier row whose
    measurement of that tool it shares. What a row works on (built trees,
    dicts) is made before its timings and dropped after them, so that no
    tool's collector passes over another row's objects."""
    path, root = doc.path, doc.root
    yield "read_file", {
        "orvex": lambda: orvex.read_file(path, root),
        "lxml": lambda: etree.parse(path, LXML_PARSER),
        "ET": lambda: ET.parse(path),
    }
    yield "bytes in hand", {
        "orvex": lambda: orvex.read_string(doc.data.decode(), root),
        "lxml": lambda: etree.fromstring(doc.data, LXML_PARSER),
    }
    yield "fresh str", {
        "orvex": (lambda s: orvex.read_string(s, root), fresh_str(doc)),
        "lxml": "bytes in hand",
    }
    yield "read_file + walk", {
        "orvex": lambda: walk_orvex(orvex.read_file(path, root)),
        "lxml": lambda: walk_lxml(etree.parse(path, LXML_PARSER).getroot()),
    }
    yield "read_string + to_dict", {
        "orvex": (lambda s: orvex.read_string(s, root).to_dict(), fresh_str(doc)),
        "xmltodict": (xmltodict.parse, fresh_str(doc)),
    }
    node = orvex.read_file(path, root)
    lx = etree.parse(path, LXML_PARSER).getroot()
    yield "walk", {
        "orvex": lambda: walk_orvex(node),
        "lxml": lambda: walk_lxml(lx),
    }
    yield "write_string", {
        "orvex": lambda: orvex.write_string(node, 2, False),
        "lxml": lambda: etree.tostring(lx, pretty_print=True),
    }
    yield "write_file", {
        "orvex": lambda: orvex.write_file(node, out, 2, False),
        "lxml": lambda: etree.ElementTree(lx).write(out, pretty_print=True),
    }
    tag, clark = doc.search_tag, doc.search_clark
    yield "search_by_name", {
        "orvex": lambda: node.search_by_name(tag),
        "lxml": lambda: list(lx.iter(clark)),
    }


ROWS = ("read_file", "bytes in hand", "fresh str", "walk", "read_file + walk",
        "read_string + to_dict", "write_string", "write_file", "search_by_name")


class Corpus:
    """One column of the results: a generated document or a set of real files."""

    def __init__(self, label, kind, docs):
        self.label, self.kind = label, kind
        self.size = sum(len(d.data) for d in docs)
        self.files = len(docs)
        self.non_ascii = sum(not d.data.isascii() for d in docs)
        self.times = {}  # row -> tool -> seconds

    def ratio(self, row, peer):
        t = self.times.get(row, {})
        return t[peer] / t["orvex"] if peer in t and t.get("orvex") else None

    def rate(self, row, tool):
        t = self.times.get(row, {}).get(tool)
        return self.size / 1e6 / t if t else None


def measure_corpus(label, kind, docs, repeat, scratch, native):
    corpus = Corpus(label, kind, docs)
    out = os.path.join(scratch, "out.xml")
    shared = {}
    spent = {}  # (row, tool) -> elapsed seconds of the whole measurement, for the progress line
    for doc in docs:
        # A full collection before each run of a small file would cost more
        # than all the runs together.
        collect = len(doc.data) > 1e6
        for row, tools in rows(doc, out):
            for tool, how in tools.items():
                if isinstance(how, str):
                    shared[(row, tool)] = how
                    continue
                started = time.perf_counter()
                t = measure(how, repeat, collect=collect)
                spent[(row, tool)] = spent.get((row, tool), 0.0) + time.perf_counter() - started
                row_times = corpus.times.setdefault(row, {})
                row_times[tool] = row_times.get(tool, 0.0) + t
    for (row, tool), source in shared.items():
        corpus.times[row][tool] = corpus.times[source][tool]
    if native:
        started = time.perf_counter()
        paths = [d.path for d in docs]
        for tool, keep_heap in (("pugixml", False), ("pugixml (heap kept)", True)):
            t = native.seconds(paths, repeat, keep_heap)
            if t is not None:
                corpus.times["read_file"][tool] = t
        spent[("read_file", "pugixml")] = time.perf_counter() - started
    slowest = ", ".join(f"{row} {tool} {s:.1f} s" for (row, tool), s in
                        sorted(spent.items(), key=lambda kv: -kv[1])[:4])
    print(f"  {label}: {len(docs)} document(s), {corpus.size / 1e6:.1f} MB, measured in "
          f"{sum(spent.values()):.0f} s (slowest: {slowest})", file=sys.stderr, flush=True)
    return corpus


# ------------------------------------------------------------------ native reference

class Pugixml:
    """pugixml_ref.cpp, compiled once per source and compiler into the output
    directory: pugixml's own parse of the same files, no Python objects."""

    SOURCE = os.path.join(HERE, "pugixml_ref.cpp")
    HEADER = "/usr/include/pugixml.hpp"  # from Debian's libpugixml-dev

    def __init__(self, binary, scratch):
        self.binary, self.scratch = binary, scratch
        self.version = (self.run([], 0) or {}).get("version", "of unknown version")

    @classmethod
    def build(cls, out_dir, scratch):
        """(Pugixml or None, a note for the report)."""
        compiler = shutil.which("g++")
        if not os.path.exists(cls.HEADER):
            return None, "pugixml reference skipped: Debian's libpugixml-dev is not installed"
        if not compiler:
            return None, "pugixml reference skipped: no g++"
        cxx = subprocess.run([compiler, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
        with open(cls.SOURCE, "rb") as f:
            key = hashlib.sha1(f.read() + cxx.encode()).hexdigest()[:12]
        binary = os.path.join(out_dir, f"pugixml_ref-{key}")
        if not os.path.exists(binary):
            os.makedirs(out_dir, exist_ok=True)
            built = subprocess.run([compiler, "-O2", "-std=c++17", cls.SOURCE, "-lpugixml", "-o", binary],
                                   capture_output=True, text=True)
            if built.returncode:
                return None, f"pugixml reference skipped: it did not compile ({built.stderr.strip()[-300:]})"
        native = cls(binary, scratch)
        return native, f"pugixml {native.version} (Debian's libpugixml-dev, g++ -O2, {cxx})"

    def run(self, paths, repeat, keep_heap=False):
        listing = os.path.join(self.scratch, "pugixml-files.txt")
        with open(listing, "w", encoding="utf-8") as f:
            f.write("".join(p + "\n" for p in paths))
        flags = (["--wall"] if CLOCK[0] is time.perf_counter else []) + (["--keep-heap"] if keep_heap else [])
        done = subprocess.run([self.binary, *flags, str(repeat), listing], capture_output=True, text=True)
        if done.returncode:
            print(f"  pugixml reference not measured: {done.stderr.strip()}", file=sys.stderr)
            return None
        return dict(line.split(" ", 1) for line in done.stdout.splitlines())

    def seconds(self, paths, repeat, keep_heap=False):
        """The added medians of `repeat` loads of each file (None if pugixml
        refused one); with `keep_heap` glibc keeps freed memory between
        loads, which then measure the parse without faulting fresh pages in."""
        r = self.run(paths, repeat, keep_heap)
        return float(r["seconds"]) if r else None

    def rss(self, path):
        """(peak KiB, KiB before the load, KiB after it) of a fresh process
        holding the document, or None."""
        r = self.run([path], 0)
        return (int(r["peak_kib"]), int(r["rss_before_kib"]), int(r["rss_end_kib"])) if r else None


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
if tool == "orvex":
    import orvex
    read = lambda: orvex.read_file(path, root)
else:
    from lxml import etree
    parser = etree.XMLParser(huge_tree=True, resolve_entities=False, no_network=True)
    read = lambda: etree.parse(path, parser)
before = status_kib("VmRSS")
tree = read()
print(status_kib("VmHWM"), before, status_kib("VmRSS"))
"""


def peak_rss(path, root, native):
    """tool -> (peak, before, after) KiB of a fresh process reading the file
    and holding the tree."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = {}
    for tool in ("orvex", "lxml"):
        out = subprocess.run([sys.executable, "-c", RSS_CHILD, tool, path, root],
                             capture_output=True, text=True, env=env, check=True).stdout.split()
        result[tool] = tuple(int(v) for v in out)
    native_rss = native.rss(path) if native else None
    if native_rss:
        result["pugixml"] = native_rss
    return result


# ------------------------------------------------------------------ threads

def thread_scaling(paths, root, repeat):
    """tool -> (one thread reading one document, two threads reading two
    documents) in elapsed seconds. Both run on the same two long-lived
    worker threads, as in a server's pool: threads made for each repetition
    would measure thread start-up and the allocator's fresh per-thread
    arenas instead. Trees are returned, so no timing includes freeing one."""
    readers = {
        "orvex": lambda i: orvex.read_file(paths[i], root),
        "lxml": lambda i: etree.parse(paths[i], LXML_PARSER),
    }
    result = {}
    with ThreadPoolExecutor(2) as pool:
        for tool, read in readers.items():
            one = measure(lambda: pool.submit(read, 0).result(), repeat, clock=time.perf_counter)
            both = measure(lambda: [f.result() for f in (pool.submit(read, 0), pool.submit(read, 1))],
                           repeat, clock=time.perf_counter)
            result[tool] = (one, both)
    return result


# ------------------------------------------------------------------ small documents

def small_document_costs(docs, repeat, scratch):
    """row -> tool -> ns per call, over one pass through every document
    (results kept until the pass ends)."""
    out = os.path.join(scratch, "small.xml")
    nodes = [orvex.read_file(d.path, d.root) for d in docs]
    lxs = [etree.parse(d.path, LXML_PARSER).getroot() for d in docs]
    passes = {
        "read_string (fresh str) / fromstring(bytes)": {
            "orvex": ((lambda strs: [orvex.read_string(s, d.root) for s, d in zip(strs, docs)]),
                      lambda: ([d.data.decode() for d in docs],)),
            "lxml": lambda: [etree.fromstring(d.data, LXML_PARSER) for d in docs],
        },
        "read_file / parse(path)": {
            "orvex": lambda: [orvex.read_file(d.path, d.root) for d in docs],
            "lxml": lambda: [etree.parse(d.path, LXML_PARSER) for d in docs],
        },
        "write_string / tostring(pretty_print=True)": {
            "orvex": lambda: [orvex.write_string(n, 2, False) for n in nodes],
            "lxml": lambda: [etree.tostring(e, pretty_print=True) for e in lxs],
        },
        "write_file / write(path, pretty_print=True)": {
            "orvex": lambda: [orvex.write_file(n, out, 2, False) for n in nodes],
            "lxml": lambda: [etree.ElementTree(e).write(out, pretty_print=True) for e in lxs],
        },
    }
    costs = {}
    for row, tools in passes.items():
        for tool, how in tools.items():
            costs.setdefault(row, {})[tool] = measure(how, repeat) / len(docs) * 1e9
    return costs


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
    libxml = ".".join(map(str, etree.LIBXML_VERSION))
    return (f"Python {platform.python_version()} ({sys.base_prefix}), orvex {version('orvex', orvex)}, "
            f"lxml {etree.__version__} (libxml2 {libxml}), xmltodict {version('xmltodict')}, "
            f"matplotlib {matplotlib.__version__}")


def table(header, body):
    """A Markdown table: a header row and body rows of cells."""
    lines = ["| " + " | ".join(header) + " |", "|---" * len(header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in body]
    return lines + [""]


def fmt_rate(rate):
    return f"{rate:,.0f}" if rate is not None else "-"


def fmt_ratio(ratio):
    return f"{ratio:.2f}x" if ratio is not None else "-"


def verdict(ratio, goal, moonshot=False):
    if goal is None:
        return "-"
    if ratio is None:
        return "not measured"
    kind = "moonshot " if moonshot else ""
    return f"{ratio:.2f}x of {goal:g}x {kind}{'met' if ratio >= goal else 'not met'}"


def peers_of(results, row):
    seen = []
    for c in results:
        seen += [t for t in c.times.get(row, {}) if t != "orvex" and t not in seen]
    return seen


def summary(results):
    """The README's table: every row against every peer but ElementTree,
    corpora as columns, each cell orvex's MB/s and the ratio."""
    body = []
    for row in ROWS:
        for peer in peers_of(results, row):
            if peer == "ET":
                continue
            cells = []
            for c in results:
                rate, ratio = c.rate(row, "orvex"), c.ratio(row, peer)
                cells.append(f"{fmt_rate(rate)} MB/s, {fmt_ratio(ratio)}" if ratio else "-")
            body.append([f"{row} vs {peer}"] + cells)
    return table(["orvex vs"] + [c.label for c in results], body)


def row_tables(results):
    lines = []
    for row in ROWS:
        peers = peers_of(results, row)
        lines += [f"### {row}", ""]
        header = (["corpus", "MB"] + (["input"] if row == "fresh str" else []) + ["orvex MB/s"]
                  + [f"{p} MB/s" for p in peers] + [f"vs {p}" for p in peers])
        body = []
        for c in results:
            kind = ["ASCII" if not c.non_ascii else
                    "non-ASCII" if c.files == 1 else f"{c.non_ascii} of {c.files} non-ASCII"]
            body.append([c.label, f"{c.size / 1e6:.1f}"] + (kind if row == "fresh str" else [])
                        + [fmt_rate(c.rate(row, "orvex"))] + [fmt_rate(c.rate(row, p)) for p in peers]
                        + [fmt_ratio(c.ratio(row, p)) for p in peers])
        lines += table(header, body)
    return lines


def rss_growth(tools, tool):
    """KiB the process grew by to its peak, reading and holding the tree."""
    peak, before, _ = tools[tool]
    return peak - before


def rss_ratio(tools, peer):
    """The peer's peak growth over orvex's."""
    return rss_growth(tools, peer) / rss_growth(tools, "orvex") if peer in tools else None


def targets_table(results, rss, threads):
    body = []
    for (row, peer), goals in TARGETS.items():
        moon = (row, peer) in MOONSHOTS
        cells = [verdict(c.ratio(row, peer), goals.get(c.kind), moon) for c in results]
        if row == "fresh str":  # the targets differ for ASCII and non-ASCII strs
            cells = [cell + (" (non-ASCII str)" if c.non_ascii and cell != "-" else "")
                     for cell, c in zip(cells, results)]
        body.append([f"{row} vs {peer}"] + cells)
    for peer, goals in RSS_TARGETS.items():
        moon = ("peak RSS", peer) in MOONSHOTS
        cells = [verdict(rss_ratio(rss[c.label][2], peer) if c.label in rss else None, goals.get(c.kind), moon)
                 for c in results]
        body.append([f"peak RSS growth, {peer}'s / orvex's"] + cells)
    if threads:
        label, scaling = threads
        one, both = scaling["orvex"]
        body.append(["two threads vs one (orvex)"]
                    + [verdict(2 * one / both, THREADS_TARGET) if c.label == label else "-" for c in results])
    return table(["target"] + [c.label for c in results], body)


def rss_table(rss):
    body = []
    for label, (size, _, tools) in rss.items():
        for tool, (peak, before, after) in tools.items():
            body.append([label, tool, f"{peak / 1024:,.0f}", f"{(peak - before) / 1024:,.0f}",
                         f"{(peak - before) * 1024 / size:.2f}x", f"{(after - before) * 1024 / size:.2f}x"])
    return table(["document", "tool", "peak MiB", "peak growth MiB", "peak growth / input",
                  "held after the read / input"], body)


def threads_table(threads):
    label, scaling = threads
    body = [[tool, f"{one * 1e3:,.1f}", f"{both * 1e3:,.1f}", f"{2 * one / both:.2f}x"]
            for tool, (one, both) in scaling.items()]
    return table([f"tool ({label})", "one thread, one document ms", "two threads, two documents ms",
                  "speed-up (2.00x is perfect)"], body)


def small_table(costs):
    body = [[row, f"{t['orvex']:,.0f}", f"{t['lxml']:,.0f}", fmt_ratio(t["lxml"] / t["orvex"])]
            for row, t in costs.items()]
    return table(["orvex / lxml call", "orvex ns per call", "lxml ns per call", "vs lxml"], body)


METHODS = [
    ["read_file", "orvex.read_file(path, root)",
     "etree.parse(path) / ET.parse(path) / pugixml: load_file(path, parse_default) in C++, its own "
     "process, the previous document freed before the clock; (heap kept): the same with glibc told to take "
     "every block from the heap and keep it (mallopt M_MMAP_MAX 0, M_TRIM_THRESHOLD 1 GiB), so that loads "
     "do not fault fresh pages in: the parse itself"],
    ["bytes in hand", "orvex.read_string(data.decode(), root): the decode is timed",
     "etree.fromstring(data)"],
    ["fresh str", "orvex.read_string(s, root), s = data.decode() made before the clock, a new str per call",
     "etree.fromstring(data) (the bytes-in-hand timing)"],
    ["walk", "a built tree: pop a node, read .name, .text, iterate .attrs.items(), "
     "push .children onto the stack", "for e in root.iter(): .tag, .text, iterate .attrib.items()"],
    ["read_file + walk", "read_file, then the walk", "etree.parse(path), then the walk"],
    ["read_string + to_dict", "orvex.read_string(s, root).to_dict(), s a fresh str",
     "xmltodict.parse(s), s a fresh str"],
    ["write_string", "orvex.write_string(node, 2, False)", "etree.tostring(root, pretty_print=True) (bytes)"],
    ["write_file", "orvex.write_file(node, path, 2, False)",
     "etree.ElementTree(root).write(path, pretty_print=True)"],
    ["search_by_name", "node.search_by_name(tag) on a built tree", "list(root.iter(tag))"],
    ["peak RSS", "a fresh process: VmHWM after read_file(path, root), less VmRSS just before it "
     "(interpreter and module loaded)", "the same around etree.parse(path); pugixml: its own process, "
     "one load_file"],
    ["threads", "read_file of the document and of a copy on two long-lived pool threads, elapsed, "
     "median of at least 9; one thread reading one against two reading two", "etree.parse(path), the same way"],
    ["small documents", "one pass over every icon (a fresh str each for read_string), results kept to the "
     "end of the pass; median pass time / icons", "fromstring(data), parse(path), tostring, write"],
]


def markdown(results, rss, threads, costs, header):
    lines = [header, "", "### Summary (MB/s of input, ratio = peer time / orvex time)", ""]
    lines += summary(results)
    lines += row_tables(results)
    lines += ["### Targets", ""]
    lines += targets_table(results, rss, threads)
    if rss:
        lines += ["### Peak RSS holding a tree read from the file (a fresh process each)", ""]
        lines += rss_table(rss)
    if threads:
        lines += ["### Two threads reading two documents against one thread reading one (elapsed)", ""]
        lines += threads_table(threads)
    if costs:
        lines += [f"### Small documents: fixed cost per call ({costs[0]})", ""]
        lines += small_table(costs[1])
    lines += ["### How each row was measured", ""]
    lines += table(["row", "orvex (inside the timing)", "peer (inside the timing)"], METHODS)
    return "\n".join(lines)


def chart(results, rss, path, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator

    bars = list(TARGETS)
    if rss:
        fig, (ax, mem) = plt.subplots(1, 2, figsize=(17, 6.5), gridspec_kw={"width_ratios": [4, 1.2]})
    else:
        fig, ax = plt.subplots(figsize=(14, 6.5))
    width = 0.8 / len(results)
    for i, (row, peer) in enumerate(bars):
        if all(c.ratio(row, peer) is None for c in results):
            ax.text(i, 1.05, "not measured", ha="center", fontsize=8)
    for k, c in enumerate(results):
        xs = [i + (k - (len(results) - 1) / 2) * width for i in range(len(bars))]
        ax.bar(xs, [c.ratio(row, peer) or 0 for row, peer in bars], width, label=c.label)
        # Each bar's own target, where it has one, as a red mark across it.
        for x, (row, peer) in zip(xs, bars):
            goal = TARGETS[(row, peer)].get(c.kind)
            if goal:
                ax.hlines(goal, x - width / 2, x + width / 2, colors="red", linewidth=2)
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_yscale("log")
    ax.yaxis.set_major_locator(FixedLocator([0.25, 0.5, 1, 1.5, 2, 3, 4, 6, 8, 12, 16, 24]))
    ax.yaxis.set_minor_locator(NullLocator())
    ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}x"))
    ax.set_xticks(range(len(bars)))
    ax.set_xticklabels([f"{row}\nvs {peer}" for row, peer in bars], fontsize=8)
    ax.set_ylabel("peer time / orvex time (log scale; above 1: orvex is faster)")
    ax.set_title("speed against peers; red: target (against pugixml: moonshot)", fontsize=9)
    ax.legend(fontsize=7, ncol=len(results), loc="upper center", bbox_to_anchor=(0.5, -0.1))

    if rss:
        memory_chart(mem, rss)
    fig.suptitle(title, fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def memory_chart(ax, rss):
    labels = list(rss)
    tools = [t for t in ("orvex", "lxml", "pugixml") if any(t in rss[lb][2] for lb in labels)]
    width = 0.8 / len(tools)
    for k, tool in enumerate(tools):
        xs = [i + (k - (len(tools) - 1) / 2) * width for i in range(len(labels))]
        ys = [rss_growth(rss[lb][2], tool) * 1024 / rss[lb][0] if tool in rss[lb][2] else 0 for lb in labels]
        ax.bar(xs, ys, width, label=tool)
    # orvex's target, a share of lxml's growth, across orvex's bar.
    for i, lb in enumerate(labels):
        size, kind, tools_rss = rss[lb]
        goal = RSS_TARGETS["lxml"].get(kind)
        if goal:
            left = i - len(tools) / 2 * width
            ax.hlines(rss_growth(tools_rss, "lxml") * 1024 / size / goal, left, left + width,
                      colors="red", linewidth=2)
    ax.set_xticks(range(len(labels)))
    ax.set_xticklabels(labels, fontsize=8, rotation=20)
    ax.set_ylabel("peak RSS growth holding the tree / input size")
    ax.set_title("memory (lower is better); red: orvex's target", fontsize=9)
    ax.legend(fontsize=7)


# ------------------------------------------------------------------ main

def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default=None, help="generated corpus sizes in MiB, comma-separated (default 50)")
    ap.add_argument("--quick", action="store_true", help="smoke run: 1 MiB, 3 repetitions, a few real files")
    ap.add_argument("--repeat", type=int, default=None, help="repetitions per measurement (default 5)")
    ap.add_argument("--real-mb", type=float, default=None,
                    help="MB of each real file set to use, spread over the set (default: every file)")
    ap.add_argument("--no-real", action="store_true")
    ap.add_argument("--no-rss", action="store_true")
    ap.add_argument("--no-threads", action="store_true")
    ap.add_argument("--no-pugixml", action="store_true")
    ap.add_argument("--wall", action="store_true", help="time by the wall clock, not processor time")
    ap.add_argument("--out", default=os.path.join(HERE, "out"))
    ap.add_argument("--publish", action="store_true",
                    help="write bench/RESULTS.md and bench/results.png")
    args = ap.parse_args()

    sizes = [int(s) for s in args.sizes.split(",")] if args.sizes else [1] if args.quick else [50]
    repeat = args.repeat or (3 if args.quick else 5)
    real_mb = args.real_mb if args.real_mb is not None else (2 if args.quick else 0)
    if args.wall:
        CLOCK[0] = time.perf_counter

    load_before = os.getloadavg()
    started = time.time()
    results, rss, threads, costs = [], {}, None, None
    # Files are written to memory-backed storage where there is one: rewriting
    # a file on disk can wait for the file system's flush of its old blocks.
    scratch = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=scratch) as tmp:
        native, native_note = (None, "pugixml reference not asked for") if args.no_pugixml \
            else Pugixml.build(args.out, tmp)
        print(native_note, file=sys.stderr)
        for mb in sizes:
            for name in corpora.GENERATORS:
                path, root = corpora.cached(name, mb)
                label = f"{name} {mb} MiB"
                results.append(measure_corpus(label, name, [Doc(path, root, SEARCH_TAG[name])],
                                              repeat, tmp, native))
                if mb == max(sizes) and not args.no_rss:
                    rss[label] = (os.path.getsize(path), name, peak_rss(path, root, native))
        if not args.no_real:
            for kind, patterns in REAL_SETS.items():
                docs = real_set(patterns, real_mb)
                if docs:
                    n = len(docs)
                    label = f"{kind} ({n:,} file{'s' if n > 1 else ''})"
                    results.append(measure_corpus(label, kind, docs, repeat, tmp, native))
                    if n == 1 and not args.no_rss:
                        rss[label] = (len(docs[0].data), kind, peak_rss(docs[0].path, docs[0].root, native))
                del docs
            small = small_documents(REAL_SETS["SVG icons"])
            if small:
                size = sum(len(d.data) for d in small)
                costs = (f"{len(small)} SVG icons of {SMALL_DOC_BYTES[0]:,}-{SMALL_DOC_BYTES[1]:,} bytes, "
                         f"{size / len(small):,.0f} on average",
                         small_document_costs(small, repeat, tmp))
        if not args.no_threads:
            path, root = corpora.cached("records", max(sizes))
            copy = os.path.join(tmp, "records-copy.xml")
            shutil.copyfile(path, copy)
            threads = (f"records {max(sizes)} MiB", thread_scaling([path, copy], root, max(repeat, 9)))

    load_after = os.getloadavg()
    clock = "elapsed" if args.wall else "processor"
    header = (f"Machine: {machine()}. {versions()}. {native_note}.\n\n"
              f"Median of {repeat} timed calls after an untimed one, the process's {clock} time (pugixml: "
              f"the same clock in its own process; thread scaling: elapsed); MB/s = 10^6 input bytes "
              f"per second; ratios are the peer's time over orvex's (above 1: orvex is faster). Real "
              f"file sets: each file timed on its own, times added up. Load average "
              f"{load_before[0]:.1f} before, {load_after[0]:.1f} after; the run took "
              f"{(time.time() - started) / 60:.1f} min.")
    text = markdown(results, rss, threads, costs, header)
    print(text)

    if args.publish:
        md_path, png_path = os.path.join(HERE, "RESULTS.md"), os.path.join(HERE, "results.png")
    else:
        os.makedirs(args.out, exist_ok=True)
        md_path, png_path = os.path.join(args.out, "results.md"), os.path.join(args.out, "results.png")
    with open(md_path, "w", encoding="utf-8") as f:
        f.write("# orvex benchmark results\n\n" + text + f"\n![ratios against the targets]({os.path.basename(png_path)})\n")
    chart(results, rss, png_path, f"orvex vs peers - {machine()}\n{versions()}\n{native_note}")
    print(f"\nwrote {md_path} and {png_path}", file=sys.stderr)


if __name__ == "__main__":
    main()
