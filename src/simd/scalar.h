// Portable backend of the 16-byte vector type: two 64-bit words worked on
// with plain integer arithmetic (SIMD within a register). Always available,
// so tests can hold any other backend up against it in one binary.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace orvex::simd::scalar {

struct Vec {
  static constexpr const char* kName = "scalar";

  // Lane i is byte i % 8 of word i / 8, counted from the least significant
  // byte whatever the machine's byte order.
  uint64_t w[2];

  static Vec load(const uint8_t* p) noexcept {
    Vec v;
    std::memcpy(v.w, p, 16);
    if constexpr (std::endian::native == std::endian::big) {
      v.w[0] = __builtin_bswap64(v.w[0]);
      v.w[1] = __builtin_bswap64(v.w[1]);
    }
    return v;
  }
  void store(uint8_t* p) const noexcept {
    uint64_t out[2] = {w[0], w[1]};
    if constexpr (std::endian::native == std::endian::big) {
      out[0] = __builtin_bswap64(out[0]);
      out[1] = __builtin_bswap64(out[1]);
    }
    std::memcpy(p, out, 16);
  }
  void store_widened(uint16_t* p) const noexcept {
    for (unsigned i = 0; i < 16; ++i) p[i] = lane(i);
  }
  // Lanes equal to c become 0xFF, the others 0.
  Vec eq(uint8_t c) const noexcept {
    const uint64_t pattern = kOnes * c;
    return {{zero_bytes(w[0] ^ pattern), zero_bytes(w[1] ^ pattern)}};
  }
  friend Vec operator|(const Vec& a, const Vec& b) noexcept { return {{a.w[0] | b.w[0], a.w[1] | b.w[1]}}; }
  static Vec max(const Vec& a, const Vec& b) noexcept {
    Vec m;
    for (int k = 0; k < 2; ++k) {
      uint64_t r = 0;
      for (unsigned i = 0; i < 64; i += 8) {
        const uint64_t x = (a.w[k] >> i) & 0xFF, y = (b.w[k] >> i) & 0xFF;
        r |= (x > y ? x : y) << i;
      }
      m.w[k] = r;
    }
    return m;
  }

  // The queries below read a comparison result (lanes 0x00 or 0xFF).
  bool any() const noexcept { return (w[0] | w[1]) != 0; }
  unsigned first() const noexcept {  // any() must hold
    return w[0] != 0 ? unsigned(std::countr_zero(w[0])) / 8 : 8 + unsigned(std::countr_zero(w[1])) / 8;
  }
  static Vec sub(const Vec& a, const Vec& b) noexcept {
    Vec r;
    for (int k = 0; k < 2; ++k) {
      uint64_t out = 0;
      for (unsigned i = 0; i < 64; i += 8) out |= (((a.w[k] >> i) - (b.w[k] >> i)) & 0xFF) << i;
      r.w[k] = out;
    }
    return r;
  }
  unsigned sum() const noexcept {
    unsigned total = 0;
    for (unsigned i = 0; i < 16; ++i) total += lane(i);
    return total;
  }
  uint16_t bits() const noexcept { return uint16_t(gather(w[0]) | gather(w[1]) << 8); }
  uint16_t high_bits() const noexcept { return uint16_t(gather(w[0] >> 7) | gather(w[1] >> 7) << 8); }
  uint8_t max_lane() const noexcept {
    uint8_t m = 0;
    for (unsigned i = 0; i < 16; ++i) m = lane(i) > m ? lane(i) : m;
    return m;
  }
  static uint64_t bits64(const Vec& a, const Vec& b, const Vec& c, const Vec& d) noexcept {
    return uint64_t(a.bits()) | uint64_t(b.bits()) << 16 | uint64_t(c.bits()) << 32 |
           uint64_t(d.bits()) << 48;
  }

 private:
  static constexpr uint64_t kOnes = 0x0101010101010101ull;
  static constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;

  uint8_t lane(unsigned i) const noexcept { return uint8_t(w[i / 8] >> (8 * (i % 8))); }

  // 0xFF in every zero byte of x, 0 elsewhere. Adding 0x7F to the low seven
  // bits sets a byte's top bit exactly when the byte is not zero, and never
  // carries into the next byte.
  static uint64_t zero_bytes(uint64_t x) noexcept {
    const uint64_t nonzero_top = ((x & kLow7) + kLow7) | x;
    return ((~nonzero_top >> 7) & kOnes) * 0xFF;
  }
  // One bit per byte (its lowest), byte i -> bit i: the multiplication moves
  // each bit to position 56 + i without carries.
  static unsigned gather(uint64_t lanes) noexcept {
    return unsigned(((lanes & kOnes) * 0x0102040810204080ull) >> 56);
  }
};

}  // namespace orvex::simd::scalar
