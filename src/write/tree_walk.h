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

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "simd/simd.h"
#include "write/serializer.h"
#include "write/sinks.h"

namespace orvex {

// The pieces of markup, written through any sink's write/spaces. The
// memory sink has faster versions below.
template <class Sink>
bool put_line(Sink& sink, uint64_t spaces) {
  return sink.write("\n", 1) && sink.spaces(spaces);
}
template <class Sink>
bool put_start(Sink& sink, const SharedStr& name) {
  return sink.write("<", 1) && sink.write(name.sv());
}
template <class Sink>
bool put_attr(Sink& sink, const SharedStr& key, const SharedStr& value) {
  return sink.write(" ", 1) && sink.write(key.sv()) && sink.write("=\"", 2) &&
         escape(sink, value.sv(), EscapeMode::Attr) && sink.write("\"", 1);
}
template <class Sink>
bool put_text(Sink& sink, const SharedStr& text) {
  return escape(sink, text.sv(), EscapeMode::Text);
}
template <class Sink>
bool put_end(Sink& sink, const SharedStr& name) {
  return sink.write("</", 2) && sink.write(name.sv()) && sink.write(">", 1);
}

// The memory sink's pieces: one room check per piece, and short strings
// copied and tested for escaping by whole 16-byte vectors. A vector may
// read past a string only where the bytes are still its own document's (a
// view with 16 bytes of its buffer left, see over_readable) and may store
// past the piece into the room reserved with it; the bytes stored past are
// overwritten by the next piece.
namespace fast {

inline constexpr size_t kBlock = 16;

// Whether the 16-byte block at the start of `s`, and every one starting
// inside it, lies within memory that belongs to s's buffer.
inline bool over_readable(const SharedStr& s) noexcept {
  if (!s.is_view()) return false;
  const SourceBuffer* b = s.buffer();
  return static_cast<size_t>(b->data() + b->size() - s.data()) >= s.size() + kBlock;
}

inline uint32_t low_bits(size_t n) noexcept { return n >= 32 ? ~0u : (1u << n) - 1; }

// Copies a string that needs no escaping.
inline char* put_raw(char* o, const SharedStr& s, bool readable) noexcept {
  const size_t n = s.size();
  if (readable && n <= kBlock) {
    std::memcpy(o, s.data(), kBlock);
  } else if (n > 0) {
    std::memcpy(o, s.data(), n);
  }
  return o + n;
}

// Writes `s` escaped in `mode` by 16-byte blocks that are tested and copied
// whole. Where `s` is not over-readable, its last partial block is first
// copied to a local block.
template <EscapeMode mode>
inline bool put_escaped(MemorySink& sink, const SharedStr& s) {
  const size_t n = s.size();
  if (n == 0) return true;
  const bool readable = over_readable(s);
  // Room for the rest unescaped, a block stored past it and one reference.
  constexpr size_t kSlack = kBlock + sizeof(Reference::text);
  const char* p = s.data();
  const char* const end = p + n;
  char* o = sink.room(n + kSlack);
  if (o == nullptr) return false;
  while (true) {
    const size_t left = static_cast<size_t>(end - p);
    const char* block = p;
    char local[kBlock];
    if (left < kBlock && !readable) {
      std::memset(local, 0, kBlock);
      std::memcpy(local, p, left);
      block = local;
    }
    const uint32_t hits = escapable_bits<mode>(block) & low_bits(left);
    std::memcpy(o, block, kBlock);
    if (hits == 0) {
      if (left <= kBlock) {
        sink.commit(o + left);
        return true;
      }
      p += kBlock;
      o += kBlock;
      continue;
    }
    const unsigned k = static_cast<unsigned>(__builtin_ctz(hits));
    const Reference& ref = reference_for(block[k]);
    std::memcpy(o + k, ref.text, sizeof(ref.text));
    p += k + 1;
    sink.commit(o + k + ref.size);
    if (p == end) return true;
    o = sink.room(static_cast<size_t>(end - p) + kSlack);
    if (o == nullptr) return false;
  }
}

}  // namespace fast

inline bool put_line(MemorySink& sink, uint64_t spaces) {
  constexpr uint64_t kShort = 3 * fast::kBlock;
  if (spaces > kShort) return sink.write("\n", 1) && sink.spaces(spaces);
  char* o = sink.room(1 + kShort);
  if (o == nullptr) return false;
  *o = '\n';
  std::memset(o + 1, ' ', kShort);
  sink.commit(o + 1 + spaces);
  return true;
}

inline bool put_start(MemorySink& sink, const SharedStr& name) {
  char* o = sink.room(1 + name.size() + fast::kBlock);
  if (o == nullptr) return false;
  *o++ = '<';
  sink.commit(fast::put_raw(o, name, fast::over_readable(name)));
  return true;
}

inline bool put_attr(MemorySink& sink, const SharedStr& key, const SharedStr& value) {
  char* o = sink.room(4 + key.size() + value.size() + 2 * fast::kBlock);
  if (o == nullptr) return false;
  *o++ = ' ';
  o = fast::put_raw(o, key, fast::over_readable(key));
  *o++ = '=';
  *o++ = '"';
  const size_t n = value.size();
  if (n <= fast::kBlock && fast::over_readable(value) &&
      (escapable_bits<EscapeMode::Attr>(value.data()) & fast::low_bits(n)) == 0) {
    std::memcpy(o, value.data(), fast::kBlock);
    o += n;
    *o++ = '"';
    sink.commit(o);
    return true;
  }
  sink.commit(o);
  return fast::put_escaped<EscapeMode::Attr>(sink, value) && sink.write("\"", 1);
}

inline bool put_text(MemorySink& sink, const SharedStr& text) {
  return fast::put_escaped<EscapeMode::Text>(sink, text);
}

inline bool put_end(MemorySink& sink, const SharedStr& name) {
  char* o = sink.room(3 + name.size() + fast::kBlock);
  if (o == nullptr) return false;
  *o++ = '<';
  *o++ = '/';
  o = fast::put_raw(o, name, fast::over_readable(name));
  *o++ = '>';
  sink.commit(o);
  return true;
}

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
    return put_line(sink, n);
  };

  constexpr size_t kLongText = 512;
  Element e = root;
  bool have = true;
  while (have) {
    // Start tag (or empty-element tag) of e.
    if (after_markup && !line_break()) return false;
    after_markup = true;
    if (!put_start(sink, Tree::name(e))) return false;
    const auto& attrs = Tree::attrs(e);
    // Stops at the last entry instead of scanning the table's empty tail.
    if (size_t left = attrs.size()) {
      for (auto it = attrs.begin();; ++it) {
        if (!put_attr(sink, it->key, it->value)) return false;
        if (--left == 0) break;
      }
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
        // While a long text is copied there is time to fetch the next
        // sibling from memory: the bytes of its name lie far from here in
        // the document, its text (when references were decoded) elsewhere
        // in the heap. Its record was asked for one sibling earlier. For
        // short texts the extra loads cost more than they save.
        if (text->size() >= kLongText && !open.empty()) {
          const Open& parent = open.back();
          const size_t count = Tree::child_count(parent.e);
          if (parent.next < count) {
            const Element next = Tree::child(parent.e, parent.next);
            __builtin_prefetch(Tree::name(next).data());
            if (const OptStr& t = Tree::text(next)) __builtin_prefetch(t->data());
            if (parent.next + 1 < count) __builtin_prefetch(Tree::child(parent.e, parent.next + 1));
          }
        }
        if (!put_text(sink, *text)) return false;
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
      if (!put_end(sink, Tree::name(top.e))) return false;
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
