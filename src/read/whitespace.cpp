#include "read/whitespace.h"

#include "index/char_class.h"

namespace orvex::read {

namespace {

inline uint8_t u8(char c) { return static_cast<uint8_t>(c); }

// The multi-byte White_Space characters: U+0085, U+00A0 (two bytes);
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000 (three).
bool space2(uint8_t a, uint8_t b) { return a == 0xC2 && (b == 0x85 || b == 0xA0); }

bool space3(uint8_t a, uint8_t b, uint8_t c) {
  if (a == 0xE1) return b == 0x9A && c == 0x80;
  if (a == 0xE2) {
    if (b == 0x80) return c <= 0x8A || c == 0xA8 || c == 0xA9 || c == 0xAF;  // c >= 0x80 always
    return b == 0x81 && c == 0x9F;
  }
  return a == 0xE3 && b == 0x80 && c == 0x80;
}

bool ascii_space(uint8_t c) { return has_class(c, kAsciiWhiteSpace); }

}  // namespace

size_t unicode_space_at(const char* p, const char* end) noexcept {
  uint8_t a = u8(p[0]);
  if (a < 0x80) return ascii_space(a) ? 1 : 0;
  if (a == 0xC2) return end - p >= 2 && space2(a, u8(p[1])) ? 2 : 0;
  if (a >= 0xE1 && a <= 0xE3)
    return end - p >= 3 && u8(p[1]) >= 0x80 && u8(p[2]) >= 0x80 && space3(a, u8(p[1]), u8(p[2]))
               ? 3
               : 0;
  return 0;
}

size_t unicode_space_before(const char* begin, const char* p) noexcept {
  uint8_t z = u8(p[-1]);
  if (z < 0x80) return ascii_space(z) ? 1 : 0;
  if (p - begin >= 2 && space2(u8(p[-2]), z)) return 2;
  if (p - begin >= 3 && space3(u8(p[-3]), u8(p[-2]), z)) return 3;
  return 0;
}

Trimmed trim_unicode_space_slow(std::string_view s) noexcept {
  const char* b = s.data();
  const char* e = b + s.size();
  while (b < e) {
    size_t n = unicode_space_at(b, e);
    if (!n) break;
    b += n;
  }
  while (e > b) {
    size_t n = unicode_space_before(b, e);
    if (!n) break;
    e -= n;
  }
  return {static_cast<size_t>(b - s.data()), static_cast<size_t>(e - s.data())};
}

bool all_unicode_space(std::string_view s) noexcept {
  Trimmed t = trim_unicode_space(s);
  return t.start == t.end;
}

}  // namespace orvex::read
