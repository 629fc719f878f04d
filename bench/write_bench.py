"""Writer throughput: orvex write_string / write_file against lxml and
ElementTree pretty printing of the same documents.

    PYTHONPATH=build python bench/write_bench.py [--scale 1.0] [--repeat 5]

Each document is generated deterministically, read once by each library,
then serialized `repeat` times; the best time counts. MB/s is output bytes
(each library's own output) per second; the ratio column is the other
library's best time divided by orvex write_string's. All writers indent by
two spaces (the default of lxml and ElementTree) and write no declaration.
"""
import argparse
import os
import random
import tempfile
import time
import xml.etree.ElementTree as ET

from lxml import etree

import orvex

try:  # the reader benchmark's documents, when present next to this file
    import corpora  # type: ignore
except ImportError:
    corpora = None

WORDS = ("alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu "
         "nu xi omicron pi rho sigma tau upsilon phi chi psi omega").split()


def _words(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def records(scale):
    """Data-like: many small records, several attributes, short texts."""
    rng = random.Random(1)
    out = ["<catalog>"]
    for i in range(int(60_000 * scale)):
        out.append(
            f'<item id="{i}" sku="S-{rng.randrange(10**6):06d}" price="{rng.randrange(10**5) / 100}">'
            f"<name>{_words(rng, 3)}</name><qty>{rng.randrange(100)}</qty>"
            f'<tags><tag kind="a">{rng.choice(WORDS)}</tag><tag kind="b">{rng.choice(WORDS)}</tag></tags>'
            f"<flag/></item>"
        )
    out.append("</catalog>")
    return "".join(out)


def prose(scale):
    """Text-heavy: long paragraphs with entities and quotes, some non-ASCII."""
    rng = random.Random(2)
    out = ["<book>"]
    for c in range(int(200 * scale)):
        out.append(f'<chapter n="{c}" title="{_words(rng, 4)}">')
        for _ in range(20):
            body = " ".join(
                rng.choice(WORDS + ["&amp;", "&lt;tag&gt;", "&quot;said&quot;", "café", "naïve"])
                for _ in range(rng.randrange(40, 200))
            )
            out.append(f"<p>{body}</p>")
        out.append("</chapter>")
    out.append("</book>")
    return "".join(out)


def nested(scale):
    """Deep and bushy: a complete tree of depth 12 with attributes on every level."""
    rng = random.Random(3)
    budget = [int(150_000 * scale)]

    def build(depth):
        if budget[0] <= 0 or depth == 12:
            return f'<leaf v="{rng.randrange(1000)}"/>'
        budget[0] -= 1
        kids = "".join(build(depth + 1) for _ in range(rng.randrange(1, 4)))
        return f'<n d="{depth}" w="{rng.choice(WORDS)}">{kids}</n>'

    return "<root>" + "".join(build(0) for _ in range(40)) + "</root>"


def documents(scale):
    """name -> (document, root tag). The reader benchmark's corpora when they
    are there (same documents both ways), plus a deep, bushy tree of our own,
    where indentation and element overhead dominate."""
    docs = {}
    if corpora is not None and hasattr(corpora, "reader_documents"):
        docs.update(corpora.reader_documents(max(1, round(8 * scale))))
    else:
        docs["records"] = (records(scale), "catalog")
        docs["prose"] = (prose(scale), "book")
    docs["nested"] = (nested(scale), "root")
    return docs


def best(fn, repeat):
    times = []
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()

    tmpdir = tempfile.mkdtemp(prefix="orvex_write_bench_")
    path = os.path.join(tmpdir, "out.xml")
    print(f"{'document':<11}{'input MB':>9}  {'writer':<28}{'out MB':>8}{'ms':>9}{'MB/s':>9}{'vs orvex':>10}")
    for name, (text, root_tag) in documents(args.scale).items():
        tree = orvex.read_string(text, root_tag)
        lx = etree.fromstring(text.encode())
        et = ET.fromstring(text)

        def et_pretty():
            ET.indent(et)
            return ET.tostring(et, encoding="unicode")

        def orvex_file():
            orvex.write_file(tree, path, 2, False)
            return os.path.getsize(path)

        runs = [
            ("orvex write_string", lambda: write_len(orvex.write_string(tree, 2, False))),
            ("orvex write_file", orvex_file),
            ("lxml tostring(pretty)", lambda: write_len(etree.tostring(lx, pretty_print=True, encoding="unicode"))),
            ("ElementTree indent+tostring", lambda: write_len(et_pretty())),
        ]
        base = None
        for label, fn in runs:
            t, size = best(fn, args.repeat)
            if base is None:
                base = t
            print(f"{name:<11}{len(text.encode()) / 1e6:>9.1f}  {label:<28}{size / 1e6:>8.1f}"
                  f"{t * 1e3:>9.1f}{size / 1e6 / t:>9.0f}{t / base:>9.2f}x")
    os.remove(path)
    os.rmdir(tmpdir)


def write_len(s):
    return len(s.encode()) if isinstance(s, str) else len(s)


if __name__ == "__main__":
    main()
