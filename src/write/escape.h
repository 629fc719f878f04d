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
#include <type_traits>

#include "simd/scan.h"
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

// The bytes each mode replaces, tested a byte at a time or sixteen at a
// time (see simd/scan.h).
using TextEscapes = simd::ByteSet<'&', '<', '>', '"', '\''>;
using AttrEscapes = simd::ByteSet<'&', '<', '>', '"', '\'', '\t', '\r', '\n'>;
template <EscapeMode mode>
using EscapesOf = std::conditional_t<mode == EscapeMode::Attr, AttrEscapes, TextEscapes>;

namespace escape_detail {

struct Replacement {
  char byte;
  Reference reference;
};
inline constexpr Replacement kReplacements[] = {
    {'&', {"&amp;", 5}},  {'<', {"&lt;", 4}},  {'>', {"&gt;", 4}},  {'"', {"&quot;", 6}},
    {'\'', {"&apos;", 6}}, {'\t', {"&#9;", 4}}, {'\r', {"&#13;", 5}}, {'\n', {"&#10;", 5}},
};
// Per byte: 0 when never replaced, else 1 + its index in kReplacements.
inline constexpr std::array<uint8_t, 256> kIndex = [] {
  std::array<uint8_t, 256> t{};
  for (uint8_t i = 0; i < std::size(kReplacements); ++i) t[static_cast<uint8_t>(kReplacements[i].byte)] = i + 1;
  return t;
}();
static_assert([] {
  for (size_t b = 0; b < 256; ++b)
    if (AttrEscapes::kMembers[b] != (kIndex[b] != 0) || (TextEscapes::kMembers[b] && !AttrEscapes::kMembers[b]))
      return false;
  return true;
}(), "every byte escaped has its reference");

}  // namespace escape_detail

inline bool escaped_in(char c, EscapeMode mode) noexcept {
  return mode == EscapeMode::Attr ? AttrEscapes::contains(c) : TextEscapes::contains(c);
}

// The reference that replaces a byte escaped in some mode. A table rather
// than a switch: the characters met in a text follow no pattern that a
// branch could learn.
inline const Reference& reference_for(char c) noexcept {
  return escape_detail::kReplacements[escape_detail::kIndex[static_cast<uint8_t>(c)] - 1].reference;
}

// Bit i set when byte i of the 16 bytes at p is replaced in `mode`.
template <EscapeMode mode>
inline uint32_t escapable_bits(const char* p) noexcept {
  return EscapesOf<mode>::match(simd::Vec::load(reinterpret_cast<const uint8_t*>(p))).bits();
}

}  // namespace orvex
