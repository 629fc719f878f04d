"""Reading time of adversarial documents as they double in size.

    python bench/adversarial.py [--sizes 1,2,4,8]

Each shape repeats a construct that never ends (or hides its end), the kind
of input that makes a naive scanner search the rest of the document once per
occurrence. Linear reading doubles its time as the input doubles; a
quadratic one quadruples it. Prints the time of read_string (its str made
before the clock starts) per shape and size, and the ratio of the last two
sizes.
"""
import argparse
import time

import orvex

MB = 1 << 20

SHAPES = {
    "declarations without '>'": ("<r/>", "<!"),
    "document type declarations without an end": ("<r/>", "<!DOCTYPE ["),
    "literals in an internal subset": ("<!DOCTYPE r [", '<!ENTITY x "'),
    "comments in an internal subset": ("<!DOCTYPE r [", "<!--"),
    "unterminated comments": ("<r>", "<!--"),
    "unterminated CDATA sections": ("<r>", "<![CDATA["),
    "unterminated processing instructions": ("<r>", "<?x"),
    "'?' without '>'": ("<r><?x ", "?<?"),
    "unmatched quotes in tags": ("<r>", '<a "'),
    "unterminated attribute values": ("<r>", "<a b='"),
    "end tags without '>'": ("<r>", "</a"),
}


def document(head, unit, size):
    return head + unit * ((size - len(head)) // len(unit) + 1)


def seconds(doc):
    best = float("inf")
    for _ in range(3):
        text = doc.encode().decode()  # a fresh str each time, made before the clock
        start = time.perf_counter()
        try:
            orvex.read_string(text, "r")
        except ValueError:
            pass
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1,2,4,8", help="sizes in MiB")
    sizes = [int(s) for s in parser.parse_args().sizes.split(",")]
    print("| shape | " + " | ".join(f"{s} MiB" for s in sizes) + " | last ratio |")
    print("|---|" + "---|" * (len(sizes) + 1))
    for name, (head, unit) in SHAPES.items():
        times = [seconds(document(head, unit, s * MB)) for s in sizes]
        cells = " | ".join(f"{t * 1000:.1f} ms" for t in times)
        ratio = times[-1] / times[-2] if len(times) > 1 and times[-2] > 0 else float("nan")
        print(f"| {name} | {cells} | {ratio:.2f} |", flush=True)


if __name__ == "__main__":
    main()
