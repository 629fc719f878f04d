// UTF-8 to the fixed-width characters of a str: the widest class
// and the decoded characters against a straightforward reference on random
// text of every width and density, and malformed input refused without
// overrunning.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "text/utf8.h"

namespace orvex::text {
namespace {

void append_utf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

uint8_t width_class(uint32_t c) { return c < 0x80 ? 0 : c < 0x100 ? 1 : c < 0x10000 ? 2 : 3; }

// Random code points: mostly ASCII, with non-ASCII characters up to a width
// class at a given density.
std::vector<uint32_t> random_text(std::mt19937& rng, size_t n, uint8_t max_class, unsigned per_mille) {
  static const uint32_t kLow[] = {0x00, 0x80, 0x100, 0x10000};
  static const uint32_t kHigh[] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};
  std::vector<uint32_t> cps;
  for (size_t i = 0; i < n; ++i) {
    if (max_class == 0 || rng() % 1000 >= per_mille) {
      cps.push_back(rng() % 0x80);
      continue;
    }
    const uint8_t k = 1 + rng() % max_class;
    uint32_t c;
    do c = kLow[k] + rng() % (kHigh[k] - kLow[k] + 1);
    while (c >= 0xD800 && c <= 0xDFFF);
    cps.push_back(c);
  }
  return cps;
}

// Decodes into as much room as there are bytes (what the writer gives) and
// into exactly as much as there are characters.
template <class Char>
void expect_decodes(const std::string& bytes, const std::vector<uint32_t>& cps) {
  for (size_t room : {bytes.size(), cps.size()}) {
    std::vector<Char> out(room + 1, Char{0x5A});
    ASSERT_EQ(decode_utf8(bytes.data(), bytes.size(), out.data(), room), cps.size());
    for (size_t i = 0; i < cps.size(); ++i) ASSERT_EQ(out[i], cps[i]) << "at " << i;
    EXPECT_EQ(out[room], Char{0x5A});  // nothing past the room
  }
}

TEST(WriteUtf8Chars, WidestClassCountAndDecodingOfRandomTextOfEveryWidthAndDensity) {
  std::mt19937 rng(7);
  for (uint8_t max_class = 0; max_class < 4; ++max_class) {
    for (unsigned per_mille : {1u, 20u, 300u, 1000u}) {
      for (size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 65u, 1000u, 20000u}) {
        const std::vector<uint32_t> cps = random_text(rng, n, max_class, per_mille);
        std::string bytes;
        uint8_t widest = 0;
        for (uint32_t c : cps) {
          append_utf8(bytes, c);
          widest = std::max(widest, width_class(c));
        }
        ASSERT_EQ(widest_class(bytes.data(), bytes.size()), widest);
        ASSERT_EQ(count_chars(bytes.data(), bytes.size()), cps.size());
        if (widest <= 1) expect_decodes<uint8_t>(bytes, cps);
        if (widest <= 2) expect_decodes<uint16_t>(bytes, cps);
        expect_decodes<uint32_t>(bytes, cps);
      }
    }
  }
}

TEST(WriteUtf8Chars, MalformedOrTooLongInputIsRefusedWithinBounds) {
  const std::string cases[] = {
      "\x80",             // a stray continuation byte
      "ab\xC3",           // cut after a lead byte
      "\xE6\x97",         // cut inside a three-byte character
      "\xF0\x9F\x98",     // cut inside a four-byte character
      "\xC3\x41",         // a lead byte followed by ASCII
      "\xC0\x80",         // an overlong lead
      "\x80\x80\x80\x80\x80\x80\x80\x80\x80",
      // The same faults after a long ASCII run, where the vectors meet them.
      std::string(40, 'a') + "\x80" + std::string(40, 'a'),
      std::string(40, 'a') + "\xC3\x41" + std::string(40, 'a'),
      std::string(40, 'a') + "\xE6\x97",
  };
  for (const std::string& bytes : cases) {
    std::vector<uint32_t> out(bytes.size() + 1, 0);
    EXPECT_EQ(decode_utf8(bytes.data(), bytes.size(), out.data(), bytes.size()), kNotDecoded) << bytes;
    EXPECT_EQ(out[bytes.size()], 0u);
  }
  // Room for fewer characters than there are.
  const std::string ok = "caf\xC3\xA9 \xE6\x97\xA5";
  std::vector<uint16_t> out(8, 0);
  EXPECT_EQ(decode_utf8(ok.data(), ok.size(), out.data(), 5), kNotDecoded);
  EXPECT_EQ(out[5], 0u);
  EXPECT_EQ(decode_utf8(ok.data(), ok.size(), out.data(), 6), 6u);
  EXPECT_EQ(decode_utf8(ok.data(), ok.size(), out.data(), 7), 6u);
  const std::string long_ok = std::string(40, 'a') + ok;
  std::vector<uint16_t> long_out(long_ok.size() + 1, 0);
  EXPECT_EQ(decode_utf8(long_ok.data(), long_ok.size(), long_out.data(), 45), kNotDecoded);
  EXPECT_EQ(long_out[45], 0u);
  // A character too wide for the width asked for.
  std::vector<uint8_t> narrow(8, 0);
  EXPECT_EQ(decode_utf8(ok.data(), ok.size(), narrow.data(), 8), kNotDecoded);
}

// The vector path against the plain per-character loop on byte soups:
// well formed characters of every length mixed with stray continuation
// bytes, cut sequences, overlong and four-byte leads. Both give the same
// count or the same refusal, and the same characters.
template <class Char>
size_t decode_by_character(const std::string& bytes, Char* out, size_t room) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint8_t* e = s + bytes.size();
  Char* o = out;
  while (s != e) {
    unsigned len;
    const uint32_t c = decode_slow(s, e, &len);
    if (o == out + room || len == 0 || c > static_cast<Char>(~Char{0})) return kNotDecoded;
    *o++ = static_cast<Char>(c);
    s += len;
  }
  return static_cast<size_t>(o - out);
}

TEST(WriteUtf8Chars, VectorPathEqualsThePerCharacterLoopOnByteSoups) {
  std::mt19937 rng(99);
  const std::string pieces[] = {"a", "abcdefgh", "\xC3\xA9", "\xCE\xBB", "\xE6\x97\xA5", "\xE2\x80\x94",
                                "\xF0\x9F\x98\x80", "\x80", "\xC3", "\xE6\x97", "\xC0\x80", "\xE0\x80\x80",
                                "\xF0\x80\x80\x80", "\xFF"};
  for (int round = 0; round < 20000; ++round) {
    std::string bytes;
    const size_t n = rng() % 40;
    const unsigned faulty = round % 4 == 0 ? 14 : 7;  // most soups well formed
    for (size_t i = 0; i < n; ++i) bytes += pieces[rng() % 2 == 0 ? 0 : rng() % faulty];
    auto check = [&](auto zero) {
      using Char = decltype(zero);
      for (size_t room : {bytes.size(), bytes.size() / 2}) {
        std::vector<Char> got(room + 1, Char{7}), want(room + 1, Char{7});
        const size_t n_got = decode_utf8(bytes.data(), bytes.size(), got.data(), room);
        const size_t n_want = decode_by_character(bytes, want.data(), room);
        ASSERT_EQ(n_got, n_want) << round;
        EXPECT_EQ(got[room], Char{7});
        if (n_want != kNotDecoded) {
          for (size_t i = 0; i < n_want; ++i) ASSERT_EQ(got[i], want[i]) << round << " at " << i;
        }
      }
    };
    check(uint8_t{});
    check(uint16_t{});
    check(uint32_t{});
  }
}

}  // namespace
}  // namespace orvex::text
