"""Dictionary conversion and search: orvex against xmltodict and lxml.

    PYTHONPATH=build python bench/dict_search_bench.py [--scale 1.0] [--repeat 5]

For each document:
- "read+to_dict": orvex read_string followed by to_dict, against
  xmltodict.parse of the same text (which parses with expat and builds dicts);
- "to_dict" (also with the cycle collector switched off, to show its share)
  and "from_dict" alone, on a tree already read;
- "search": Node.search_by_name(tag) against list(lxml_root.iter(tag)), both
  on trees already built, for a frequent and a rare tag.
Each measurement is the best of `repeat` runs; "ratio" is the other library's
best time divided by orvex's (above 1 means orvex is faster).
"""
import argparse
import gc
import random
import time

import xmltodict
from lxml import etree

import orvex

try:  # shared document generators, when the reader's benchmarks provide them
    import corpora  # type: ignore
except ImportError:
    corpora = None

WORDS = ("alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu "
         "nu xi omicron pi rho sigma tau upsilon phi chi psi omega").split()


def _words(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def records(scale):
    """Data-like: many small records with attributes and short texts."""
    rng = random.Random(1)
    out = ["<catalog>"]
    for i in range(int(40_000 * scale)):
        out.append(
            f'<item id="{i}" sku="S-{rng.randrange(10**6):06d}" price="{rng.randrange(10**5) / 100}">'
            f"<name>{_words(rng, 3)}</name><qty>{rng.randrange(100)}</qty>"
            f'<tags><tag kind="a">{rng.choice(WORDS)}</tag><tag kind="b">{rng.choice(WORDS)}</tag></tags>'
            f"{'<flag/>' if i % 97 == 0 else ''}</item>"
        )
    out.append("</catalog>")
    return "".join(out)


def prose(scale):
    """Text-heavy: long paragraphs with entities and some non-ASCII."""
    rng = random.Random(2)
    out = ["<book>"]
    for c in range(int(150 * scale)):
        out.append(f'<chapter n="{c}" title="{_words(rng, 4)}">')
        for p in range(20):
            body = " ".join(
                rng.choice(WORDS + ["&amp;", "&lt;tag&gt;", "café", "naïve"])
                for _ in range(rng.randrange(40, 200))
            )
            out.append(f"<p>{body}{'<em>note</em>' if p % 7 == 0 else ''}</p>")
        out.append("</chapter>")
    out.append("</book>")
    return "".join(out)


def nested(scale):
    """Structure-heavy: a deep, bushy tree of small elements."""
    rng = random.Random(3)
    out = []

    def element(depth):
        tag = "leaf" if depth == 0 else f"n{depth}"
        attrs = f' k="{rng.randrange(1000)}"' if rng.random() < 0.5 else ""
        if depth == 0:
            out.append(f"<{tag}{attrs}>{rng.choice(WORDS)}</{tag}>")
            return
        out.append(f"<{tag}{attrs}>")
        for _ in range(rng.randrange(2, 5)):
            element(depth - 1)
        out.append(f"</{tag}>")

    out.append("<root>")
    for _ in range(int(60 * scale)):
        element(6)
    out.append("</root>")
    return "".join(out)


# (document, frequent tag, rare tag)
def documents(scale):
    if corpora is not None and hasattr(corpora, "dict_search_documents"):
        return corpora.dict_search_documents(scale)
    return {
        "records": (records(scale), "tag", "flag"),
        "prose": (prose(scale), "p", "em"),
        "nested": (nested(scale), "leaf", "n5"),
    }


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def row(label, ours, theirs, other):
    print(f"  {label:<28} orvex {ours * 1e3:9.2f} ms   {other} {theirs * 1e3:9.2f} ms   ratio {theirs / ours:6.2f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()

    for name, (doc, frequent, rare) in documents(args.scale).items():
        root_tag = etree.fromstring(doc.encode()).tag
        node = orvex.read_string(doc, root_tag)
        lx = etree.fromstring(doc.encode())
        elements = sum(1 for _ in lx.iter())
        print(f"{name}: {len(doc.encode()) / 1e6:.1f} MB, {elements} elements")

        ours = best(lambda: orvex.read_string(doc, root_tag).to_dict(), args.repeat)
        theirs = best(lambda: xmltodict.parse(doc), args.repeat)
        row("read_string+to_dict", ours, theirs, "xmltodict.parse")

        to_dict = best(node.to_dict, args.repeat)
        # The dictionary form makes two tracked containers per element, so the
        # cycle collector's passes are a large share of to_dict on CPython.
        gc.disable()
        try:
            to_dict_no_gc = best(node.to_dict, args.repeat)
        finally:
            gc.enable()
        d = node.to_dict()
        from_dict = best(lambda: orvex.Node.from_dict(d), args.repeat)
        print(f"  {'to_dict alone':<28} orvex {to_dict * 1e3:9.2f} ms   "
              f"({elements / to_dict / 1e6:.2f} M nodes/s; with the collector off "
              f"{to_dict_no_gc * 1e3:.2f} ms)")
        print(f"  {'from_dict alone':<28} orvex {from_dict * 1e3:9.2f} ms   "
              f"({elements / from_dict / 1e6:.2f} M nodes/s)")
        del d

        for tag in (frequent, rare):
            found = len(node.search_by_name(tag))
            assert found == sum(1 for _ in lx.iter(tag))
            ours = best(lambda: node.search_by_name(tag), args.repeat)
            theirs = best(lambda: list(lx.iter(tag)), args.repeat)
            row(f"search_by_name({tag!r}) [{found}]", ours, theirs, "lxml iter")
        ours = best(lambda: node.search_by_attr("k"), args.repeat)
        theirs = best(lambda: [e for e in lx.iter() if "k" in e.attrib], args.repeat)
        row("search_by_attr('k')", ours, theirs, "lxml iter+attrib")


if __name__ == "__main__":
    main()
