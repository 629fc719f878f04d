// The scanning vocabulary, written once against the vector interface: find
// a byte, find a member of a set of bytes, count bytes. The templates take
// the backend as a parameter so tests can run any backend next to the
// scalar one; callers use the functions that run the active backend.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "simd/simd.h"

namespace orvex::simd {

inline constexpr size_t npos = static_cast<size_t>(-1);

// A set of byte values fixed at compile time, defined once for both ways of
// testing bytes: a byte against the 256-entry table (what character-class
// tables are built from), sixteen at a time against the vector.
template <uint8_t... Bs>
struct ByteSet {
  static constexpr std::array<bool, 256> kMembers = [] {
    std::array<bool, 256> t{};
    ((t[Bs] = true), ...);
    return t;
  }();
  static constexpr bool contains(uint8_t c) noexcept { return kMembers[c]; }
  static constexpr bool contains(char c) noexcept { return kMembers[static_cast<uint8_t>(c)]; }
  // Lanes holding a member become 0xFF, the others 0.
  template <class V>
  static V match(const V& v) noexcept {
    return (v.eq(Bs) | ...);
  }
};

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

// Occurrences of each of `Cs` in d[0, len). A comparison's match is 0xFF,
// minus one: subtracting it counts per lane, and the lanes are added up
// every 255 vectors, before one can wrap.
template <class V, uint8_t... Cs>
std::array<uint64_t, sizeof...(Cs)> count_with(const uint8_t* d, size_t len) noexcept {
  constexpr size_t n = sizeof...(Cs);
  constexpr uint8_t bytes[n] = {Cs...};
  std::array<uint64_t, n> total{};
  size_t i = 0;
  while (len - i >= 16) {
    V lanes[n] = {};
    for (size_t k = 0; k < 255 && len - i >= 16; ++k, i += 16) {
      const V v = V::load(d + i);
      for (size_t c = 0; c < n; ++c) lanes[c] = V::sub(lanes[c], v.eq(bytes[c]));
    }
    for (size_t c = 0; c < n; ++c) total[c] += lanes[c].sum();
  }
  for (; i < len; ++i)
    for (size_t c = 0; c < n; ++c) total[c] += d[i] == bytes[c];
  return total;
}

// The first member of `Set` in [p, end), or nullptr. Inputs shorter than one
// vector (most attribute values and short texts) are tested byte by byte;
// longer ones a vector at a time, and by one last vector ending at the
// final byte (it overlaps bytes known not to match, so its first match is
// the answer).
template <class Set, class V = Vec>
const char* find_member(const char* p, const char* end) noexcept {
  if (end - p < 16) {
    for (; p < end; ++p)
      if (Set::contains(*p)) return p;
    return nullptr;
  }
  const auto at = [](const char* q) { return Set::match(V::load(reinterpret_cast<const uint8_t*>(q))); };
  for (; end - p >= 16; p += 16)
    if (const V m = at(p); m.any()) return p + m.first();
  if (p == end) return nullptr;
  const V m = at(end - 16);
  return m.any() ? end - 16 + m.first() : nullptr;
}

// The same with the active backend (inline: the index calls it once per tag).
inline size_t find_byte(const uint8_t* d, size_t len, size_t from, uint8_t c) noexcept {
  return find_byte_with<Vec>(d, len, from, c);
}
// The first `c` in [p, end), or nullptr.
inline const char* find_byte(const char* p, const char* end, char c) noexcept {
  const size_t at = find_byte(reinterpret_cast<const uint8_t*>(p), static_cast<size_t>(end - p), 0, uint8_t(c));
  return at == npos ? nullptr : p + at;
}
template <uint8_t... Cs>
inline std::array<uint64_t, sizeof...(Cs)> count(const uint8_t* d, size_t len) noexcept {
  return count_with<Vec, Cs...>(d, len);
}

}  // namespace orvex::simd
