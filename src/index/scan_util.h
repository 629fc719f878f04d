// Small helpers shared by both builds of the structural index.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "index/structural.h"
#include "simd/search.h"

namespace orvex::index::detail {

// Byte classes for name ends. Every byte above '?' continues a name, so UTF-8
// sequences always belong to names. FF ends names, vertical tab does not.
enum : uint8_t {
  kEndsStartName = 1,  // start and empty-element tags
  kEndsEndName = 2,    // end tags
  kEndsPiName = 4,     // processing-instruction targets
  kInTagSpecial = 8,   // bytes the start-tag attribute scan must look at
};

constexpr std::array<uint8_t, 256> make_byte_classes() {
  std::array<uint8_t, 256> t{};
  for (uint8_t ws : {'\t', '\n', '\f', '\r', ' '}) t[ws] = kEndsStartName | kEndsEndName | kEndsPiName;
  t['/'] |= kEndsStartName | kInTagSpecial;
  t['>'] |= kEndsStartName | kEndsEndName | kEndsPiName | kInTagSpecial;
  t['?'] |= kEndsPiName;
  t['"'] |= kInTagSpecial;
  t['\''] |= kInTagSpecial;
  return t;
}
inline constexpr std::array<uint8_t, 256> kByteClass = make_byte_classes();

// First offset at or after `from` whose byte has class `cls`, or len.
inline size_t skip_until(const uint8_t* d, size_t len, size_t from, uint8_t cls) noexcept {
  while (from < len && !(kByteClass[d[from]] & cls)) ++from;
  return from;
}

inline void reserve_for(StructuralIndex& ix, size_t len) {
  const size_t n = len / 128;
  ix.tag_start.reserve(n);
  ix.tag_end.reserve(n);
  ix.kind.reserve(n);
  ix.name_offset.reserve(n);
  ix.name_len.reserve(n);
  ix.text.reserve(len / 256);
}

// Capacity for an array that is full with n entries after `at` of `len`
// bytes: the density so far, extrapolated to the whole document with a
// little spare, so that a document of uniform markup regrows about once
// (every regrowth copies the array and faults in fresh pages). Never less
// than 1.5 n, so growth stays geometric when markup gets denser later.
inline size_t grown_capacity(size_t n, uint64_t at, size_t len) noexcept {
  const size_t geometric = n + n / 2 + 16;
  if (at == 0) return geometric;
  const double estimate = double(n) * double(len) / double(at) * 1.0625 + 64.0;
  const double most = double(len) / 2.0 + 16.0;  // every construct takes 2 bytes or more
  const double want = estimate < most ? estimate : most;
  return want > double(geometric) ? size_t(want) : geometric;
}

// The rare regrowths, kept out of line so that the appends below inline
// into the builds' loops.
[[gnu::noinline]] inline void grow_text(StructuralIndex& ix, size_t len, uint64_t at) {
  ix.text.reserve(grown_capacity(ix.text.size(), at, len));
}
[[gnu::noinline]] inline void grow_constructs(StructuralIndex& ix, size_t len, uint64_t at) {
  const size_t cap = grown_capacity(ix.tag_start.size(), at, len);
  ix.tag_start.reserve(cap);
  ix.tag_end.reserve(cap);
  ix.kind.reserve(cap);
  ix.name_offset.reserve(cap);
  ix.name_len.reserve(cap);
}

[[gnu::always_inline]] inline void add_text(StructuralIndex& ix, size_t len, uint64_t start, uint64_t end) {
  if (ix.text.size() == ix.text.capacity()) [[unlikely]] grow_text(ix, len, start);
  ix.text.push_back({start, end});
}

[[gnu::always_inline]] inline void add_construct(StructuralIndex& ix, size_t len, uint64_t start, uint64_t end, TagKind kind,
                          uint64_t name_offset = 0, uint64_t name_len = 0) {
  if (ix.tag_start.size() == ix.tag_start.capacity()) [[unlikely]] grow_constructs(ix, len, start);
  ix.tag_start.push_back(start);
  ix.tag_end.push_back(end);
  ix.kind.push_back(kind);
  ix.name_offset.push_back(name_offset);
  ix.name_len.push_back(name_len);
}

// Offset of the first "-->" whose '-' is at or after `from`, or npos.
inline size_t find_comment_close(const uint8_t* d, size_t len, size_t from) noexcept {
  for (;;) {
    size_t r = simd::find_byte_with<simd::Vec>(d, len, from, '-');
    if (r == simd::npos) return r;
    if (r + 2 < len && d[r + 1] == '-' && d[r + 2] == '>') return r;
    from = r + 1;
  }
}

// The closing "]]>" of a CDATA section whose content starts at `from`. When
// found, `at` is the offset of its first ']'; otherwise `at` is where the
// last search started (len when the input was used up).
struct CdataClose {
  bool found;
  size_t at;
};
inline CdataClose find_cdata_close(const uint8_t* d, size_t len, size_t from) noexcept {
  size_t s = from;
  while (s < len) {
    size_t r = simd::find_byte_with<simd::Vec>(d, len, s, ']');
    if (r == simd::npos) break;
    if (r + 2 < len && d[r + 1] == ']' && d[r + 2] == '>') return {true, r};
    s = r + 1;
  }
  return {false, s};
}

// End of a processing instruction whose target name ends at k (k + 1 < len):
// the '>' of the first "?>" at or after k, or len - 1 when none completes
// before the end.
inline size_t pi_end(const uint8_t* d, size_t len, size_t k) noexcept {
  const size_t limit = len - 2;  // a "?>" must start below it
  for (size_t s = k;;) {
    size_t r = simd::find_byte_with<simd::Vec>(d, limit, s, '?');
    if (r == simd::npos) return len - 1;
    if (d[r + 1] == '>') return r + 1;
    s = r + 1;
  }
}

}  // namespace orvex::index::detail
