"""Building a document from Python data and writing it as XML.

Builds a small feed from plain records with the Node constructor, writes it
with write_string and write_file (different indents, with and without the XML
declaration), and reads the file back to show that text and attribute values
survive escaping. Takes no arguments.
"""

import argparse
import os
import tempfile
from dataclasses import dataclass

import orvex
from orvex import Node


@dataclass(frozen=True)
class Entry:
    slug: str
    title: str
    tags: tuple[str, ...]
    summary: str | None = None


ENTRIES = [
    Entry("simd", "Indexing XML with <128-bit> vectors", ("simd", "parsing"), 'Quotes " and \' and & all survive.'),
    Entry("trees", "Immutable trees & shared children", ("design",)),
    Entry("unicode", "Ünïcödé names, 日本語 text", ("i18n", "utf-8"), "Offsets count bytes."),
]


def entry_node(e: Entry) -> Node:
    children = [Node("title", text=e.title)]
    children += [Node("tag", {"name": t}) for t in e.tags]
    if e.summary is not None:
        children.append(Node("summary", text=e.summary))
    return Node("entry", {"id": e.slug, "tags": str(len(e.tags))}, children)


def main() -> None:
    argparse.ArgumentParser(description="Build a small feed with Node and write it as XML.").parse_args()
    # Nodes are immutable and children are shared references: one "entry"
    # node can stand in two places without being copied.
    entries = [entry_node(e) for e in ENTRIES]
    featured = Node("featured", children=[entries[0]])
    feed = Node("feed", {"title": "Notes & <drafts>", "lang": "en"}, [featured, *entries])
    assert feed.children[0].children[0] is feed.children[1]

    print("== write_string(feed, indent=2)")
    print(orvex.write_string(feed, indent=2))

    print("== one entry, no declaration, indent 0")
    print(orvex.write_string(entries[1], indent=0, default_xml_def=False))

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "feed.xml")
        orvex.write_file(feed, path)  # defaults: indent 4, with the declaration
        with open(path, encoding="utf-8") as f:
            written = f.read()
        assert written == orvex.write_string(feed)
        back = orvex.read_file(path, "feed")

    # Escaped on the way out, decoded on the way in.
    assert back.attrs == feed.attrs
    for original, reread in zip(entries, back.children[1:]):
        assert reread.to_dict() == original.to_dict(), reread.name
    summaries = [n.text for n in back.search_by_name("summary")]
    print("== read back from the file")
    print(f"{len(back.search_by_name('entry'))} entry elements (one of them twice), summaries: {summaries}")


if __name__ == "__main__":
    main()
