// The records of a Node tree seen as a tree for the writer's walks.
//
// The writer needs no copy of the tree: records never change once their Node
// exists, and a record holds each of its children, so while the caller keeps
// the root alive every record below it stays exactly as it is. The walks
// only read names, maps, texts and child pointers; they touch no reference
// count and call nothing of the interpreter, so they may run detached from
// it.
#pragma once

#include "storage/node.h"

namespace orvex {

struct RecordTree {
  using Element = const NodeRecord*;
  static const SharedStr& name(Element e) noexcept { return e->name; }
  static const AttrMap& attrs(Element e) noexcept { return e->attrs; }
  static const OptStr& text(Element e) noexcept { return e->text; }
  static size_t child_count(Element e) noexcept { return e->children.size(); }
  static Element child(Element e, size_t i) noexcept { return &e->children[i]->rec; }
  static void done(Element) noexcept {}
};

}  // namespace orvex
