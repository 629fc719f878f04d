#include "write/serializer.h"

#include "write/tree_walk.h"

#include <array>
#include <cstring>
#include <limits>
#include <unistd.h>
#include <vector>

namespace orvex {

namespace {

// A PlainElement tree, consumed as it is written: each element's strings and
// map go as soon as its last byte is out. Its children went before it, so
// this never recurses.
struct PlainTree {
  using Element = PlainElement*;
  static const SharedStr& name(Element e) noexcept { return e->name; }
  static const AttrMap& attrs(Element e) noexcept { return e->attrs; }
  static const OptStr& text(Element e) noexcept { return e->text; }
  static size_t child_count(Element e) noexcept { return e->children.size(); }
  static Element child(Element e, size_t i) noexcept { return &e->children[i]; }
  static void done(Element e) noexcept {
    e->name = SharedStr();
    e->attrs.clear();
    e->text.reset();
    std::vector<PlainElement>().swap(e->children);
  }
};

struct ConstPlainTree {
  using Element = const PlainElement*;
  static const SharedStr& name(Element e) noexcept { return e->name; }
  static const AttrMap& attrs(Element e) noexcept { return e->attrs; }
  static const OptStr& text(Element e) noexcept { return e->text; }
  static size_t child_count(Element e) noexcept { return e->children.size(); }
  static Element child(Element e, size_t i) noexcept { return &e->children[i]; }
};

}  // namespace

template <class Sink>
bool serialize(Sink& sink, PlainElement& root, uint64_t indent) {
  return serialize_tree<PlainTree>(sink, &root, indent);
}

template bool serialize<MemorySink>(MemorySink&, PlainElement&, uint64_t);
template bool serialize<FileSink>(FileSink&, PlainElement&, uint64_t);

namespace {

void add(DocumentMeasure& m, uint64_t& field, uint64_t v) noexcept {
  if (__builtin_add_overflow(field, v, &field)) {
    field = std::numeric_limits<uint64_t>::max();
    m.saturated = true;
  }
}

// A line feed followed by the indentation of `depth`.
void add_line(DocumentMeasure& m, uint64_t depth) noexcept {
  add(m, m.fixed, 1);
  add(m, m.line_depths, depth);
}

}  // namespace

// Mirrors serialize's line-break rule: a start tag breaks the line unless it
// is the root's or directly follows its parent's text; an end tag breaks the
// line exactly when the element has children.
void count_parts(DocumentMeasure& m, const SharedStr& name, const AttrMap& attrs, const OptStr& text,
                 size_t child_count, uint64_t depth, bool after_text) noexcept {
  if (depth > 0 && !after_text) add_line(m, depth);
  // Summed wide, checked once per element: one map cannot hold enough bytes
  // to carry a 128-bit sum over.
  unsigned __int128 fixed = 1 + name.size();
  unsigned __int128 content = 0;
  for (const auto& entry : attrs) {
    fixed += entry.key.size() + 4;
    content += entry.value.size();
  }
  if (!text && child_count == 0) {
    fixed += 2;
  } else {
    fixed += 1 + 3 + name.size();
    if (text) content += text->size();
    if (child_count > 0) add_line(m, depth);
  }
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  add(m, m.fixed, fixed > kMax ? kMax : static_cast<uint64_t>(fixed));
  add(m, m.content, content > kMax ? kMax : static_cast<uint64_t>(content));
}

void count_element(DocumentMeasure& m, const PlainElement& e, size_t child_count, uint64_t depth,
                   bool after_text) noexcept {
  count_parts(m, e.name, e.attrs, e.text, child_count, depth, after_text);
}

DocumentMeasure measure(const PlainElement& root) noexcept {
  DocumentMeasure m;
  try {
    measure_tree<ConstPlainTree>(&root, UINT64_MAX, &m);
  } catch (...) {
    m.saturated = true;  // cannot even walk it: refuse the document
  }
  return m;
}

Result<uint64_t, SizeProblem> check_output_size(const DocumentMeasure& m, uint64_t indent,
                                                 bool declaration, uint64_t memory,
                                                 bool in_memory) noexcept {
  constexpr uint64_t kMaxSize = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  uint64_t spaces = 0;
  if (__builtin_mul_overflow(indent, m.line_depths, &spaces)) return fail(SizeProblem::TooLarge);
  uint64_t total = declaration ? kXmlDeclaration.size() : 0;
  if (m.saturated || __builtin_add_overflow(total, m.fixed, &total) ||
      __builtin_add_overflow(total, m.content, &total) ||
      __builtin_add_overflow(total, spaces, &total) || total > kMaxSize)
    return fail(SizeProblem::TooLarge);
  if (spaces > memory) return fail(SizeProblem::IndentTooLarge);
  if (in_memory && total > memory) return fail(SizeProblem::ExceedsMemory);
  return total;
}

namespace {

uint64_t query_physical_memory() noexcept {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return std::numeric_limits<uint64_t>::max();
  uint64_t bytes;
  if (__builtin_mul_overflow(static_cast<uint64_t>(pages), static_cast<uint64_t>(page), &bytes))
    return std::numeric_limits<uint64_t>::max();
  return bytes;
}

}  // namespace

// Asked once per process: the query is a system call, and every write asks
// (a document of a few hundred bytes is written in about a microsecond).
uint64_t physical_memory() noexcept {
  static const uint64_t bytes = query_physical_memory();
  return bytes;
}

}  // namespace orvex
