// Forward byte searches used by the decoder and the scanner. Everything that
// looks for bytes inside a text range or an attribute value goes through
// these functions, so the technique can change in one place.
//
// Inputs shorter than one vector are compared byte by byte (most attribute
// values and short texts). Longer ones go through the 16-byte vector type:
// one byte through the shared vectorised search, the attribute set with one
// compare per member, and a final unaligned vector ending at the last byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "index/char_class.h"
#include "simd/search.h"
#include "simd/simd.h"

namespace orvex::read {

// First occurrence of `c` in [p, end), or nullptr.
inline const char* find_byte(const char* p, const char* end, char c) noexcept {
  const size_t n = static_cast<size_t>(end - p);
  if (n < 16) {
    for (; p < end; ++p)
      if (*p == c) return p;
    return nullptr;
  }
  size_t at = simd::find_byte(p, n, 0, c);
  return at == simd::npos ? nullptr : p + at;
}

namespace detail {

inline bool attr_special(char b) noexcept { return has_class(b, kValueDecodes); }

template <class V>
inline V attr_special(const char* p) noexcept {
  V v = V::load(reinterpret_cast<const uint8_t*>(p));
  return v.eq('&') | v.eq('\t') | v.eq('\n') | v.eq('\r');
}

}  // namespace detail

// First '&', TAB, LF or CR in [p, end), or nullptr: the bytes that end an
// attribute value's unchanged run.
inline const char* find_attr_special(const char* p, const char* end) noexcept {
  using V = simd::Vec;
  if (end - p < 16) {
    for (; p < end; ++p)
      if (detail::attr_special(*p)) return p;
    return nullptr;
  }
  for (; end - p >= 16; p += 16) {
    V m = detail::attr_special<V>(p);
    if (m.any()) return p + m.first();
  }
  if (p == end) return nullptr;
  // The last vector overlaps bytes known not to match: its first match is the answer.
  V m = detail::attr_special<V>(end - 16);
  return m.any() ? end - 16 + m.first() : nullptr;
}

}  // namespace orvex::read
