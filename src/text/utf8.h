// UTF-8 in one place: what a well formed sequence is (one definition, which
// validation and decoding share), validation of file contents, encoding of
// code points and of a Python str's characters (1, 2 or 4 bytes each),
// counting characters, the widest character of a string, and decoding into
// fixed-width characters.
//
// Well formed means what Python's own codec accepts: no overlong forms, no
// surrogates, nothing above U+10FFFF, no stray or missing continuation bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd/simd.h"
#include "text/words.h"

namespace orvex::text {

inline bool continuation(uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

// The length (1 to 4) of the well formed sequence at `s` (which must be
// before `e`), or 0 when the bytes there are not one.
inline unsigned sequence_length(const uint8_t* s, const uint8_t* e) noexcept {
  const uint8_t b = s[0];
  if (b < 0x80) return 1;
  const size_t left = static_cast<size_t>(e - s);
  if (b >= 0xC2 && b <= 0xDF) return left >= 2 && continuation(s[1]) ? 2 : 0;
  if (b >= 0xE0 && b <= 0xEF) {
    if (left < 3 || !continuation(s[1]) || !continuation(s[2])) return 0;
    if (b == 0xE0 && s[1] < 0xA0) return 0;  // overlong
    if (b == 0xED && s[1] > 0x9F) return 0;  // a surrogate
    return 3;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    if (left < 4 || !continuation(s[1]) || !continuation(s[2]) || !continuation(s[3])) return 0;
    if (b == 0xF0 && s[1] < 0x90) return 0;  // overlong
    if (b == 0xF4 && s[1] > 0x8F) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;  // a continuation byte, C0, C1 or F5..FF as a lead byte
}

// The code point of a well formed sequence of `len` bytes at `s`.
inline uint32_t code_point(const uint8_t* s, unsigned len) noexcept {
  switch (len) {
    case 1: return s[0];
    case 2: return ((s[0] & 0x1Fu) << 6) | (s[1] & 0x3Fu);
    case 3: return ((s[0] & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
    default: return ((s[0] & 0x07u) << 18) | ((s[1] & 0x3Fu) << 12) | ((s[2] & 0x3Fu) << 6) | (s[3] & 0x3Fu);
  }
}

// Whether [data, data + len) is well formed UTF-8.
bool is_valid_utf8(const char* data, size_t len) noexcept;

// Writes the UTF-8 of `cp` (a scalar value: no surrogate, at most U+10FFFF)
// at `out` and returns its length.
inline size_t encode_code_point(char* out, uint32_t cp) noexcept {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// What encode_utf8 returns for characters holding a surrogate, which UTF-8
// cannot carry.
inline constexpr size_t kLoneSurrogate = SIZE_MAX;

// The UTF-8 of `n` characters (of one width) into `out`, which has room for
// the most they can take (utf8_room): the number of bytes written, or
// kLoneSurrogate.
size_t encode_utf8(const uint8_t* chars, size_t n, char* out) noexcept;
size_t encode_utf8(const uint16_t* chars, size_t n, char* out) noexcept;
size_t encode_utf8(const uint32_t* chars, size_t n, char* out) noexcept;

// The most bytes `n` characters of `width` bytes each can take as UTF-8.
constexpr size_t utf8_room(size_t n, int width) noexcept { return n * (width == 1 ? 2 : width == 2 ? 3 : 4); }

// The number of characters of well formed UTF-8: every byte but a
// continuation byte starts one. Counted eight bytes at a time, in byte lanes
// summed before any can overflow.
inline size_t count_chars(const char* p, size_t n) noexcept {
  constexpr uint64_t kLow = 0x0101010101010101ull;
  constexpr uint64_t kPairs = 0x00FF00FF00FF00FFull;
  size_t continuations = 0;
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
    continuations += static_cast<size_t>((lanes * 0x0001000100010001ull) >> 48);
  }
  for (; i < n; ++i) continuations += continuation(static_cast<uint8_t>(p[i]));
  return n - continuations;
}

// The widest character of a string, as a class: 0 ASCII, 1 up to U+00FF,
// 2 up to U+FFFF, 3 beyond (what a str of that width is made for: the
// largest character of each class is kWidestChar).
inline constexpr uint32_t kWidestChar[4] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};

// The class follows from the largest byte alone: continuation bytes stay
// below 0xC0, so a largest byte below 0x80 means ASCII, below 0xC4 at most
// U+00FF (leads 0xC2 and 0xC3), below 0xF0 at most U+FFFF.
inline uint8_t widest_of_max_byte(uint8_t b) noexcept { return b < 0x80 ? 0 : b < 0xC4 ? 1 : b < 0xF0 ? 2 : 3; }

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

// The widest class of well formed UTF-8.
inline uint8_t widest_class(const char* p, size_t n) noexcept { return widest_of_max_byte(max_byte(p, n)); }

// The same for 16 to a few dozen bytes: the lane-wise maximum of its
// vectors, the last one overlapping the one before rather than a byte loop
// over the rest.
inline uint8_t widest_class_16(const char* p, size_t n) noexcept {
  using simd::Vec;
  const auto* s = reinterpret_cast<const uint8_t*>(p);
  Vec acc = Vec::load(s + n - 16);
  for (size_t i = 0; i + 16 < n; i += 16) acc = Vec::max(acc, Vec::load(s + i));
  return acc.high_bits() == 0 ? 0 : widest_of_max_byte(acc.max_lane());
}

// What decode_utf8 returns for bytes that are not well formed UTF-8 or do
// not fit the room given.
inline constexpr size_t kNotDecoded = SIZE_MAX;

// The character at `s` (which must be before `e`): its code point, with its
// length in `*len`, 0 when the bytes there are no well formed sequence. The
// slow path of decode_utf8, out of line: the vector loop keeps its cursors
// in registers.
[[gnu::noinline]] inline uint32_t decode_slow(const uint8_t* s, const uint8_t* e, unsigned* len) noexcept {
  *len = sequence_length(s, e);
  return *len == 0 ? 0 : code_point(s, *len);
}

// The character of two or three bytes at `s` (a lead byte below 0xF0 and
// what follows it; `s` must have three readable bytes), decoded without a
// branch: its code point and length, and whether sequence_length would
// take it as that and it fits `Char`. Anything else is left to decode_slow.
template <class Char>
inline bool decode_short(const uint8_t* s, uint32_t* c, unsigned* len) noexcept {
  const uint32_t b0 = s[0], b1 = s[1], b2 = s[2];
  const bool tail1 = (b1 & 0xC0) == 0x80;
  const bool tail2 = (b2 & 0xC0) == 0x80;
  const bool two = b0 - 0xC2 < 0x1E;    // 0xC2 to 0xDF
  const bool three = b0 - 0xE0 < 0x10;  // 0xE0 to 0xEF
  const uint32_t c2 = ((b0 & 0x1F) << 6) | (b1 & 0x3F);
  const uint32_t c3 = ((b0 & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
  // No overlong three-byte form (below U+0800), no surrogate.
  const bool scalar3 = (c3 >= 0x800) & ((c3 & 0xF800) != 0xD800);
  *c = three ? c3 : c2;
  *len = three ? 3 : 2;
  return ((two & tail1) | (three & tail1 & tail2 & scalar3)) & (*c <= static_cast<Char>(~Char{0}));
}

// Decodes UTF-8 into `out`, which has room for `room` characters, each
// fitting `Char`: the number of characters, or kNotDecoded when the bytes
// are not well formed UTF-8 or their characters do not fit. Never reads or
// writes out of bounds, whatever the bytes.
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
        continue;
      }
      unsigned slow_len;
      c = decode_slow(s, e, &slow_len);
      if (slow_len == 0 || c > static_cast<Char>(~Char{0})) return kNotDecoded;
      *out++ = static_cast<Char>(c);
      s += slow_len;
    }
  }
  while (s != e) {
    if (e - s >= 8 && out_end - out >= 8 && ascii_word(s)) {
      for (int i = 0; i < 8; ++i) out[i] = static_cast<Char>(s[i]);
      out += 8;
      s += 8;
      continue;
    }
    if (out == out_end) return kNotDecoded;
    unsigned len;
    const uint32_t c = decode_slow(s, e, &len);
    if (len == 0 || c > static_cast<Char>(~Char{0})) return kNotDecoded;
    *out++ = static_cast<Char>(c);
    s += len;
  }
  return static_cast<size_t>(out - out_start);
}

}  // namespace orvex::text
