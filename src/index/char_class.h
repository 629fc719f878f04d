// The reader's character classes: one 256-entry table, one bit per class, so
// the index, the scanner and the decoder test a byte with one load and one
// mask instead of chains of comparisons. Every byte above '?' other than the
// few named here is in no class: UTF-8 sequences always continue names.
//
// The classes that are also searched sixteen bytes at a time are byte sets
// (see simd/scan.h), from which both their bit here and their vector match
// come.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "simd/scan.h"

namespace orvex {

// What an attribute value's scan stops at: both quotes, '<', and what
// decoding changes.
using InValue = simd::ByteSet<'"', '\'', '<', '&', '\t', '\n', '\r'>;
// What makes an attribute value's decoding change it: '&', TAB, LF, CR.
using ValueDecodes = simd::ByteSet<'&', '\t', '\n', '\r'>;

enum CharClass : uint16_t {
  kMarkupSpace = 1 << 0,    // TAB, LF, FF, CR, space: between attributes, and ending names
  kEndsStartName = 1 << 1,  // start and empty-element tag names: markup space, '/', '>'
  kEndsEndName = 1 << 2,    // end tag names: markup space, '>'
  kEndsPiName = 1 << 3,     // processing-instruction targets: markup space, '>', '?'
  kInStartTag = 1 << 4,     // what closing a start tag looks at: '/', '>', both quotes
  kEndsAttrName = 1 << 5,   // attribute names: markup space, both quotes, '='
  kInValue = 1 << 6,        // what an attribute value's scan looks at: quotes, '<', '&', TAB, LF, CR
  kValueDecodes = 1 << 7,   // what makes an attribute value's decoding change it: '&', TAB, LF, CR
  kDoctypeTop = 1 << 8,     // what a document type declaration's scan looks at: quotes, '[', '>'
  kDoctypeSubset = 1 << 9,  // ... inside its internal subset: quotes, '<', ']'
  kAsciiWhiteSpace = 1 << 10,  // the ASCII White_Space characters: TAB to CR, space
};

inline constexpr std::array<uint16_t, 256> kCharClass = [] {
  std::array<uint16_t, 256> t{};
  auto add = [&](uint16_t cls, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) t[b] |= cls;
  };
  auto add_set = [&](uint16_t cls, const std::array<bool, 256>& members) {
    for (size_t b = 0; b < 256; ++b)
      if (members[b]) t[b] |= cls;
  };
  const std::initializer_list<uint8_t> space = {'\t', '\n', '\f', '\r', ' '};
  add(kMarkupSpace | kEndsStartName | kEndsEndName | kEndsPiName | kEndsAttrName, space);
  add(kEndsStartName | kInStartTag, {'/'});
  add(kEndsStartName | kEndsEndName | kEndsPiName | kInStartTag | kDoctypeTop, {'>'});
  add(kEndsPiName, {'?'});
  add(kInStartTag | kEndsAttrName | kDoctypeTop | kDoctypeSubset, {'"', '\''});
  add(kEndsAttrName, {'='});
  add_set(kInValue, InValue::kMembers);
  add_set(kValueDecodes, ValueDecodes::kMembers);
  add(kDoctypeTop, {'['});
  add(kDoctypeSubset, {'<', ']'});
  add(kAsciiWhiteSpace, {'\t', '\n', '\v', '\f', '\r', ' '});
  return t;
}();

inline bool has_class(uint8_t c, uint16_t cls) noexcept { return (kCharClass[c] & cls) != 0; }
inline bool has_class(char c, uint16_t cls) noexcept { return has_class(static_cast<uint8_t>(c), cls); }

// First offset at or after `from` whose byte has a class of `cls`, or len.
inline size_t skip_until(const uint8_t* d, size_t len, size_t from, uint16_t cls) noexcept {
  while (from < len && !(kCharClass[d[from]] & cls)) ++from;
  return from;
}

}  // namespace orvex
