// Counts that saturate instead of wrapping: sizes of output that a tree of
// shared nodes can make exceed 64 bits, and such a size can only be refused.
#pragma once

#include <cstdint>

namespace orvex {

inline uint64_t saturating_add(uint64_t a, uint64_t b) noexcept {
  uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

inline uint64_t saturating_mul(uint64_t a, uint64_t b) noexcept {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

}  // namespace orvex
