// SSE2 backend of the 16-byte vector type (every x86_64 processor has it).
#pragma once

#include <emmintrin.h>

#include <cstdint>

namespace orvex::simd::sse2 {

struct Vec {
  static constexpr const char* kName = "sse2";

  __m128i v;

  static Vec load(const uint8_t* p) noexcept { return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))}; }
  void store(uint8_t* p) const noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
  void store_widened(uint16_t* p) const noexcept {
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_unpacklo_epi8(v, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 8), _mm_unpackhi_epi8(v, zero));
  }
  Vec eq(uint8_t c) const noexcept { return {_mm_cmpeq_epi8(v, _mm_set1_epi8(char(c)))}; }
  friend Vec operator|(Vec a, Vec b) noexcept { return {_mm_or_si128(a.v, b.v)}; }
  static Vec max(Vec a, Vec b) noexcept { return {_mm_max_epu8(a.v, b.v)}; }

  bool any() const noexcept { return _mm_movemask_epi8(v) != 0; }
  unsigned first() const noexcept { return unsigned(__builtin_ctz(unsigned(_mm_movemask_epi8(v)))); }
  static Vec sub(Vec a, Vec b) noexcept { return {_mm_sub_epi8(a.v, b.v)}; }
  // The lanes summed with psadbw.
  unsigned sum() const noexcept {
    const __m128i sums = _mm_sad_epu8(v, _mm_setzero_si128());
    return unsigned(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
  }
  uint16_t bits() const noexcept { return uint16_t(_mm_movemask_epi8(v)); }
  uint16_t high_bits() const noexcept { return uint16_t(_mm_movemask_epi8(v)); }
  uint8_t max_lane() const noexcept {
    __m128i m = _mm_max_epu8(v, _mm_srli_si128(v, 8));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 4));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 2));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 1));
    return uint8_t(_mm_cvtsi128_si32(m));
  }
  static uint64_t bits64(Vec a, Vec b, Vec c, Vec d) noexcept {
    return uint64_t(a.bits()) | uint64_t(b.bits()) << 16 | uint64_t(c.bits()) << 32 | uint64_t(d.bits()) << 48;
  }
};

}  // namespace orvex::simd::sse2
