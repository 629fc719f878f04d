// Bit tricks on 64-bit masks (one bit per byte of a 64-byte block).
#pragma once

#include <cstdint>

namespace orvex::simd {

// Bit k of the result is the XOR of bits 0..k of m: with m marking quote
// characters, the result marks the bytes from each opening quote up to (not
// including) its closing one. A ladder of shifts and XORs: portable, and on
// aarch64 no slower than a carry-less multiply.
constexpr uint64_t prefix_xor(uint64_t m) noexcept {
  m ^= m << 1;
  m ^= m << 2;
  m ^= m << 4;
  m ^= m << 8;
  m ^= m << 16;
  m ^= m << 32;
  return m;
}

inline unsigned lowest_bit(uint64_t m) noexcept { return unsigned(__builtin_ctzll(m)); }
inline unsigned highest_bit(uint64_t m) noexcept { return 63u - unsigned(__builtin_clzll(m)); }
inline unsigned popcount(uint64_t m) noexcept { return unsigned(__builtin_popcountll(m)); }

}  // namespace orvex::simd
