// Entity and character references, attribute whitespace, the byte searches
// behind the fast path, White_Space trimming and the UTF-8 check of files.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "index/char_class.h"
#include "simd/scan.h"
#include "read/decode.h"
#include "text/utf8.h"
#include "read/whitespace.h"

namespace orvex::read {
namespace {

// The decoded value, "=" + input for an unchanged one, or the error message.
std::string run(std::string_view in, DecodeMode mode, uint64_t base = 0) {
  auto r = decode(in, base, mode);
  if (!r) return "error: " + r.error().message();
  if (r->unchanged()) return "=" + std::string(in);
  EXPECT_FALSE(r->decoded->is_borrowed());
  return std::string(r->decoded->sv());
}

struct Case {
  const char* in;
  const char* text;  // result in text mode
  const char* attr;  // result in attribute mode
};

TEST(Decode, ValuesInBothModes) {
  const Case cases[] = {
      {"", "=", "="},
      {"plain", "=plain", "=plain"},
      {"a &amp; b", "a & b", "a & b"},
      {"&lt;&gt;", "<>", "<>"},
      {"&quot;&apos;", "\"'", "\"'"},
      {"&#65;", "A", "A"},
      {"&#x41;", "A", "A"},
      {"&#x+41;", "A", "A"},
      {"&#+65;", "A", "A"},
      {"&#0000065;", "A", "A"},
      {"&#x00000000000000041;", "A", "A"},
      {"&#xa9;&#xA9;", "\xC2\xA9\xC2\xA9", "\xC2\xA9\xC2\xA9"},
      {"&#1114111;", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"&#x10FFFF;", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"&#xe9;&#x20AC;&#x1F600;", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"&#1;&#xFFFE;", "\x01\xEF\xBF\xBE", "\x01\xEF\xBF\xBE"},
      {"&#xd7ff;&#xE000;", "\xED\x9F\xBF\xEE\x80\x80", "\xED\x9F\xBF\xEE\x80\x80"},
      // Tabs and line breaks: kept in text, one space each in attributes.
      {"a\tb\r\nc", "=a\tb\r\nc", "a b c"},
      {"\r\r\n\n", "=\r\r\n\n", "   "},
      {"\r", "=\r", " "},
      {"x\n\r", "=x\n\r", "x  "},
      {"a &amp;\r\nb", "a &\r\nb", "a & b"},
      // References never turn into spaces.
      {"&#9;&#10;&#13;", "\t\n\r", "\t\n\r"},
      {"  two  spaces  ", "=  two  spaces  ", "=  two  spaces  "},
      {"\x0C", "=\x0C", "=\x0C"},  // FF is not normalised
      {"caf\xC3\xA9 &amp; th\xC3\xA9", "caf\xC3\xA9 & th\xC3\xA9", "caf\xC3\xA9 & th\xC3\xA9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.in, DecodeMode::Text), c.text) << "text: " << c.in;
    EXPECT_EQ(run(c.in, DecodeMode::Attribute), c.attr) << "attribute: " << c.in;
  }
}

TEST(Decode, ErrorsCarryTheOffsetOfTheAmpersand) {
  struct E {
    const char* in;
    uint64_t base;
    const char* message;
  };
  const E cases[] = {
      {"&;", 3, "unknown entity reference '&;' at byte 3"},
      {"&nbsp;", 0, "unknown entity reference '&nbsp;' at byte 0"},
      {"x&AMP;", 10, "unknown entity reference '&AMP;' at byte 11"},
      {"&a b&c;", 0, "unknown entity reference '&a b&c;' at byte 0"},
      {"&lt", 0, "malformed XML at byte 0: unterminated entity reference"},
      {"AT&T", 3, "malformed XML at byte 5: unterminated entity reference"},
      {"ok &amp; AT&T", 0, "malformed XML at byte 11: unterminated entity reference"},
      {"T; ok &T; x", 0, "unknown entity reference '&T;' at byte 6"},
      {"&#X41;", 0, "malformed XML at byte 0: invalid character reference '&#X41;'"},
      {"&#0;", 0, "malformed XML at byte 0: invalid character reference '&#0;'"},
      {"&#x0000;", 0, "malformed XML at byte 0: invalid character reference '&#x0000;'"},
      {"&#xD800;", 0, "malformed XML at byte 0: invalid character reference '&#xD800;'"},
      {"&#xDFFF;", 0, "malformed XML at byte 0: invalid character reference '&#xDFFF;'"},
      {"&#55296;", 0, "malformed XML at byte 0: invalid character reference '&#55296;'"},
      {"&#x110000;", 0, "malformed XML at byte 0: invalid character reference '&#x110000;'"},
      {"&#1114112;", 0, "malformed XML at byte 0: invalid character reference '&#1114112;'"},
      {"&#4294967295;", 0, "malformed XML at byte 0: invalid character reference '&#4294967295;'"},
      {"&#4294967296;", 0, "malformed XML at byte 0: invalid character reference '&#4294967296;'"},
      {"&#xFFFFFFFF;", 0, "malformed XML at byte 0: invalid character reference '&#xFFFFFFFF;'"},
      {"&#x100000000;", 0, "malformed XML at byte 0: invalid character reference '&#x100000000;'"},
      {"&#;", 0, "malformed XML at byte 0: invalid character reference '&#;'"},
      {"&#x;", 0, "malformed XML at byte 0: invalid character reference '&#x;'"},
      {"&#+;", 0, "malformed XML at byte 0: invalid character reference '&#+;'"},
      {"&#x+;", 0, "malformed XML at byte 0: invalid character reference '&#x+;'"},
      {"&#-1;", 0, "malformed XML at byte 0: invalid character reference '&#-1;'"},
      {"&#++65;", 0, "malformed XML at byte 0: invalid character reference '&#++65;'"},
      {"&#+x41;", 0, "malformed XML at byte 0: invalid character reference '&#+x41;'"},
      {"&#12a;", 0, "malformed XML at byte 0: invalid character reference '&#12a;'"},
      {"&#x4g;", 0, "malformed XML at byte 0: invalid character reference '&#x4g;'"},
      {"&# 65;", 0, "malformed XML at byte 0: invalid character reference '&# 65;'"},
      {"&#65 ;", 0, "malformed XML at byte 0: invalid character reference '&#65 ;'"},
      {"&#xa9;&#XA9;", 0, "malformed XML at byte 6: invalid character reference '&#XA9;'"},
      // The first faulty reference wins.
      {"&bad; &#0;", 0, "unknown entity reference '&bad;' at byte 0"},
  };
  for (const E& c : cases) {
    for (DecodeMode mode : {DecodeMode::Text, DecodeMode::Attribute}) {
      auto r = decode(c.in, c.base, mode);
      ASSERT_FALSE(r.ok()) << c.in;
      EXPECT_EQ(r.error().message(), c.message) << c.in;
    }
  }
  auto unknown = decode("&T;", 5, DecodeMode::Text);
  EXPECT_EQ(unknown.error().kind, ReadError::Kind::UnknownEntity);
  EXPECT_EQ(unknown.error().detail, "T");
  EXPECT_EQ(unknown.error().offset, 5u);
}

TEST(Decode, DecodedStringNeverOutgrowsItsInput) {
  // The shortest references for 1- to 4-byte characters.
  for (const char* in : {"&#1;", "&#128;", "&#2048;", "&#65536;", "&#x80;", "&#x800;", "&#x10000;"}) {
    auto r = decode(in, 0, DecodeMode::Text);
    ASSERT_TRUE(r.ok()) << in;
    EXPECT_LE(r->decoded->size(), std::string_view(in).size()) << in;
  }
}

TEST(Decode, RangeGivesViewWhenUnchangedAndOwnedOtherwise) {
  const std::string doc = "abc&amp;def\tghi";
  SourceBuffer* buf = SourceBuffer::copy_of(doc.data(), doc.size());
  {
    auto v = decode_range(buf, 8, 15, DecodeMode::Text);
    ASSERT_TRUE(v.ok());
    EXPECT_TRUE(v->is_borrowed());
    EXPECT_EQ(v->sv(), "def\tghi");
    EXPECT_EQ(buf->holders(), 1u);  // a borrowed view counts no holder
    auto a = decode_range(buf, 8, 15, DecodeMode::Attribute);
    EXPECT_FALSE(a->is_borrowed());
    EXPECT_EQ(a->sv(), "def ghi");
    auto d = decode_range(buf, 0, 8, DecodeMode::Text);
    EXPECT_FALSE(d->is_borrowed());
    EXPECT_EQ(d->sv(), "abc&");
    auto e = decode_range(buf, 3, 7, DecodeMode::Text);
    EXPECT_EQ(e.error().message(), "malformed XML at byte 3: unterminated entity reference");
  }
  EXPECT_EQ(buf->holders(), 1u);
  buf->release();
}

// A reference for the searches: the plain loop.
const char* naive_find(const char* p, const char* end, bool (*hit)(char)) {
  for (; p < end; ++p)
    if (hit(*p)) return p;
  return nullptr;
}

TEST(ByteSearch, AgreesWithPlainLoopAtEveryAlignmentAndLength) {
  std::mt19937 rng(7);
  std::vector<char> store(200);
  const char alphabet[] = {'a', '&', '\t', '\n', '\r', ';', '\x80', '\xff', '\xa6', '\x01', '\0'};
  for (int round = 0; round < 3000; ++round) {
    for (char& c : store) c = rng() % 6 ? 'x' : alphabet[rng() % sizeof alphabet];
    size_t from = rng() % 24, len = rng() % 150;
    const char* b = store.data() + from;
    const char* e = b + len;
    ASSERT_EQ(simd::find_byte(b, e, '&'), naive_find(b, e, [](char c) { return c == '&'; }));
    ASSERT_EQ(simd::find_byte(b, e, ';'), naive_find(b, e, [](char c) { return c == ';'; }));
    ASSERT_EQ(simd::find_byte(b, e, '\xff'), naive_find(b, e, [](char c) { return c == '\xff'; }));
    ASSERT_EQ(simd::find_member<ValueDecodes>(b, e),
              naive_find(b, e, [](char c) { return c == '&' || c == '\t' || c == '\n' || c == '\r'; }));
  }
}

TEST(Decode, FastPathFindsTheOnlySpecialByteAnywhere) {
  for (size_t len = 1; len < 70; ++len) {
    for (size_t at = 0; at < len; ++at) {
      std::string s(len, 'x');
      s[at] = '\n';
      EXPECT_TRUE(decode(s, 0, DecodeMode::Text)->unchanged());
      auto a = decode(s, 0, DecodeMode::Attribute);
      ASSERT_FALSE(a->unchanged()) << len << " " << at;
      s[at] = ' ';
      EXPECT_EQ(a->decoded->sv(), s);
      s[at] = '&';
      auto t = decode(s, 100, DecodeMode::Text);
      ASSERT_FALSE(t.ok());
      EXPECT_EQ(t.error().offset, 100 + at);
    }
  }
}

TEST(Whitespace, TrimsExactlyTheWhiteSpaceProperty) {
  const char* spaces[] = {"\t", "\n", "\x0B", "\x0C", "\r", " ", "\xC2\x85", "\xC2\xA0",
                          "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
                          "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
                          "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
                          "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
                          "\xE3\x80\x80"};
  ASSERT_EQ(std::size(spaces), 25u);
  for (const char* sp : spaces) {
    std::string s = std::string(sp) + "x" + sp + "y" + sp + sp;
    Trimmed t = trim_unicode_space(s);
    EXPECT_EQ(s.substr(t.start, t.end - t.start), std::string("x") + sp + "y") << sp;
    EXPECT_TRUE(all_unicode_space(std::string(sp) + sp));
  }
  // Not White_Space: ZWSP, MONGOLIAN VOWEL SEPARATOR, BOM, information
  // separators, and characters sharing lead bytes with real spaces.
  const char* others[] = {"\xE2\x80\x8B", "\xE1\xA0\x8E", "\xEF\xBB\xBF", "\x1C", "\x1F",
                          "\xC2\x84", "\xC2\xA1", "\xE2\x80\xA7", "\xE2\x81\xA0", "\xE3\x80\x81",
                          "\xE1\x9A\x81", "\xE2\x80\x8C"};
  for (const char* o : others) {
    std::string s = std::string(" ") + o + " ";
    Trimmed t = trim_unicode_space(s);
    EXPECT_EQ(s.substr(t.start, t.end - t.start), o);
    EXPECT_FALSE(all_unicode_space(o));
  }
  EXPECT_TRUE(all_unicode_space(""));
}

// A plain decoder for the UTF-8 check: decodes by the bit patterns and then
// rejects overlong forms, surrogates and values above U+10FFFF.
bool reference_utf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<uint8_t>(s[i]);
    size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    uint32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      auto c = static_cast<uint8_t>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static const uint32_t min_for[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    i += n;
  }
  return true;
}

TEST(Utf8, AgreesWithPlainDecoder) {
  const std::vector<std::string> fixed = {
      "", "abc", "caf\xC3\xA9", "\xF0\x9F\x98\x80", "\xEF\xBB\xBF<a/>", "\xC0\x80", "\xC1\xBF",
      "\xE0\x80\x80", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xED\x9F\xBF", "\xF0\x8F\xBF\xBF",
      "\xF4\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xF5\x80\x80\x80", "\xFF", "\x80", "caf\xE9",
      "\xC3", "\xE2\x82", std::string(40, 'a') + "\xE9" + std::string(40, 'b')};
  for (const std::string& s : fixed) EXPECT_EQ(text::is_valid_utf8(s.data(), s.size()), reference_utf8(s)) << s;

  std::mt19937 rng(11);
  const uint8_t interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                 0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
  for (int round = 0; round < 20000; ++round) {
    // Short and long inputs, dense and sparse in non-ASCII bytes, so that
    // both the word-wide ASCII path and the per-character path are taken.
    std::string s(rng() % (round % 2 ? 40 : 300), 'a');
    const unsigned sparse = round % 3 ? 3 : 60;
    for (char& c : s)
      if (rng() % sparse == 0) c = static_cast<char>(interesting[rng() % sizeof interesting]);
    ASSERT_EQ(text::is_valid_utf8(s.data(), s.size()), reference_utf8(s));
  }
}

}  // namespace
}  // namespace orvex::read
