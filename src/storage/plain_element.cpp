#include "storage/plain_element.h"

namespace orvex {

namespace {

// Releases a list of subtrees level by level: each element's children are
// moved into the work list before the element itself dies childless.
void drain(std::vector<PlainElement>& work) noexcept {
  while (!work.empty()) {
    PlainElement e = std::move(work.back());
    work.pop_back();
    for (PlainElement& c : e.children) {
      if (c.children.empty()) continue;  // a leaf dies with its parent's vector
      try {
        work.push_back(std::move(c));
      } catch (...) {
        // Out of memory while freeing: fall back to the recursive destructor
        // for this subtree rather than leak it.
      }
    }
  }
}

}  // namespace

PlainElement& PlainElement::operator=(PlainElement&& o) noexcept {
  if (this != &o) {
    std::vector<PlainElement> old = std::move(children);
    drain(old);
    source = std::move(o.source);
    name = std::move(o.name);
    attrs = std::move(o.attrs);
    text = std::move(o.text);
    children = std::move(o.children);
  }
  return *this;
}

PlainElement::~PlainElement() {
  if (children.empty()) return;
  std::vector<PlainElement> work = std::move(children);
  drain(work);
}

}  // namespace orvex
