// UTF-8 in and out of the reader: validation of file contents (rejecting
// overlong forms, surrogates and values above U+10FFFF), and the encoding of
// a Python str's characters (of one width: 1, 2 or 4 bytes each) into a
// document's own buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvex::read {

bool is_valid_utf8(const char* data, size_t len) noexcept;

// What encode_utf8 returns for characters holding a surrogate, which UTF-8
// cannot carry.
inline constexpr size_t kLoneSurrogate = SIZE_MAX;

// The UTF-8 of `n` characters into `out`, which has room for the most they
// can take (utf8_room): the number of bytes written, or kLoneSurrogate.
size_t encode_utf8(const uint8_t* chars, size_t n, char* out) noexcept;
size_t encode_utf8(const uint16_t* chars, size_t n, char* out) noexcept;
size_t encode_utf8(const uint32_t* chars, size_t n, char* out) noexcept;

// The most bytes `n` characters of `width` bytes each can take as UTF-8.
constexpr size_t utf8_room(size_t n, int width) noexcept { return n * (width == 1 ? 2 : width == 2 ? 3 : 4); }

}  // namespace orvex::read
