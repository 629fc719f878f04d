// Byte searches over a buffer, written once against the vector interface.
// The templates take the backend as a parameter so tests can run any backend
// next to the scalar one; callers use the non-template functions, which run
// the active backend.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/simd.h"

namespace orvex::simd {

inline constexpr size_t npos = static_cast<size_t>(-1);

// Offset of the first byte equal to c in d[from, len), or npos.
//
// Short remainders are compared byte by byte. Otherwise: one unaligned
// vector at `from`; then, from the next 16-byte boundary, four vectors per
// step while 64 bytes remain; then single vectors; and one last unaligned
// vector ending at the final byte (it overlaps bytes already known not to
// match, so its first match is the answer).
template <class V>
size_t find_byte_with(const uint8_t* d, size_t len, size_t from, uint8_t c) noexcept {
  if (from >= len) return npos;
  if (len - from < 16) {
    for (size_t i = from; i < len; ++i)
      if (d[i] == c) return i;
    return npos;
  }
  V m = V::load(d + from).eq(c);
  if (m.any()) return from + m.first();
  size_t i = from + 16 - (reinterpret_cast<uintptr_t>(d + from) & 15);
  while (len - i >= 64) {
    V a = V::load(d + i).eq(c), b = V::load(d + i + 16).eq(c);
    V e = V::load(d + i + 32).eq(c), f = V::load(d + i + 48).eq(c);
    if ((a | b | e | f).any()) {
      if (a.any()) return i + a.first();
      if (b.any()) return i + 16 + b.first();
      if (e.any()) return i + 32 + e.first();
      return i + 48 + f.first();
    }
    i += 64;
  }
  while (len - i >= 16) {
    m = V::load(d + i).eq(c);
    if (m.any()) return i + m.first();
    i += 16;
  }
  if (i < len) {
    m = V::load(d + len - 16).eq(c);
    if (m.any()) return len - 16 + m.first();
  }
  return npos;
}

struct ByteCounts {
  uint64_t a = 0;
  uint64_t b = 0;
};

// Occurrences of two byte values in d[0, len).
template <class V>
ByteCounts count_two_with(const uint8_t* d, size_t len, uint8_t a, uint8_t b) noexcept {
  ByteCounts n;
  size_t i = 0;
  for (; len - i >= 16; i += 16) {
    V v = V::load(d + i);
    n.a += v.eq(a).count();
    n.b += v.eq(b).count();
  }
  for (; i < len; ++i) {
    n.a += d[i] == a;
    n.b += d[i] == b;
  }
  return n;
}

// The same with the active backend (inline: the index calls it once per tag).
inline size_t find_byte(const uint8_t* d, size_t len, size_t from, uint8_t c) noexcept {
  return find_byte_with<Vec>(d, len, from, c);
}
inline size_t find_byte(const char* d, size_t len, size_t from, char c) noexcept {
  return find_byte_with<Vec>(reinterpret_cast<const uint8_t*>(d), len, from, uint8_t(c));
}
inline ByteCounts count_two(const uint8_t* d, size_t len, uint8_t a, uint8_t b) noexcept {
  return count_two_with<Vec>(d, len, a, b);
}

}  // namespace orvex::simd
