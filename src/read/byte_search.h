// Forward byte searches used by the decoder and the scanner. Everything that
// looks for a byte inside a text range or an attribute value goes through
// these functions, so the technique can change in one place.
//
// Short inputs are compared byte by byte. Longer ones are walked byte by byte
// up to an 8-byte boundary, then 16 bytes per step with word-wide zero-byte
// tests, then byte by byte to the end.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvex::read {

namespace detail {

inline constexpr uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr uint64_t kHighs = 0x8080808080808080ULL;

inline uint64_t load64(const char* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

// High bit set in every byte of `w` that is zero. The lowest set bit always
// marks the first zero byte (borrows only corrupt bytes above a real zero).
inline uint64_t zero_bytes(uint64_t w) noexcept { return (w - kOnes) & ~w & kHighs; }

inline uint64_t match(uint64_t w, uint64_t pattern) noexcept { return zero_bytes(w ^ pattern); }

// The word-wide search for the first byte of `p[0, n)` that `Hit::scalar`
// accepts; `Hit::word` marks candidate bytes in a word with the same meaning.
template <class Hit>
inline const char* find_if(const char* p, const char* end, Hit hit) noexcept {
  if (end - p >= 16) {
    while (reinterpret_cast<uintptr_t>(p) & 7) {
      if (hit.scalar(*p)) return p;
      ++p;
    }
    while (end - p >= 16) {
      uint64_t a = hit.word(load64(p));
      if (a) return p + std::countr_zero(a) / 8;
      uint64_t b = hit.word(load64(p + 8));
      if (b) return p + 8 + std::countr_zero(b) / 8;
      p += 16;
    }
  }
  for (; p < end; ++p)
    if (hit.scalar(*p)) return p;
  return nullptr;
}

struct OneByte {
  char c;
  uint64_t pattern;
  bool scalar(char b) const noexcept { return b == c; }
  uint64_t word(uint64_t w) const noexcept { return match(w, pattern); }
};

// '&', TAB, LF, CR: the bytes that end an attribute value's unchanged run.
struct AttrSpecial {
  static bool scalar(char b) noexcept { return b == '&' || b == '\t' || b == '\n' || b == '\r'; }
  static uint64_t word(uint64_t w) noexcept {
    return match(w, kOnes * '&') | match(w, kOnes * '\t') | match(w, kOnes * '\n') |
           match(w, kOnes * '\r');
  }
};

}  // namespace detail

// First occurrence of `c` in [p, end), or nullptr.
inline const char* find_byte(const char* p, const char* end, char c) noexcept {
  return detail::find_if(p, end, detail::OneByte{c, detail::kOnes * static_cast<uint8_t>(c)});
}

// First '&', TAB, LF or CR in [p, end), or nullptr.
inline const char* find_attr_special(const char* p, const char* end) noexcept {
  return detail::find_if(p, end, detail::AttrSpecial{});
}

}  // namespace orvex::read
