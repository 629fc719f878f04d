"""Deterministic XML documents for bench/run.py (fixed seeds).

    records(mb)     data-like: many small records, a few attributes, short texts (ASCII)
    attr_heavy(mb)  rows of 8-16 attributes, values with the odd entity, no text
    text_heavy(mb)  long paragraphs with entities, inline markup and non-ASCII

Each returns (document, root tag). Sizes are approximate, in MiB of UTF-8.
cached(name, mb) keeps each generated corpus as a file under bench/corpora/.
"""
import os
import random

WORDS = ("alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi "
         "omicron pi rho sigma tau upsilon phi chi psi omega").split()
ACCENTED = ["café", "naïve", "Zürich", "façade", "smörgåsbord", "日本語", "Ελληνικά"]
CITIES = ["Paris", "Nice", "Zurich", "Bern", "Oslo", "Tokyo", "Athens"]  # records stay ASCII
MIB = 1024 * 1024


def _fill(target_bytes, make_piece):
    pieces, size = [], 0
    while size < target_bytes:
        piece = make_piece()
        pieces.append(piece)
        size += len(piece.encode())
    return pieces


def records(mb):
    rng = random.Random(101)

    def record(i=[0]):
        i[0] += 1
        first, last = rng.choice(WORDS).title(), rng.choice(WORDS).title()
        return (
            f'<record id="{i[0]}" type="{rng.choice(("user", "admin", "guest"))}">'
            f"<name>{first} {last}</name><email>{first.lower()}.{last.lower()}@example.org</email>"
            f"<age>{rng.randrange(18, 90)}</age>"
            f'<address city="{rng.choice(CITIES)}" zip="{rng.randrange(10000, 99999)}"/>'
            f"<tags><tag>{rng.choice(WORDS)}</tag><tag>{rng.choice(WORDS)}</tag></tags>"
            f"<note>{' '.join(rng.choice(WORDS) for _ in range(rng.randrange(3, 12)))} &amp; more</note>"
            "</record>\n"
        )

    return "<records>\n" + "".join(_fill(mb * MIB, record)) + "</records>\n", "records"


def attr_heavy(mb):
    rng = random.Random(202)
    keys = [f"attr{k}" for k in range(16)]

    def row():
        n = rng.randrange(8, 17)
        attrs = " ".join(
            f'{k}="{rng.choice(WORDS)}{rng.randrange(1000)}{" &amp; x" if rng.random() < 0.05 else ""}"'
            for k in keys[:n]
        )
        return f"<row {attrs}/>\n"

    return "<table>\n" + "".join(_fill(mb * MIB, row)) + "</table>\n", "table"


def text_heavy(mb):
    rng = random.Random(303)
    vocab = WORDS * 4 + ACCENTED + ["&amp;", "&lt;tag&gt;", "&quot;quoted&quot;", "&#8212;"]

    def paragraph():
        words = [rng.choice(vocab) for _ in range(rng.randrange(80, 400))]
        if rng.random() < 0.5:
            k = rng.randrange(len(words))
            words[k] = f"<em>{words[k]}</em>"
        return "<p>" + " ".join(words) + "</p>\n"

    return "<book>\n" + "".join(_fill(mb * MIB, paragraph)) + "</book>\n", "book"


GENERATORS = {"records": records, "attr-heavy": attr_heavy, "text-heavy": text_heavy}
ROOTS = {"records": "records", "attr-heavy": "table", "text-heavy": "book"}
CACHE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpora")


def cached(name, mb, directory=CACHE_DIR):
    """The corpus `name` of `mb` MiB as a file, generated on first use and
    kept in `directory` (bench/corpora/, not tracked): (path, root tag)."""
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, f"{name}-{mb}mib.xml")
    if not os.path.exists(path):
        text, root = GENERATORS[name](mb)
        tmp = f"{path}.{os.getpid()}.tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(tmp, path)  # a concurrent run never sees half a file
    return path, ROOTS[name]
