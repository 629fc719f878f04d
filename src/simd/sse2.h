// SSE2 backend of the 16-byte vector type (every x86_64 processor has it).
#pragma once

#include <emmintrin.h>

#include <cstdint>

namespace orvex::simd::sse2 {

struct Vec {
  static constexpr const char* kName = "sse2";

  __m128i v;

  static Vec load(const uint8_t* p) noexcept {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))};
  }
  Vec eq(uint8_t c) const noexcept { return {_mm_cmpeq_epi8(v, _mm_set1_epi8(char(c)))}; }
  friend Vec operator|(Vec a, Vec b) noexcept { return {_mm_or_si128(a.v, b.v)}; }

  bool any() const noexcept { return _mm_movemask_epi8(v) != 0; }
  unsigned first() const noexcept { return unsigned(__builtin_ctz(unsigned(_mm_movemask_epi8(v)))); }
  unsigned count() const noexcept { return unsigned(__builtin_popcount(unsigned(_mm_movemask_epi8(v)))); }
  uint16_t bits() const noexcept { return uint16_t(_mm_movemask_epi8(v)); }
  static uint64_t bits64(Vec a, Vec b, Vec c, Vec d) noexcept {
    return uint64_t(a.bits()) | uint64_t(b.bits()) << 16 | uint64_t(c.bits()) << 32 |
           uint64_t(d.bits()) << 48;
  }
};

}  // namespace orvex::simd::sse2
