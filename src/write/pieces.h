// The pieces of markup the writer's walk puts into a sink: a line break
// with its indentation, a start tag's '<' and name, an attribute, a text,
// an end tag. Any sink with write/spaces takes the generic ones; the memory
// sink and the counting sink have their own.
//
// `readable` is where the bytes that the element's borrowed strings view may
// be read past end (the end of their document), or null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "storage/shared_str.h"
#include "write/escape.h"
#include "write/sinks.h"

namespace orvex {

// Writes `s` escaped: unescaped runs go to the sink as whole pieces.
template <class Sink>
bool escape(Sink& sink, std::string_view s, EscapeMode mode) {
  const char* run = s.data();
  const char* end = run + s.size();
  for (const char* p = find_escapable(run, end, mode); p != end; p = find_escapable(run, end, mode)) {
    if (p != run && !sink.write(run, static_cast<size_t>(p - run))) return false;
    if (!sink.write(reference_for(*p).sv())) return false;
    run = p + 1;
  }
  return run == end || sink.write(run, static_cast<size_t>(end - run));
}

// The pieces of markup, written through any sink's write/spaces. The
// memory sink has faster versions below, and the counting sink its own.
template <class Sink>
bool put_line(Sink& sink, uint64_t spaces) {
  return sink.write("\n", 1) && sink.spaces(spaces);
}
template <class Sink>
bool put_start(Sink& sink, const SharedStr& name, const char*) {
  return sink.write("<", 1) && sink.write(name.sv());
}
template <class Sink>
bool put_attr(Sink& sink, const SharedStr& key, const SharedStr& value, const char*) {
  return sink.write(" ", 1) && sink.write(key.sv()) && sink.write("=\"", 2) &&
         escape(sink, value.sv(), EscapeMode::Attr) && sink.write("\"", 1);
}
template <class Sink>
bool put_text(Sink& sink, const SharedStr& text, const char*) {
  return escape(sink, text.sv(), EscapeMode::Text);
}
template <class Sink>
bool put_end(Sink& sink, const SharedStr& name, const char*) {
  return sink.write("</", 2) && sink.write(name.sv()) && sink.write(">", 1);
}

// The memory sink's pieces: one room check per piece, and short strings
// copied and tested for escaping by whole 16-byte vectors. A vector may
// read past a string only where the bytes are still its own document's (a
// view with 16 bytes of its document left, see over_readable) and may store
// past the piece into the room reserved with it; the bytes stored past are
// overwritten by the next piece.
namespace fast {

inline constexpr size_t kBlock = 16;

// Whether the 16-byte block at the start of `s`, and every one starting
// inside it, lies within the document `s` views, which ends at `readable`.
inline bool over_readable(const SharedStr& s, const char* readable) noexcept {
  return s.is_borrowed() && readable != nullptr && static_cast<size_t>(readable - s.data()) >= s.size() + kBlock;
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
inline bool put_escaped(MemorySink& sink, const SharedStr& s, const char* readable_end) {
  const size_t n = s.size();
  if (n == 0) return true;
  const bool readable = over_readable(s, readable_end);
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

inline bool put_start(MemorySink& sink, const SharedStr& name, const char* readable) {
  char* o = sink.room(1 + name.size() + fast::kBlock);
  if (o == nullptr) return false;
  *o++ = '<';
  sink.commit(fast::put_raw(o, name, fast::over_readable(name, readable)));
  return true;
}

inline bool put_attr(MemorySink& sink, const SharedStr& key, const SharedStr& value, const char* readable) {
  char* o = sink.room(4 + key.size() + value.size() + 2 * fast::kBlock);
  if (o == nullptr) return false;
  *o++ = ' ';
  o = fast::put_raw(o, key, fast::over_readable(key, readable));
  *o++ = '=';
  *o++ = '"';
  const size_t n = value.size();
  if (n <= fast::kBlock && fast::over_readable(value, readable) &&
      (escapable_bits<EscapeMode::Attr>(value.data()) & fast::low_bits(n)) == 0) {
    std::memcpy(o, value.data(), fast::kBlock);
    o += n;
    *o++ = '"';
    sink.commit(o);
    return true;
  }
  sink.commit(o);
  return fast::put_escaped<EscapeMode::Attr>(sink, value, readable) && sink.write("\"", 1);
}

inline bool put_text(MemorySink& sink, const SharedStr& text, const char* readable) {
  return fast::put_escaped<EscapeMode::Text>(sink, text, readable);
}

inline bool put_end(MemorySink& sink, const SharedStr& name, const char* readable) {
  char* o = sink.room(3 + name.size() + fast::kBlock);
  if (o == nullptr) return false;
  *o++ = '<';
  *o++ = '/';
  o = fast::put_raw(o, name, fast::over_readable(name, readable));
  *o++ = '>';
  sink.commit(o);
  return true;
}


// Counts what a document will need instead of writing it: every byte
// except the references that escaping adds (so a lower bound), the
// indentation apart from the rest, and the elements, refusing more than
// `max_elements` of them: a few nodes shared at every level can stand for
// more elements than any file or memory could take, and the count stops
// early instead of walking them all. Counts saturate instead of wrapping.
class CountingSink {
 public:
  explicit CountingSink(uint64_t max_elements) noexcept : max_elements_(max_elements) {}

  bool write(const char*, size_t n) noexcept { return add(bytes_, n); }
  bool write(std::string_view s) noexcept { return add(bytes_, s.size()); }
  bool spaces(uint64_t n) noexcept { return add(spaces_, n); }
  bool element() noexcept { return ++elements_ <= max_elements_; }

  uint64_t bytes() const noexcept { return bytes_; }
  uint64_t spaces() const noexcept { return spaces_; }
  bool saturated() const noexcept { return saturated_; }
  bool too_many_elements() const noexcept { return elements_ > max_elements_; }

 private:
  bool add(uint64_t& field, uint64_t n) noexcept {
    if (__builtin_add_overflow(field, n, &field)) {
      field = UINT64_MAX;
      saturated_ = true;
    }
    return true;
  }

  uint64_t max_elements_;
  uint64_t bytes_ = 0;
  uint64_t spaces_ = 0;
  uint64_t elements_ = 0;
  bool saturated_ = false;
};

inline bool put_line(CountingSink& sink, uint64_t spaces) { return sink.write("\n", 1) && sink.spaces(spaces); }
inline bool put_start(CountingSink& sink, const SharedStr& name, const char*) {
  return sink.element() && sink.write(nullptr, 1 + name.size());
}
inline bool put_attr(CountingSink& sink, const SharedStr& key, const SharedStr& value, const char*) {
  return sink.write(nullptr, 4 + key.size() + value.size());
}
inline bool put_text(CountingSink& sink, const SharedStr& text, const char*) { return sink.write(nullptr, text.size()); }
inline bool put_end(CountingSink& sink, const SharedStr& name, const char*) {
  return sink.write(nullptr, 3 + name.size());
}

}  // namespace orvex
