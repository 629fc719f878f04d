#include "read/utf8.h"

#include <cstdint>
#include <cstring>

namespace orvex::read {

namespace {

inline bool cont(uint8_t b) { return (b & 0xC0) == 0x80; }

}  // namespace

bool is_valid_utf8(const char* data, size_t len) noexcept {
  const auto* p = reinterpret_cast<const uint8_t*>(data);
  const uint8_t* end = p + len;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  while (p < end) {
    // Runs of ASCII, 32 bytes at a time.
    while (end - p >= 32) {
      uint64_t a, b, c, d;
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + 8, 8);
      std::memcpy(&c, p + 16, 8);
      std::memcpy(&d, p + 24, 8);
      if ((a | b | c | d) & kHigh) break;
      p += 32;
    }
    // Then character by character for a stretch, so that text with a
    // non-ASCII character every few words does not retry the fast path
    // after each one.
    const uint8_t* stop = end - p > 64 ? p + 64 : end;
    while (p < stop) {
      uint8_t c = *p;
      if (c < 0x80) {
        uint64_t w;
        if (end - p >= 8 && (std::memcpy(&w, p, 8), (w & kHigh) == 0)) p += 8;
        else ++p;
        continue;
      }
      size_t left = static_cast<size_t>(end - p);
      if (c >= 0xC2 && c <= 0xDF) {
        if (left < 2 || !cont(p[1])) return false;
        p += 2;
      } else if (c >= 0xE0 && c <= 0xEF) {
        if (left < 3 || !cont(p[1]) || !cont(p[2])) return false;
        if (c == 0xE0 && p[1] < 0xA0) return false;  // overlong
        if (c == 0xED && p[1] > 0x9F) return false;  // surrogate
        p += 3;
      } else if (c >= 0xF0 && c <= 0xF4) {
        if (left < 4 || !cont(p[1]) || !cont(p[2]) || !cont(p[3])) return false;
        if (c == 0xF0 && p[1] < 0x90) return false;  // overlong
        if (c == 0xF4 && p[1] > 0x8F) return false;  // above U+10FFFF
        p += 4;
      } else {
        return false;  // continuation byte, C0, C1 or F5..FF as a lead byte
      }
    }
  }
  return true;
}

namespace {

// Characters of `Char` whose `kPerWord` fit a 64-bit word; `kNotAscii` has
// the bits that any character of 0x80 or above sets in such a word.
template <class Char>
struct Words;
template <>
struct Words<uint8_t> {
  static constexpr uint64_t kNotAscii = 0x8080808080808080ull;
};
template <>
struct Words<uint16_t> {
  static constexpr uint64_t kNotAscii = 0xFF80FF80FF80FF80ull;
};
template <>
struct Words<uint32_t> {
  static constexpr uint64_t kNotAscii = 0xFFFFFF80FFFFFF80ull;
};

template <class Char>
size_t encode(const Char* s, size_t n, char* out) noexcept {
  constexpr size_t kPerWord = 8 / sizeof(Char);
  char* const start = out;
  size_t i = 0;
  while (i < n) {
    // Runs of ASCII, a word at a time: documents are mostly markup.
    while (n - i >= 2 * kPerWord) {
      uint64_t a, b;
      std::memcpy(&a, s + i, 8);
      std::memcpy(&b, s + i + kPerWord, 8);
      if ((a | b) & Words<Char>::kNotAscii) break;
      for (size_t k = 0; k < 2 * kPerWord; ++k) out[k] = static_cast<char>(s[i + k]);
      out += 2 * kPerWord;
      i += 2 * kPerWord;
    }
    // Then character by character for a stretch.
    const size_t stop = n - i > 32 ? i + 32 : n;
    for (; i < stop; ++i) {
      const uint32_t c = s[i];
      if (c < 0x80) {
        *out++ = static_cast<char>(c);
      } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        if (c >= 0xD800 && c <= 0xDFFF) return kLoneSurrogate;
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      }
    }
  }
  return static_cast<size_t>(out - start);
}

}  // namespace

size_t encode_utf8(const uint8_t* chars, size_t n, char* out) noexcept { return encode(chars, n, out); }
size_t encode_utf8(const uint16_t* chars, size_t n, char* out) noexcept { return encode(chars, n, out); }
size_t encode_utf8(const uint32_t* chars, size_t n, char* out) noexcept { return encode(chars, n, out); }

}  // namespace orvex::read
