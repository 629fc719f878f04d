// The active 16-byte vector type, chosen at compile time: NEON on aarch64,
// SSE2 on x86_64, the portable scalar type elsewhere or when the build sets
// ORVEX_FORCE_SCALAR. Code above this header is written once against `Vec`:
//   Vec::load(p)       16 unaligned bytes
//   v.eq(c)            per-lane comparison with one byte value (0xFF / 0x00)
//   a | b              lane-wise OR of comparison results
//   m.any()            does any lane match
//   m.first()          lowest matching lane (m.any() must hold)
//   m.count()          number of matching lanes
//   m.bits()           lane i -> bit i of a 16-bit mask
//   Vec::bits64(a,b,c,d)  four results of 64 consecutive bytes -> 64-bit mask
#pragma once

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

#if defined(ORVEX_SIMD_NEON)
using Vec = neon::Vec;
#elif defined(ORVEX_SIMD_SSE2)
using Vec = sse2::Vec;
#else
using Vec = scalar::Vec;
#endif

// "neon", "sse2" or "scalar".
constexpr const char* backend_name() noexcept { return Vec::kName; }

}  // namespace orvex::simd
