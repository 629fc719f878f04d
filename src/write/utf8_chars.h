// Turning the writer's UTF-8 output into the fixed-width characters of a
// Python str (1, 2 or 4 bytes each) in one counting pass and one copying
// pass. The interpreter's decoder does the same work with validation, a
// guess at the width that it revises (copying everything written so far)
// when a wider character turns up, and a per-character loop from there on;
// the writer's output is valid UTF-8 by construction and mostly ASCII.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvex {

// Characters and the widest of them in valid UTF-8.
struct Utf8Count {
  size_t chars = 0;
  size_t non_ascii = 0;  // bytes of multi-byte characters
  uint8_t widest = 0;    // 0 ASCII, 1 up to U+00FF, 2 up to U+FFFF, 3 beyond
};

// The largest character of each `widest` class (what a str of that width
// is created for).
inline constexpr uint32_t kWidestChar[4] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};

inline bool ascii_word(const uint8_t* s) noexcept {
  uint64_t w;
  std::memcpy(&w, s, 8);
  return (w & 0x8080808080808080ull) == 0;
}

// The lead byte tells the width exactly for valid UTF-8: 0xC2-0xC3 start
// U+0080-U+00FF, 0xC4-0xEF up to U+FFFF, 0xF0-0xF4 beyond. Eight bytes at a
// time, on the bits of each byte: bit 7 set is non-ASCII, bits 7 and 6 a
// lead byte, a lead with any of bits 5-2 set is 0xC4 or above, one with
// bits 7-4 all set is 0xF0 or above. Shifting the word left by k brings bit
// 7-k of each byte to its bit 7, never another byte's bit.
inline uint8_t width_of_lead(uint8_t b) noexcept { return b < 0xC4 ? 1 : b < 0xF0 ? 2 : 3; }

// How many of the bytes have bit 7 set, given only such bits.
inline size_t top_bits(uint64_t x) noexcept {
  return static_cast<size_t>(((x >> 7) * 0x0101010101010101ull) >> 56);
}

inline Utf8Count count_utf8(const char* p, size_t n) noexcept {
  constexpr uint64_t kTop = 0x8080808080808080ull;
  const auto* s = reinterpret_cast<const uint8_t*>(p);
  const uint8_t* e = s + n;
  size_t continuation = 0;
  size_t non_ascii = 0;
  uint64_t any_lead = 0, any_wide2 = 0, any_wide3 = 0;
  for (; e - s >= 8; s += 8) {
    uint64_t w;
    std::memcpy(&w, s, 8);
    const uint64_t high = w & kTop;
    if (high == 0) continue;
    const uint64_t lead = high & (w << 1);
    non_ascii += top_bits(high);
    continuation += top_bits(high & ~lead);
    any_lead |= lead;
    any_wide2 |= lead & ((w << 2) | (w << 3) | (w << 4) | (w << 5));
    any_wide3 |= lead & (w << 2) & (w << 3);
  }
  uint8_t widest = any_wide3 ? 3 : any_wide2 ? 2 : any_lead ? 1 : 0;
  for (; s != e; ++s) {
    if (*s < 0x80) continue;
    ++non_ascii;
    if (*s < 0xC0) ++continuation;
    else if (width_of_lead(*s) > widest) widest = width_of_lead(*s);
  }
  return {n - continuation, non_ascii, widest};
}

// Decodes UTF-8 into `out`, which has room for `room` characters, each
// fitting `Char`. True when the bytes were well formed UTF-8 sequences that
// filled `out` exactly. Never reads or writes out of bounds, whatever the
// bytes.
template <class Char>
bool decode_utf8(const char* p, size_t n, Char* out, size_t room) noexcept {
  const auto* s = reinterpret_cast<const uint8_t*>(p);
  const uint8_t* e = s + n;
  Char* const out_end = out + room;
  auto tail = [](uint8_t c) { return (c & 0xC0) == 0x80; };
  while (s != e) {
    if (e - s >= 8 && out_end - out >= 8 && ascii_word(s)) {
      for (int i = 0; i < 8; ++i) out[i] = static_cast<Char>(s[i]);
      out += 8;
      s += 8;
      continue;
    }
    if (out == out_end) return false;
    const uint32_t b = *s;
    uint32_t c;
    if (b < 0x80) {
      c = b;
      s += 1;
    } else if (b < 0xC2) {
      return false;  // a continuation byte or an overlong lead
    } else if (b < 0xE0) {
      if (e - s < 2 || !tail(s[1])) return false;
      c = ((b & 0x1F) << 6) | (s[1] & 0x3Fu);
      s += 2;
    } else if (b < 0xF0) {
      if (e - s < 3 || !tail(s[1]) || !tail(s[2])) return false;
      c = ((b & 0x0F) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
      s += 3;
    } else {
      if (e - s < 4 || !tail(s[1]) || !tail(s[2]) || !tail(s[3])) return false;
      c = ((b & 0x07) << 18) | ((s[1] & 0x3Fu) << 12) | ((s[2] & 0x3Fu) << 6) | (s[3] & 0x3Fu);
      s += 4;
    }
    if (c > static_cast<Char>(~Char{0})) return false;
    *out++ = static_cast<Char>(c);
  }
  return out == out_end;
}

}  // namespace orvex
