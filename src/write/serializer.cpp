#include "write/serializer.h"

#include <array>
#include <cstring>
#include <limits>
#include <unistd.h>
#include <vector>

namespace orvex {

namespace {

// Per byte: 0 when copied as is, otherwise 1 + index into kReplacement.
// Row 0 is text mode, row 1 attribute mode.
constexpr std::string_view kReplacement[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;",
                                             "&#9;",  "&#13;", "&#10;"};

constexpr std::array<std::array<uint8_t, 256>, 2> make_tables() {
  std::array<std::array<uint8_t, 256>, 2> t{};
  for (int m = 0; m < 2; ++m) {
    t[m]['&'] = 1;
    t[m]['<'] = 2;
    t[m]['>'] = 3;
    t[m]['"'] = 4;
    t[m]['\''] = 5;
  }
  t[1]['\t'] = 6;
  t[1]['\r'] = 7;
  t[1]['\n'] = 8;
  return t;
}
constexpr auto kTables = make_tables();

const char* find_scalar(const char* p, const char* end, const uint8_t* table) noexcept {
  while (p != end && table[static_cast<uint8_t>(*p)] == 0) ++p;
  return p;
}

#if (defined(__GNUC__) || defined(__clang__)) && !defined(ORVEX_FORCE_SCALAR) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define ORVEX_WRITER_VECTOR 1
// Sixteen bytes at a time through the compiler's generic vectors (SSE2 or NEON
// depending on the target): compare against each special byte, then find the
// first hit in the two 64-bit halves of the combined mask.
typedef uint8_t V16 __attribute__((vector_size(16)));

template <bool kAttr>
const char* find_vector(const char* p, const char* end) noexcept {
  while (end - p >= 16) {
    V16 v;
    std::memcpy(&v, p, 16);
    auto hit = (v == '&') | (v == '<') | (v == '>') | (v == '"') | (v == '\'');
    if constexpr (kAttr) hit |= (v == '\t') | (v == '\r') | (v == '\n');
    uint64_t lo, hi;
    std::memcpy(&lo, &hit, 8);
    std::memcpy(&hi, reinterpret_cast<const char*>(&hit) + 8, 8);
    if (lo) return p + (__builtin_ctzll(lo) >> 3);
    if (hi) return p + 8 + (__builtin_ctzll(hi) >> 3);
    p += 16;
  }
  return find_scalar(p, end, kTables[kAttr ? 1 : 0].data());
}
#endif

}  // namespace

const char* find_escapable(const char* p, const char* end, EscapeMode mode) noexcept {
#ifdef ORVEX_WRITER_VECTOR
  return mode == EscapeMode::Attr ? find_vector<true>(p, end) : find_vector<false>(p, end);
#else
  return find_scalar(p, end, kTables[mode == EscapeMode::Attr ? 1 : 0].data());
#endif
}

std::string_view replacement_for(char c) noexcept {
  return kReplacement[kTables[1][static_cast<uint8_t>(c)] - 1];
}

namespace {

// Drops an element's strings and map once it has been written. Its children
// were released before it, so this never recurses.
void release(PlainElement& e) noexcept {
  e.name = SharedStr();
  e.attrs.clear();
  e.text.reset();
  std::vector<PlainElement>().swap(e.children);
}

}  // namespace

template <class Sink>
bool serialize(Sink& sink, PlainElement& root, uint64_t indent) {
  struct Open {
    PlainElement* e;
    size_t next;  // index of the next child to write
  };
  std::vector<Open> open;
  uint64_t depth = 0;
  bool after_markup = false;
  auto line_break = [&]() { return sink.write("\n", 1) && sink.spaces(indent * depth); };

  PlainElement* e = &root;
  while (e != nullptr) {
    // Start tag (or empty-element tag) of e.
    if (after_markup && !line_break()) return false;
    after_markup = true;
    if (!sink.write("<", 1) || !sink.write(e->name.sv())) return false;
    for (const auto& entry : e->attrs) {
      if (!sink.write(" ", 1) || !sink.write(entry.key.sv()) || !sink.write("=\"", 2) ||
          !escape(sink, entry.value.sv(), EscapeMode::Attr) || !sink.write("\"", 1))
        return false;
    }
    if (!e->text && e->children.empty()) {
      if (!sink.write("/>", 2)) return false;
      release(*e);
    } else {
      if (!sink.write(">", 1)) return false;
      ++depth;
      if (e->text) {
        if (!escape(sink, e->text->sv(), EscapeMode::Text)) return false;
        after_markup = false;
      }
      open.push_back({e, 0});
    }

    // Next element to start: the next unwritten child of the innermost open
    // element; elements with none left are closed on the way out.
    e = nullptr;
    while (!open.empty()) {
      Open& top = open.back();
      if (top.next < top.e->children.size()) {
        e = &top.e->children[top.next++];
        break;
      }
      --depth;
      if (after_markup && !line_break()) return false;
      after_markup = true;
      if (!sink.write("</", 2) || !sink.write(top.e->name.sv()) || !sink.write(">", 1))
        return false;
      release(*top.e);
      open.pop_back();
    }
  }
  return true;
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
void count_element(DocumentMeasure& m, const PlainElement& e, size_t child_count, uint64_t depth,
                   bool after_text) noexcept {
  if (depth > 0 && !after_text) add_line(m, depth);
  add(m, m.fixed, 1 + e.name.size());
  for (const auto& entry : e.attrs) {
    add(m, m.fixed, entry.key.size() + 4);
    add(m, m.content, entry.value.size());
  }
  if (!e.text && child_count == 0) {
    add(m, m.fixed, 2);
    return;
  }
  add(m, m.fixed, 1 + 3 + e.name.size());
  if (e.text) add(m, m.content, e.text->size());
  if (child_count > 0) add_line(m, depth);
}

DocumentMeasure measure(const PlainElement& root) noexcept {
  struct Open {
    const PlainElement* e;
    size_t next;
  };
  DocumentMeasure m;
  std::vector<Open> open;
  count_element(m, root, root.children.size(), 0, false);
  try {
    open.push_back({&root, 0});
    while (!open.empty()) {
      Open& top = open.back();
      if (top.next == top.e->children.size()) {
        open.pop_back();
        continue;
      }
      bool after_text = top.next == 0 && top.e->text.has_value();
      const PlainElement* child = &top.e->children[top.next++];
      count_element(m, *child, child->children.size(), open.size(), after_text);
      open.push_back({child, 0});
    }
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

uint64_t physical_memory() noexcept {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return std::numeric_limits<uint64_t>::max();
  uint64_t bytes;
  if (__builtin_mul_overflow(static_cast<uint64_t>(pages), static_cast<uint64_t>(page), &bytes))
    return std::numeric_limits<uint64_t>::max();
  return bytes;
}

}  // namespace orvex
