#include "text/utf8.h"

namespace orvex::text {

bool is_valid_utf8(const char* data, size_t len) noexcept {
  const auto* p = reinterpret_cast<const uint8_t*>(data);
  const uint8_t* end = p + len;
  while (p < end) {
    // Runs of ASCII, 32 bytes at a time.
    while (end - p >= 32) {
      uint64_t a, b, c, d;
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + 8, 8);
      std::memcpy(&c, p + 16, 8);
      std::memcpy(&d, p + 24, 8);
      if ((a | b | c | d) & kHighBits) break;
      p += 32;
    }
    // Then character by character for a stretch, so that text with a
    // non-ASCII character every few words does not retry the fast path
    // after each one.
    const uint8_t* stop = end - p > 64 ? p + 64 : end;
    while (p < stop) {
      if (*p < 0x80) {
        if (end - p >= 8 && ascii_word(p)) p += 8;
        else ++p;
        continue;
      }
      const unsigned n = sequence_length(p, end);
      if (n == 0) return false;
      p += n;
    }
  }
  return true;
}

namespace {

// The bits that any character of 0x80 or above sets in a word of
// characters of `Char`.
template <class Char>
constexpr uint64_t kNotAscii = sizeof(Char) == 1 ? kHighBits
                               : sizeof(Char) == 2 ? 0xFF80FF80FF80FF80ull
                                                   : 0xFFFFFF80FFFFFF80ull;

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
      if ((a | b) & kNotAscii<Char>) break;
      for (size_t k = 0; k < 2 * kPerWord; ++k) out[k] = static_cast<char>(s[i + k]);
      out += 2 * kPerWord;
      i += 2 * kPerWord;
    }
    // Then character by character for a stretch.
    const size_t stop = n - i > 32 ? i + 32 : n;
    for (; i < stop; ++i) {
      const uint32_t c = s[i];
      if (c >= 0xD800 && c <= 0xDFFF) return kLoneSurrogate;
      out += encode_code_point(out, c);
    }
  }
  return static_cast<size_t>(out - start);
}

}  // namespace

size_t encode_utf8(const uint8_t* chars, size_t n, char* out) noexcept { return encode(chars, n, out); }
size_t encode_utf8(const uint16_t* chars, size_t n, char* out) noexcept { return encode(chars, n, out); }
size_t encode_utf8(const uint32_t* chars, size_t n, char* out) noexcept { return encode(chars, n, out); }

}  // namespace orvex::text
