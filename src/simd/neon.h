// NEON backend of the 16-byte vector type (every aarch64 processor has it).
// NEON has no byte "movemask"; lane masks are built by narrowing or by
// weighting lanes with powers of two and adding them horizontally.
#pragma once

#include <arm_neon.h>

#include <cstdint>

namespace orvex::simd::neon {

struct Vec {
  static constexpr const char* kName = "neon";

  uint8x16_t v;

  static Vec load(const uint8_t* p) noexcept { return {vld1q_u8(p)}; }
  void store(uint8_t* p) const noexcept { vst1q_u8(p, v); }
  void store_widened(uint16_t* p) const noexcept {
    vst1q_u16(p, vmovl_u8(vget_low_u8(v)));
    vst1q_u16(p + 8, vmovl_u8(vget_high_u8(v)));
  }
  Vec eq(uint8_t c) const noexcept { return {vceqq_u8(v, vdupq_n_u8(c))}; }
  friend Vec operator|(Vec a, Vec b) noexcept { return {vorrq_u8(a.v, b.v)}; }
  static Vec max(Vec a, Vec b) noexcept { return {vmaxq_u8(a.v, b.v)}; }

  bool any() const noexcept { return vmaxvq_u8(v) != 0; }
  // Shift-right-and-narrow leaves four bits per lane in a 64-bit word.
  unsigned first() const noexcept {
    uint64_t nibbles = vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(v), 4)), 0);
    return unsigned(__builtin_ctzll(nibbles)) >> 2;
  }
  static Vec sub(Vec a, Vec b) noexcept { return {vsubq_u8(a.v, b.v)}; }
  unsigned sum() const noexcept { return vaddlvq_u8(v); }
  uint16_t bits() const noexcept {
    uint8x16_t t = vandq_u8(v, weights());
    return uint16_t(vaddv_u8(vget_low_u8(t)) | unsigned(vaddv_u8(vget_high_u8(t))) << 8);
  }
  // The top bit of each lane, spread to a whole lane by a signed shift.
  uint16_t high_bits() const noexcept {
    return Vec{vreinterpretq_u8_s8(vshrq_n_s8(vreinterpretq_s8_u8(v), 7))}.bits();
  }
  uint8_t max_lane() const noexcept { return vmaxvq_u8(v); }
  // Three rounds of pairwise adds fold 8 weighted lanes into one mask byte.
  static uint64_t bits64(Vec a, Vec b, Vec c, Vec d) noexcept {
    const uint8x16_t w = weights();
    uint8x16_t ab = vpaddq_u8(vandq_u8(a.v, w), vandq_u8(b.v, w));
    uint8x16_t cd = vpaddq_u8(vandq_u8(c.v, w), vandq_u8(d.v, w));
    uint8x16_t abcd = vpaddq_u8(ab, cd);
    abcd = vpaddq_u8(abcd, abcd);
    return vgetq_lane_u64(vreinterpretq_u64_u8(abcd), 0);
  }

 private:
  static uint8x16_t weights() noexcept {
    static constexpr uint8_t kW[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    return vld1q_u8(kW);
  }
};

}  // namespace orvex::simd::neon
