// The vector interface and the byte searches built on it. Every check holds
// the active backend against the scalar backend (compiled into the same
// binary) and against plain loops.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "simd/bitmask.h"
#include "simd/scalar.h"
#include "simd/scan.h"
#include "simd/simd.h"

namespace orvex::simd {
namespace {

// A NEON or SSE2 suite that silently fell back to scalar would prove nothing.
TEST(SimdBackend, IsTheOneTheTargetCalledFor) {
  std::string name = backend_name();
#if defined(ORVEX_FORCE_SCALAR) && ORVEX_FORCE_SCALAR
  EXPECT_EQ(name, "scalar");
#elif defined(__aarch64__)
  EXPECT_EQ(name, "neon");
#elif defined(__x86_64__)
  EXPECT_EQ(name, "sse2");
#else
  EXPECT_EQ(name, "scalar");
#endif
}

std::vector<uint8_t> random_bytes(std::mt19937_64& rng, size_t n, std::string_view alphabet) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(alphabet[rng() % alphabet.size()]);
  return v;
}

TEST(SimdVec, EveryOperationMatchesScalar) {
  std::mt19937_64 rng(11);
  const std::string alphabet = std::string("<>\"'a\0\xff\x80", 8);
  for (int round = 0; round < 4000; ++round) {
    auto bytes = random_bytes(rng, 64, alphabet);
    for (uint8_t c : {uint8_t('<'), uint8_t('"'), uint8_t(0), uint8_t(0xff), uint8_t('z')}) {
      Vec v[4];
      scalar::Vec s[4];
      for (int k = 0; k < 4; ++k) {
        v[k] = Vec::load(bytes.data() + 16 * k).eq(c);
        s[k] = scalar::Vec::load(bytes.data() + 16 * k).eq(c);
        ASSERT_EQ(v[k].bits(), s[k].bits());
        ASSERT_EQ(v[k].any(), s[k].any());
        ASSERT_EQ(Vec::sub(Vec{}, v[k]).sum(), scalar::Vec::sub(scalar::Vec{}, s[k]).sum());
        if (s[k].any()) {
          ASSERT_EQ(v[k].first(), s[k].first());
        }
        unsigned plain = 0;
        for (int i = 0; i < 16; ++i) plain |= unsigned(bytes[16 * k + i] == c) << i;
        ASSERT_EQ(s[k].bits(), plain);
      }
      ASSERT_EQ((v[0] | v[1]).bits(), (s[0] | s[1]).bits());
      ASSERT_EQ(Vec::bits64(v[0], v[1], v[2], v[3]), scalar::Vec::bits64(s[0], s[1], s[2], s[3]));
    }
  }
}

// The data operations on raw bytes (not comparison results), against plain loops.
TEST(SimdVec, DataOperationsMatchPlainLoops) {
  std::mt19937_64 rng(15);
  for (int round = 0; round < 4000; ++round) {
    uint8_t a[16], b[16];
    for (int i = 0; i < 16; ++i) a[i] = uint8_t(rng() % 3 ? rng() % 128 : rng()), b[i] = uint8_t(rng());
    uint8_t stored[16], want_max[16], maxed[16], scalar_maxed[16];
    uint16_t widened[16], scalar_widened[16];
    unsigned want_high = 0, want_max_lane = 0;
    for (int i = 0; i < 16; ++i) {
      want_max[i] = a[i] > b[i] ? a[i] : b[i];
      want_high |= unsigned(a[i] >= 0x80) << i;
      want_max_lane = a[i] > want_max_lane ? a[i] : want_max_lane;
    }
    const Vec v = Vec::load(a);
    const scalar::Vec s = scalar::Vec::load(a);
    v.store(stored);
    ASSERT_EQ(std::memcmp(stored, a, 16), 0);
    Vec::max(v, Vec::load(b)).store(maxed);
    scalar::Vec::max(s, scalar::Vec::load(b)).store(scalar_maxed);
    ASSERT_EQ(std::memcmp(maxed, want_max, 16), 0);
    ASSERT_EQ(std::memcmp(scalar_maxed, want_max, 16), 0);
    v.store_widened(widened);
    s.store_widened(scalar_widened);
    for (int i = 0; i < 16; ++i) {
      ASSERT_EQ(widened[i], a[i]);
      ASSERT_EQ(scalar_widened[i], a[i]);
    }
    ASSERT_EQ(v.high_bits(), want_high);
    ASSERT_EQ(s.high_bits(), want_high);
    ASSERT_EQ(v.max_lane(), want_max_lane);
    ASSERT_EQ(s.max_lane(), want_max_lane);
  }
}

size_t plain_find(const uint8_t* d, size_t len, size_t from, uint8_t c) {
  for (size_t i = from; i < len; ++i)
    if (d[i] == c) return i;
  return npos;
}

// Every length 0..300, every start offset and every alignment of the buffer.
// The searched bytes end exactly at the end of their allocation, so a read
// past the end shows up under the sanitizers.
TEST(SimdSearch, FindByteEqualsPlainLoopForAllLengthsStartsAndAlignments) {
  std::mt19937_64 rng(12);
  for (size_t align = 0; align < 16; ++align) {
    for (size_t len = 0; len <= 300; ++len) {
      std::vector<uint8_t> storage(align + len);
      uint8_t* d = storage.data() + align;
      // Needles are sparse in half the buffers and absent but for the very
      // last byte in the others, so both the early exits and the tail run.
      for (size_t i = 0; i < len; ++i) d[i] = uint8_t('a' + rng() % 20);
      if (len && (len & 1)) {
        for (size_t i = 0; i < len; ++i)
          if (rng() % 37 == 0) d[i] = '<';
      } else if (len) {
        d[len - 1] = '<';
      }
      for (size_t from = 0; from <= len + 1; ++from) {
        const size_t want = plain_find(d, len, from, '<');
        ASSERT_EQ(find_byte(d, len, from, '<'), want) << "align " << align << " len " << len << " from " << from;
        ASSERT_EQ(find_byte_with<scalar::Vec>(d, len, from, '<'), want);
      }
    }
  }
}

// Every length up to 300, and lengths around the 255 vectors after which
// the per-lane counts are added up, with one byte value filling them all.
TEST(SimdSearch, CountEqualsPlainCount) {
  std::mt19937_64 rng(13);
  std::vector<size_t> lengths;
  for (size_t len = 0; len <= 300; ++len) lengths.push_back(len);
  for (size_t len : {4079, 4080, 4081, 8200}) lengths.push_back(len);
  for (size_t len : lengths) {
    auto bytes = random_bytes(rng, len, len > 300 ? "<" : "<\"ab");
    uint64_t lt = 0, dq = 0;
    for (uint8_t b : bytes) lt += b == '<', dq += b == '"';
    const auto n = count<'<', '"'>(bytes.data(), len);
    EXPECT_EQ(n[0], lt);
    EXPECT_EQ(n[1], dq);
    const auto s = count_with<scalar::Vec, '<', '"'>(bytes.data(), len);
    EXPECT_EQ(s[0], lt);
    EXPECT_EQ(s[1], dq);
  }
}

TEST(SimdBitmask, PrefixXorIsRunningParity) {
  std::mt19937_64 rng(14);
  for (int round = 0; round < 2000; ++round) {
    uint64_t m = rng() & rng();  // sparse-ish, like quote masks
    uint64_t want = 0, parity = 0;
    for (unsigned k = 0; k < 64; ++k) {
      parity ^= (m >> k) & 1;
      want |= parity << k;
    }
    ASSERT_EQ(prefix_xor(m), want);
  }
}

}  // namespace
}  // namespace orvex::simd
