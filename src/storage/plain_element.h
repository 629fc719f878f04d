// An element without Python objects, children held by value: the reader's
// element tree (the module itself wraps the reader's flat form) and the trees
// the native tests and fuzzers hand to the writer.
#pragma once

#include <vector>

#include "storage/shared_str.h"
#include "storage/sip_map.h"

namespace orvex {

struct PlainElement {
  // One holder count of the document that the element's borrowed views point
  // into (set by the reader; empty when every view holds its own count).
  SourceHandle source;
  SharedStr name;
  AttrMap attrs;
  OptStr text;
  std::vector<PlainElement> children;

  PlainElement() noexcept = default;
  PlainElement(SharedStr n, AttrMap a) noexcept : name(std::move(n)), attrs(std::move(a)) {}
  PlainElement(PlainElement&&) noexcept = default;
  PlainElement& operator=(PlainElement&&) noexcept;
  PlainElement(const PlainElement&) = delete;
  PlainElement& operator=(const PlainElement&) = delete;
  // Frees the subtree without recursion, so any depth is safe.
  ~PlainElement();
};

}  // namespace orvex
