"""Converting XML to JSON through Node.to_dict, and JSON back to XML.

Usage: to_json.py [FILE ROOT_TAG]   (default: the bundled catalogue, root tag catalog)

Prints the document as JSON in two shapes: the full dict form that to_dict
returns (keys name, attrs, children, text), which from_dict reads back
unchanged, and a compact shape for people to read, the one xmltodict.parse
gives.

Exit status: 0, 2 for a wrong argument (no such file or element: a usage
line is printed), 1 for a file that is not XML (not well-formed, or not UTF-8).
"""

import argparse
import json
import os
import sys
from typing import TYPE_CHECKING, NoReturn

import orvex
from orvex import Node

if TYPE_CHECKING:
    # The dict form's type exists for type checkers only.
    from orvex import _NodeDict

HERE = os.path.dirname(os.path.abspath(__file__))
# read_file raises ValueError for both a document that is not well-formed and
# one without the element, and OSError for unreadable files and for bytes that
# are not UTF-8; only the messages tell a wrong argument (a usage error) from
# a file that is not XML.
ROOT_NOT_FOUND = "root tag <"
INVALID_UTF8 = "stream did not contain valid UTF-8"


def fail(message: str) -> NoReturn:
    """A file that is not XML is no usage error: status 1, no usage line."""
    print(f"{os.path.basename(sys.argv[0])}: {message}", file=sys.stderr)
    sys.exit(1)


def compact(d: "_NodeDict") -> object:
    """A reader-friendly shape, xmltodict's: attributes as "@name" keys, text
    as "#text", repeated child names collected into lists, a bare string for
    an element that holds only text, None for an empty one."""
    out: dict[str, object] = {f"@{k}": v for k, v in sorted(d["attrs"].items())}
    for child in d["children"]:
        value = compact(child)
        if child["name"] not in out:
            out[child["name"]] = value
        else:
            existing = out[child["name"]]
            out[child["name"]] = [*existing, value] if isinstance(existing, list) else [existing, value]
    if d["text"] is not None:
        if not out:
            return d["text"]
        out["#text"] = d["text"]
    return out or None


def main() -> None:
    parser = argparse.ArgumentParser(description="Print an XML document as JSON, in the full dict form and a compact one.")
    parser.add_argument("file", nargs="?", metavar="FILE", help="XML file (default: the bundled catalogue)")
    parser.add_argument("root_tag", nargs="?", metavar="ROOT_TAG", help="name of the element to convert")
    args = parser.parse_args()
    if args.file is None:
        path, root = os.path.join(HERE, "data", "catalog.xml"), "catalog"
    elif args.root_tag is None:
        parser.error("FILE needs a ROOT_TAG: the name of the element to convert")
    else:
        path, root = args.file, args.root_tag
    try:
        doc = orvex.read_file(path, root)
    except OSError as e:
        if str(e) != INVALID_UTF8:
            parser.error(f"cannot read {path}: {e}")
        fail(f"{path} is not XML (not UTF-8 text), so it has no <{root}> to convert: {e}")
    except ValueError as e:
        if str(e).startswith(ROOT_NOT_FOUND):
            parser.error(f"{path} has no <{root}> element ({e})")
        fail(f"{path} is not well-formed XML, so it has no <{root}> to convert: {e}")

    full = doc.to_dict()
    text = json.dumps(full, ensure_ascii=False, sort_keys=True, indent=2)
    children = full["children"]
    if children:
        # The whole form of a large document would scroll past: one child shows its shape.
        print(f"== full dict form of <{root}> ({len(text)} characters), its first child <{children[0]['name']}> of {len(children)}:")
        print(json.dumps(children[0], ensure_ascii=False, sort_keys=True, indent=2))
    else:
        print(f"== full dict form of <{root}> ({len(text)} characters):")
        print(text)

    # JSON keeps everything from_dict needs: the round trip is exact (dict
    # equality does not depend on attribute order).
    again = Node.from_dict(json.loads(text))
    assert again.to_dict() == full

    print("== compact form")
    print(json.dumps({doc.name: compact(full)}, ensure_ascii=False, indent=2))


if __name__ == "__main__":
    main()
