"""Type information for the orvex extension module.

Installed next to the compiled module. The names that start with an
underscore exist only for type checkers: import them under
`typing.TYPE_CHECKING` (or use them in string annotations).
"""

from collections.abc import Sequence
from typing import Any, ClassVar, SupportsIndex, TypedDict, final

__all__ = ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]

class _NodeDict(TypedDict):
    """The dictionary form of one element, as `Node.to_dict` returns it."""

    name: str
    attrs: dict[str, str]
    children: list[_NodeDict]
    text: str | None

@final
class SearchType:
    """What `Node.search` compares: the element name, an attribute key or the text.

    The three members are the only instances; the class cannot be called.
    Members equal their integer values (`SearchType.Attr == 1`), cannot be
    ordered and are not hashable.
    """

    Tag: ClassVar[SearchType]
    Attr: ClassVar[SearchType]
    Text: ClassVar[SearchType]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Node:
    """An immutable XML element.

    Every property returns a new object on each access; changing a returned
    dict or list does not change the node. Equality and hashing are by
    identity.
    """

    def __new__(
        cls,
        name: str,
        attrs: dict[str, str] | None = None,
        children: Sequence[Node] | None = None,
        text: str | None = None,
    ) -> Node: ...
    @property
    def name(self) -> str: ...
    @property
    def text(self) -> str | None:
        """The element's text; None when it has none (distinct from "")."""

    @property
    def attrs(self) -> dict[str, str]: ...
    @property
    def children(self) -> list[Node]:
        """Children are shared references to the same nodes, not copies."""

    def __to_string(self, spacing: SupportsIndex | None = None) -> str:
        """The readable multi-line form, indented by `spacing` (0 to 255) spaces."""

    def search_by_name(self, name: str, depth: SupportsIndex | None = None) -> list[Node]:
        """The nodes of this subtree (this one included) named `name`, in pre-order.

        `depth` limits the levels visited: 0 is this node only; None or a
        negative number visits all.
        """

    def search_by_attr(self, key: str, depth: SupportsIndex | None = None) -> list[Node]:
        """The nodes of this subtree that have an attribute `key`, in pre-order."""

    def search_by_text(self, text: str, depth: SupportsIndex | None = None) -> list[Node]:
        """The nodes of this subtree whose text equals `text`, in pre-order."""

    def search(self, by: SearchType, value: str, depth: SupportsIndex | None = None) -> list[Node]:
        """`search_by_name`, `search_by_attr` or `search_by_text`, chosen by `by`."""

    def to_dict(self) -> _NodeDict:
        """The subtree as nested dicts with the keys name, attrs, children and text."""

    @classmethod
    def from_dict(cls, dict_: _NodeDict | dict[str, Any]) -> Node:
        """A new tree built from the dict form; "text" may be left out.

        Raises ValueError "Invalid name", "Invalid attrs" or "Invalid children"
        for a dict that does not describe an element.
        """

def read_string(xml_string: str, root_tag: str) -> Node:
    """Parses a document and returns its first element named `root_tag`.

    Raises ValueError for a rejected document (offsets are UTF-8 byte offsets).
    """

def read_file(file_path: str, root_tag: str) -> Node:
    """Reads a UTF-8 file and returns its first element named `root_tag`.

    Raises ValueError for a rejected document, OSError (or a subclass) for a
    file that cannot be read.
    """

def write_string(
    node: Node,
    indent: SupportsIndex | None = None,
    default_xml_def: bool | None = None,
) -> str:
    """The tree as indented XML: `indent` spaces per level (default 4) and an
    XML declaration line unless `default_xml_def` is False."""

def write_file(
    node: Node,
    file_path: str,
    indent: SupportsIndex | None = None,
    default_xml_def: bool | None = None,
) -> None:
    """Writes `write_string`'s document to `file_path`, creating or truncating it."""
