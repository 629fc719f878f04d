// What the writer replaces in text and attribute values, and with what: one
// table for both modes, tested a byte at a time or sixteen at a time through
// the vector type.
//
// The replaced bytes are all ASCII and never occur inside a multi-byte UTF-8
// sequence, so scanning bytes is scanning characters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "simd/simd.h"

namespace orvex {

enum class EscapeMode : uint8_t {
  Text,  // & < > " '
  Attr,  // the same, plus tab, carriage return and line feed
};

// A character's reference, padded so that it can be stored as one word.
struct Reference {
  char text[8];
  size_t size;
  std::string_view sv() const noexcept { return {text, size}; }
};

namespace escape_detail {

inline constexpr Reference kReferences[] = {{"&amp;", 5}, {"&lt;", 4},  {"&gt;", 4},  {"&quot;", 6},
                                           {"&apos;", 6}, {"&#9;", 4}, {"&#13;", 5}, {"&#10;", 5}};
// Per byte: 0 when never replaced, else 1 + its index in kReferences, with
// kAttrOnly set for the bytes only attribute values replace.
inline constexpr uint8_t kAttrOnly = 0x10;
inline constexpr std::array<uint8_t, 256> kEscape = [] {
  std::array<uint8_t, 256> t{};
  const char replaced[] = {'&', '<', '>', '"', '\'', '\t', '\r', '\n'};
  for (uint8_t i = 0; i < 8; ++i) t[static_cast<uint8_t>(replaced[i])] = uint8_t(i + 1) | (i >= 5 ? kAttrOnly : 0);
  return t;
}();

}  // namespace escape_detail

inline bool escaped_in(char c, EscapeMode mode) noexcept {
  const uint8_t e = escape_detail::kEscape[static_cast<uint8_t>(c)];
  return e != 0 && (mode == EscapeMode::Attr || !(e & escape_detail::kAttrOnly));
}

// The reference that replaces a byte escaped in some mode. A table rather
// than a switch: the characters met in a text follow no pattern that a
// branch could learn.
inline const Reference& reference_for(char c) noexcept {
  return escape_detail::kReferences[(escape_detail::kEscape[static_cast<uint8_t>(c)] & 0x0F) - 1];
}

// Bit i set when byte i of the 16 bytes at p is replaced in `mode`.
template <EscapeMode mode>
inline uint32_t escapable_bits(const char* p) noexcept {
  using simd::Vec;
  const Vec v = Vec::load(reinterpret_cast<const uint8_t*>(p));
  Vec hit = v.eq('&') | v.eq('<') | v.eq('>') | v.eq('"') | v.eq('\'');
  if constexpr (mode == EscapeMode::Attr) hit = hit | v.eq('\t') | v.eq('\r') | v.eq('\n');
  return hit.bits();
}

// The first byte in [p, end) that `mode` replaces, or `end`.
template <EscapeMode mode>
inline const char* find_escapable(const char* p, const char* end) noexcept {
  for (; end - p >= 16; p += 16)
    if (const uint32_t hits = escapable_bits<mode>(p)) return p + __builtin_ctz(hits);
  while (p != end && !escaped_in(*p, mode)) ++p;
  return p;
}

inline const char* find_escapable(const char* p, const char* end, EscapeMode mode) noexcept {
  return mode == EscapeMode::Attr ? find_escapable<EscapeMode::Attr>(p, end) : find_escapable<EscapeMode::Text>(p, end);
}

}  // namespace orvex
