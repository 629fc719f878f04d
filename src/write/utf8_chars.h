// Turning the writer's UTF-8 output into the fixed-width characters of a
// Python str (1, 2 or 4 bytes each): one pass finds the width, one decodes.
// The interpreter's decoder does the same work with validation, a guess at
// the width that it revises (copying everything written so far) when a
// wider character turns up, and a per-character loop from there on; the
// writer's output is valid UTF-8 by construction and mostly ASCII.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd/simd.h"

namespace orvex {

// What decode_utf8 returns for bytes that are not well formed UTF-8 or do
// not fit the room given.
inline constexpr size_t kNotDecoded = SIZE_MAX;

// The largest character of each `widest` class (what a str of that width
// is created for).
inline constexpr uint32_t kWidestChar[4] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};

inline bool ascii_word(const uint8_t* s) noexcept {
  uint64_t w;
  std::memcpy(&w, s, 8);
  return (w & 0x8080808080808080ull) == 0;
}

// The widest class follows from the largest byte alone: continuation bytes
// stay below 0xC0, so a largest byte below 0x80 means ASCII, below 0xC4 at
// most U+00FF (leads 0xC2 and 0xC3), below 0xF0 at most U+FFFF.
inline uint8_t widest_of_max_byte(uint8_t b) noexcept {
  return b < 0x80 ? 0 : b < 0xC4 ? 1 : b < 0xF0 ? 2 : 3;
}

// The largest byte of [p, p + n) (0 when empty).
inline uint8_t max_byte(const char* p, size_t n) noexcept {
  using simd::Vec;
  const auto* s = reinterpret_cast<const uint8_t*>(p);
  const uint8_t* e = s + n;
  uint8_t largest = 0;
  if (e - s >= 16) {
    Vec acc = Vec::load(s);
    for (s += 16; e - s >= 64; s += 64)
      acc = Vec::max(acc, Vec::max(Vec::max(Vec::load(s), Vec::load(s + 16)), Vec::max(Vec::load(s + 32), Vec::load(s + 48))));
    for (; e - s >= 16; s += 16) acc = Vec::max(acc, Vec::load(s));
    largest = acc.max_lane();
  }
  for (; s != e; ++s) largest = *s > largest ? *s : largest;
  return largest;
}

// The class of the widest character (0 ASCII, 1 up to U+00FF, 2 up to
// U+FFFF, 3 beyond) of valid UTF-8.
inline uint8_t widest_class(const char* p, size_t n) noexcept { return widest_of_max_byte(max_byte(p, n)); }

// The number of characters of valid UTF-8: every byte but a continuation
// byte (10xxxxxx) starts one. Counted eight bytes at a time, in byte lanes
// summed before any can overflow.
inline size_t count_chars(const char* p, size_t n) noexcept {
  constexpr uint64_t kLow = 0x0101010101010101ull;
  constexpr uint64_t kPairs = 0x00FF00FF00FF00FFull;
  size_t continuation = 0;
  size_t i = 0;
  while (n - i >= 8) {
    const size_t stop = i + std::min((n - i) / 8, size_t{255}) * 8;
    uint64_t lanes = 0;
    for (; i < stop; i += 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      lanes += ((w & ~(w << 1)) >> 7) & kLow;  // bit 7 set, bit 6 clear
    }
    lanes = (lanes & kPairs) + ((lanes >> 8) & kPairs);
    continuation += static_cast<size_t>((lanes * 0x0001000100010001ull) >> 48);
  }
  for (; i < n; ++i) continuation += (static_cast<uint8_t>(p[i]) & 0xC0) == 0x80;
  return n - continuation;
}

// Decodes the one character at `s` (which must be before `e`) into `*out`,
// advancing both. False for a malformed sequence or one too wide for `Char`.
template <class Char>
inline bool decode_one(const uint8_t*& s, const uint8_t* e, Char*& out) noexcept {
  auto tail = [](uint8_t c) { return (c & 0xC0) == 0x80; };
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
  return true;
}

// The character of two or three bytes at `s` (a lead byte below 0xF0 and
// what follows it; `s` must have three readable bytes), decoded without a
// branch: its code point and length, and whether decode_one would take it
// as that (a well formed sequence whose character fits `Char`). Anything
// else is left to decode_one.
template <class Char>
inline bool decode_short(const uint8_t* s, uint32_t* c, unsigned* len) noexcept {
  const uint32_t b0 = s[0], b1 = s[1], b2 = s[2];
  const bool tail1 = (b1 & 0xC0) == 0x80;
  const bool tail2 = (b2 & 0xC0) == 0x80;
  const bool two = b0 - 0xC2 < 0x1E;    // 0xC2 to 0xDF
  const bool three = b0 - 0xE0 < 0x10;  // 0xE0 to 0xEF
  const uint32_t c2 = ((b0 & 0x1F) << 6) | (b1 & 0x3F);
  const uint32_t c3 = ((b0 & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
  *c = three ? c3 : c2;
  *len = three ? 3 : 2;
  return ((two & tail1) | (three & tail1 & tail2)) & (*c <= static_cast<Char>(~Char{0}));
}

// Decodes UTF-8 into `out`, which has room for `room` characters, each
// fitting `Char`: the number of characters, or kNotDecoded when the bytes
// are not well formed UTF-8 sequences or their characters do not fit.
// Never reads or writes out of bounds, whatever the bytes.
template <class Char>
size_t decode_utf8(const char* p, size_t n, Char* out, size_t room) noexcept {
  Char* const out_start = out;
  const auto* s = reinterpret_cast<const uint8_t*>(p);
  const uint8_t* e = s + n;
  Char* const out_end = out + room;
  if constexpr (sizeof(Char) <= 2) {
    // Sixteen bytes at a time are widened and stored (the lanes stored past
    // the characters are overwritten later). ASCII blocks are done at that;
    // otherwise the ASCII bytes before the first multi-byte character stand,
    // the character is decoded into the lane after them, and the next block
    // starts behind it. The character is decoded without branching on its
    // length: in text that mixes scripts the lengths follow no pattern a
    // branch could learn.
    while (e - s >= 18 && out_end - out >= 16) {
      const simd::Vec v = simd::Vec::load(s);
      if constexpr (sizeof(Char) == 1) {
        v.store(reinterpret_cast<uint8_t*>(out));
      } else {
        v.store_widened(reinterpret_cast<uint16_t*>(out));
      }
      const unsigned high = v.high_bits();
      if (high == 0) {
        s += 16;
        out += 16;
        continue;
      }
      const unsigned ascii = unsigned(__builtin_ctz(high));
      s += ascii;
      out += ascii;
      uint32_t c;
      unsigned len;
      if (decode_short<Char>(s, &c, &len)) [[likely]] {
        *out++ = static_cast<Char>(c);
        s += len;
      } else if (!decode_one(s, e, out)) {
        return kNotDecoded;
      }
    }
  }
  while (s != e) {
    if (e - s >= 8 && out_end - out >= 8 && ascii_word(s)) {
      for (int i = 0; i < 8; ++i) out[i] = static_cast<Char>(s[i]);
      out += 8;
      s += 8;
      continue;
    }
    if (out == out_end || !decode_one(s, e, out)) return kNotDecoded;
  }
  return static_cast<size_t>(out - out_start);
}

}  // namespace orvex
