// The reader's result as flat arrays: every element of the root's subtree in
// document order (pre-order), each with the number of its direct children.
// An element's children follow it, each directly after the previous child's
// whole subtree. Walking the array from the back therefore meets every
// element after all of its descendants, with its children on top of a stack
// in document order (first child topmost): wrapping into Node objects, or
// into a PlainElement tree, needs no recursion and no per-element lists.
//
// Elements are small fixed-size entries; attribute maps and texts live in
// arrays of their own, so elements without them take no room for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "storage/shared_str.h"
#include "storage/sip_map.h"

namespace orvex::read {

struct FlatElement {
  uint64_t name_start;  // the name is document bytes [name_start, name_end)
  uint64_t name_end;
  uint64_t attrs;     // 1 + its place in FlatTree::maps; 0: no attributes
  uint64_t text;      // 1 + its place in FlatTree::texts; 0: text absent
  uint64_t children;  // number of direct children
};

struct FlatTree {
  // One holder count of the document for all the borrowed views below.
  SourceHandle source;
  MapKey map_key;  // the key of every attribute map of this read, empty ones included
  std::vector<FlatElement> elements;  // pre-order; elements[0] is the root
  std::vector<AttrMap> maps;
  std::vector<SharedStr> texts;

  SourceBuffer* doc() const noexcept { return source.get(); }
  // A new holder count of the document, for a record or element made from
  // these entries.
  SourceHandle hold() const noexcept {
    source->retain();
    return SourceHandle(source.get());
  }
  // Takes n holder counts in one step; each adopt() hands one of them over.
  void retain_for(size_t n) const noexcept { source->retain(n); }
  SourceHandle adopt() const noexcept { return SourceHandle(source.get()); }
  SharedStr name_of(const FlatElement& e) const noexcept {
    return SharedStr::borrowed_view(source.get(), e.name_start, e.name_end);
  }
};

}  // namespace orvex::read
