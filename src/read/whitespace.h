// The 25 characters with the Unicode White_Space property, used to trim
// element text and to check what follows an end tag's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvex::read {

// Length of the White_Space character starting at p (p < end), or 0 when the
// character there is not one.
size_t unicode_space_at(const char* p, const char* end) noexcept;

// Length of the White_Space character ending just before p (begin < p), or 0.
size_t unicode_space_before(const char* begin, const char* p) noexcept;

// [begin, end) with White_Space characters removed at both ends, as offsets
// relative to `s`.
struct Trimmed {
  size_t start;
  size_t end;
};
Trimmed trim_unicode_space_slow(std::string_view s) noexcept;
inline Trimmed trim_unicode_space(std::string_view s) noexcept {
  // Most texts start and end with a character that is plainly no white
  // space: an ASCII byte other than TAB to CR and space.
  if (!s.empty()) {
    const auto first = static_cast<uint8_t>(s.front()), last = static_cast<uint8_t>(s.back());
    if (first > ' ' && first < 0x80 && last > ' ' && last < 0x80) return {0, s.size()};
  }
  return trim_unicode_space_slow(s);
}

// True when every character of `s` is White_Space.
bool all_unicode_space(std::string_view s) noexcept;

}  // namespace orvex::read
