"""A quick tour of orvex: build a tree, read a document, search it, convert it
to dicts and write it back as indented XML. Takes no arguments."""
import argparse
import json
import os
import tempfile

import orvex
from orvex import Node, SearchType

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, "data", "catalog.xml")
argparse.ArgumentParser(description=__doc__).parse_args()

# 1. Build a tree by hand. Nodes are immutable; children are shared references.
leaf = Node("item", {"sku": "A-1"}, text="pencil")
order = Node("order", {"id": "42"}, [leaf, Node("item", {"sku": "B-7"}, text="paper")])
print("== a tree built by hand")
print(order)
print()

# 2. Read a document: the first element named root_tag is returned.
catalog = orvex.read_file(SAMPLE, "catalog")
print("== read", os.path.basename(SAMPLE), "->", repr(catalog), catalog.attrs)

# 3. Search it.
titles = [t.text for t in catalog.search_by_name("title")]
print("titles:", titles)
english = [b.attrs["id"] for b in catalog.search_by_attr("lang") if b.attrs["lang"] == "en"]
print("English books:", english)
print("tagged xml:", len(catalog.search(SearchType.Text, "xml")))
print("direct children only:", len(catalog.search_by_name("book", depth=1)))

# 4. Convert to plain dicts (and JSON) and back.
as_dict = catalog.children[0].to_dict()
# Printed with its first child only, to keep the output short; the JSON is
# whole and valid all the same.
children = as_dict["children"]
print(f"== first book as JSON, with the first of its {len(children)} children only")
print(json.dumps({**as_dict, "children": children[:1]}, sort_keys=True, indent=1))
rebuilt = Node.from_dict(as_dict)
assert rebuilt.to_dict() == as_dict  # dict equality ignores attribute order

# 5. Write it back as indented XML.
print("== written back (indent 2)")
print(orvex.write_string(catalog, indent=2))
with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "out.xml")
    orvex.write_file(order, path, default_xml_def=False)
    with open(path, encoding="utf-8") as f:
        print("== order written to a file")
        print(f.read())
