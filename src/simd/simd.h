// The active 16-byte vector type, chosen at compile time: NEON on aarch64,
// SSE2 on x86_64, the portable scalar type elsewhere or when the build sets
// ORVEX_FORCE_SCALAR (the one switch for it). Code above this folder is
// written once against `Vec` and never names an intrinsic:
//   Vec::load(p)          16 unaligned bytes
//   v.store(p)            16 bytes to unaligned memory
//   v.store_widened(w)    the 16 bytes as 16 uint16_t
//   v.eq(c)               per-lane comparison with one byte value (0xFF / 0x00)
//   a | b                 lane-wise OR of comparison results
//   Vec::max(a, b)        lane-wise unsigned maximum
//   Vec::sub(a, b)        lane-wise wrapping subtraction
//   v.sum()               the lanes added up
//   m.any()               does any lane match
//   m.first()             lowest matching lane (m.any() must hold)
//   m.bits()              matching lane i -> bit i of a 16-bit mask
//   v.high_bits()         lane i of 0x80 or above -> bit i of a 16-bit mask
//   v.max_lane()          the largest lane
//   Vec::bits64(a,b,c,d)  four results of 64 consecutive bytes -> 64-bit mask
// "Matching" queries read comparison results (lanes 0x00 or 0xFF).
#pragma once

#include <concepts>
#include <cstdint>

#include "simd/scalar.h"

#if !defined(ORVEX_FORCE_SCALAR) || !ORVEX_FORCE_SCALAR
#if defined(__aarch64__) && defined(__ARM_NEON)
#include "simd/neon.h"
#define ORVEX_SIMD_NEON 1
#elif defined(__SSE2__)
#include "simd/sse2.h"
#define ORVEX_SIMD_SSE2 1
#endif
#endif

namespace orvex::simd {

template <class V>
concept VectorBackend = requires(const uint8_t* in, uint8_t* out, uint16_t* wide, V v, uint8_t c) {
  { V::kName } -> std::convertible_to<const char*>;
  { V::load(in) } -> std::same_as<V>;
  v.store(out);
  v.store_widened(wide);
  { v.eq(c) } -> std::same_as<V>;
  { v | v } -> std::same_as<V>;
  { V::max(v, v) } -> std::same_as<V>;
  { V::sub(v, v) } -> std::same_as<V>;
  { v.sum() } -> std::same_as<unsigned>;
  { v.any() } -> std::same_as<bool>;
  { v.first() } -> std::same_as<unsigned>;
  { v.bits() } -> std::same_as<uint16_t>;
  { v.high_bits() } -> std::same_as<uint16_t>;
  { v.max_lane() } -> std::same_as<uint8_t>;
  { V::bits64(v, v, v, v) } -> std::same_as<uint64_t>;
};

static_assert(VectorBackend<scalar::Vec>);
#if defined(ORVEX_SIMD_NEON)
static_assert(VectorBackend<neon::Vec>);
using Vec = neon::Vec;
#elif defined(ORVEX_SIMD_SSE2)
static_assert(VectorBackend<sse2::Vec>);
using Vec = sse2::Vec;
#else
using Vec = scalar::Vec;
#endif

// "neon", "sse2" or "scalar".
constexpr const char* backend_name() noexcept { return Vec::kName; }

}  // namespace orvex::simd
