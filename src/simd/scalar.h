// Portable backend of the 16-byte vector type: plain byte loops. Always
// available, so tests can hold any other backend up against it in one binary.
#pragma once

#include <cstdint>
#include <cstring>

namespace orvex::simd::scalar {

struct Vec {
  static constexpr const char* kName = "scalar";

  uint8_t lane[16];

  static Vec load(const uint8_t* p) noexcept {
    Vec v;
    std::memcpy(v.lane, p, 16);
    return v;
  }
  // Lanes equal to c become 0xFF, the others 0.
  Vec eq(uint8_t c) const noexcept {
    Vec r;
    for (int i = 0; i < 16; ++i) r.lane[i] = lane[i] == c ? 0xFF : 0;
    return r;
  }
  friend Vec operator|(const Vec& a, const Vec& b) noexcept {
    Vec r;
    for (int i = 0; i < 16; ++i) r.lane[i] = a.lane[i] | b.lane[i];
    return r;
  }
  // The queries below read a comparison result (lanes 0x00 or 0xFF).
  bool any() const noexcept {
    uint8_t acc = 0;
    for (int i = 0; i < 16; ++i) acc |= lane[i];
    return acc != 0;
  }
  unsigned first() const noexcept {  // any() must hold
    unsigned i = 0;
    while (i < 15 && lane[i] == 0) ++i;
    return i;
  }
  unsigned count() const noexcept {
    unsigned n = 0;
    for (int i = 0; i < 16; ++i) n += lane[i] & 1;
    return n;
  }
  uint16_t bits() const noexcept {  // lane i -> bit i
    unsigned m = 0;
    for (int i = 0; i < 16; ++i) m |= unsigned(lane[i] & 1) << i;
    return uint16_t(m);
  }
  // Four comparison results (64 consecutive bytes) -> one bit per byte.
  static uint64_t bits64(const Vec& a, const Vec& b, const Vec& c, const Vec& d) noexcept {
    return uint64_t(a.bits()) | uint64_t(b.bits()) << 16 | uint64_t(c.bits()) << 32 |
           uint64_t(d.bits()) << 48;
  }
};

}  // namespace orvex::simd::scalar
