// Block classification for the bitmap build of the structural index: every
// 64-byte block of a document becomes four 64-bit masks (bit i = byte i of
// the block) marking '<', '>', '"' and '\''. Written once against the vector
// interface; the backend is a template parameter so tests can compare any
// backend with the scalar one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/simd.h"

namespace orvex::simd {

struct BlockBits {
  uint64_t lt;  // '<'
  uint64_t gt;  // '>'
  uint64_t dq;  // '"'
  uint64_t sq;  // '\''
  friend bool operator==(const BlockBits&, const BlockBits&) = default;
};

template <class V>
BlockBits classify_block(const uint8_t* p) noexcept {
  const V a = V::load(p), b = V::load(p + 16), c = V::load(p + 32), d = V::load(p + 48);
  auto mask = [&](uint8_t x) { return V::bits64(a.eq(x), b.eq(x), c.eq(x), d.eq(x)); };
  return {mask('<'), mask('>'), mask('"'), mask('\'')};
}

// Fills out[0 .. ceil(len / 64)). Whole blocks go through the vectors; the
// final partial block is classified byte by byte, so nothing past `len` is
// read and its bits beyond `len` stay clear.
template <class V>
void classify_with(const uint8_t* d, size_t len, BlockBits* out) noexcept {
  const size_t whole = len / 64;
  for (size_t i = 0; i < whole; ++i) out[i] = classify_block<V>(d + 64 * i);
  if (const size_t rest = len % 64) {
    BlockBits t{0, 0, 0, 0};
    const uint8_t* p = d + 64 * whole;
    for (size_t i = 0; i < rest; ++i) {
      const uint64_t bit = uint64_t(1) << i;
      switch (p[i]) {
        case '<': t.lt |= bit; break;
        case '>': t.gt |= bit; break;
        case '"': t.dq |= bit; break;
        case '\'': t.sq |= bit; break;
        default: break;
      }
    }
    out[whole] = t;
  }
}

inline void classify(const uint8_t* d, size_t len, BlockBits* out) noexcept { classify_with<Vec>(d, len, out); }

}  // namespace orvex::simd
