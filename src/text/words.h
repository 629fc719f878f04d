// Short strings as machine words. Most names, keys and values are a few
// bytes long: loading, comparing, copying and hashing them as two words,
// read from both ends of the string, costs no call and no loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvex::text {

// The top bit of each byte of a word: set in a word of bytes exactly when one
// of them is not ASCII.
inline constexpr uint64_t kHighBits = 0x8080808080808080ull;

// Whether the 8 bytes at `s` are all ASCII.
inline bool ascii_word(const void* s) noexcept {
  uint64_t w;
  std::memcpy(&w, s, 8);
  return (w & kHighBits) == 0;
}

// Whether no byte of [p, p + n) has its top bit set.
inline bool all_ascii(const char* p, size_t n) noexcept {
  uint64_t acc = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    acc |= w;
  }
  for (; i < n; ++i) acc |= static_cast<uint8_t>(p[i]);
  return (acc & kHighBits) == 0;
}

// Strings up to this many bytes are held as two words.
inline constexpr size_t kShortStr = 16;

// The bytes of a string of at most kShortStr bytes, as two words: the first
// and the last eight bytes (overlapping) of a string of 8 or more, the first
// and the last four of one of 4 to 7, and the first, middle and last byte of
// a shorter one. Never reads past the string. Strings of one length are
// equal when their words are.
struct ShortWords {
  uint64_t a = 0;
  uint64_t b = 0;

  bool ascii() const noexcept { return ((a | b) & kHighBits) == 0; }
  friend bool operator==(const ShortWords&, const ShortWords&) = default;
};

inline ShortWords short_words(const char* p, size_t n) noexcept {
  ShortWords w;
  if (n >= 8) {
    std::memcpy(&w.a, p, 8);
    std::memcpy(&w.b, p + n - 8, 8);
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    w.a = a;
    w.b = b;
  } else if (n != 0) {
    const auto* u = reinterpret_cast<const uint8_t*>(p);
    w.a = u[0] | uint64_t{u[n / 2]} << 8 | uint64_t{u[n - 1]} << 16;
  }
  return w;
}

// Writes the n bytes that short_words(p, n) read.
inline void store_short_words(char* out, size_t n, const ShortWords& w) noexcept {
  if (n >= 8) {
    std::memcpy(out, &w.a, 8);
    std::memcpy(out + n - 8, &w.b, 8);
  } else if (n >= 4) {
    const auto a = static_cast<uint32_t>(w.a), b = static_cast<uint32_t>(w.b);
    std::memcpy(out, &a, 4);
    std::memcpy(out + n - 4, &b, 4);
  } else if (n != 0) {
    out[0] = static_cast<char>(w.a);
    out[n / 2] = static_cast<char>(w.a >> 8);
    out[n - 1] = static_cast<char>(w.a >> 16);
  }
}

// Equality of two strings of the same n <= kShortStr bytes.
inline bool same_short(const char* x, const char* y, size_t n) noexcept {
  return short_words(x, n) == short_words(y, n);
}

// Copies n bytes: up to kShortStr through two words, longer ones by memcpy.
inline void copy_bytes(char* d, const char* p, size_t n) noexcept {
  if (n > kShortStr) std::memcpy(d, p, n);
  else store_short_words(d, n, short_words(p, n));
}

}  // namespace orvex::text
