// The writer's two walks, written once for any tree of elements that offers
// a name, an attribute map, an optional text and indexed children: the
// detached PlainElement trees of the reader and the tests, and the records
// of Node objects, which never change and so can be written where they are.
//
// A Tree type provides:
//   using Element = ...;                        // a cheap handle (a pointer)
//   static const SharedStr& name(Element);
//   static const AttrMap& attrs(Element);
//   static const OptStr& text(Element);
//   static size_t child_count(Element);
//   static Element child(Element, size_t i);
//   static void done(Element);                  // after its last byte is written
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "write/serializer.h"

namespace orvex {

// Serializes the tree at depth 0 (see serialize in serializer.h for the
// layout). No recursion. Returns false when the sink failed.
template <class Tree, class Sink>
bool serialize_tree(Sink& sink, typename Tree::Element root, uint64_t indent) {
  using Element = typename Tree::Element;
  struct Open {
    Element e;
    size_t next;  // index of the next child to write
  };
  std::vector<Open> open;
  uint64_t depth = 0;
  bool after_markup = false;
  // Saturates rather than wraps: a product past 64 bits can only be refused,
  // and a sink with a budget refuses it (see MemorySink::set_budget).
  auto line_break = [&]() {
    uint64_t n;
    if (__builtin_mul_overflow(indent, depth, &n)) n = UINT64_MAX;
    return sink.write("\n", 1) && sink.spaces(n);
  };

  Element e = root;
  bool have = true;
  while (have) {
    // Start tag (or empty-element tag) of e.
    if (after_markup && !line_break()) return false;
    after_markup = true;
    const SharedStr& name = Tree::name(e);
    if (!sink.write("<", 1) || !sink.write(name.sv())) return false;
    for (const auto& entry : Tree::attrs(e)) {
      if (!sink.write(" ", 1) || !sink.write(entry.key.sv()) || !sink.write("=\"", 2) ||
          !escape(sink, entry.value.sv(), EscapeMode::Attr) || !sink.write("\"", 1))
        return false;
    }
    const OptStr& text = Tree::text(e);
    const size_t children = Tree::child_count(e);
    if (!text && children == 0) {
      if (!sink.write("/>", 2)) return false;
      Tree::done(e);
    } else {
      if (!sink.write(">", 1)) return false;
      ++depth;
      if (text) {
        if (!escape(sink, text->sv(), EscapeMode::Text)) return false;
        after_markup = false;
      }
      open.push_back({e, 0});
    }

    // Next element to start: the next unwritten child of the innermost open
    // element; elements with none left are closed on the way out.
    have = false;
    while (!open.empty()) {
      Open& top = open.back();
      if (top.next < Tree::child_count(top.e)) {
        e = Tree::child(top.e, top.next++);
        have = true;
        break;
      }
      --depth;
      if (after_markup && !line_break()) return false;
      after_markup = true;
      if (!sink.write("</", 2) || !sink.write(Tree::name(top.e).sv()) || !sink.write(">", 1))
        return false;
      Tree::done(top.e);
      open.pop_back();
    }
  }
  return true;
}

// Counts what the document will need (see DocumentMeasure), in document
// order. Gives false, leaving `m` partly counted, once the tree holds more
// than `max_elements` elements: a few nodes shared at every level can stand
// for more elements than any file or memory could take, and the count stops
// early instead of walking them all. No recursion. Throws std::bad_alloc.
template <class Tree>
bool measure_tree(typename Tree::Element root, uint64_t max_elements, DocumentMeasure* m) {
  using Element = typename Tree::Element;
  struct Open {
    Element e;
    size_t next;
  };
  count_parts(*m, Tree::name(root), Tree::attrs(root), Tree::text(root), Tree::child_count(root), 0,
              false);
  uint64_t counted = 1;
  std::vector<Open> open;
  open.push_back({root, 0});
  while (!open.empty()) {
    Open& top = open.back();
    if (top.next == Tree::child_count(top.e)) {
      open.pop_back();
      continue;
    }
    if (++counted > max_elements) return false;
    const bool after_text = top.next == 0 && Tree::text(top.e).has_value();
    const Element child = Tree::child(top.e, top.next++);
    count_parts(*m, Tree::name(child), Tree::attrs(child), Tree::text(child),
                Tree::child_count(child), open.size(), after_text);
    open.push_back({child, 0});  // `top` is dead from here on
  }
  return true;
}

}  // namespace orvex
