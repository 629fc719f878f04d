// Serializer: layout, escaping, size accounting, depth.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "write/serializer.h"
#include "write_tree_util.h"

namespace orvex {
namespace {

using testutil::el;
using testutil::render;

PlainElement worked_example() {
  PlainElement doc = el("doc", {{"id", "7"}});
  doc.children.push_back(el("a", {}, "x < y & \"z\""));
  doc.children.push_back(el("b", {{"note", "tab\there"}}));
  PlainElement c = el("c", {}, "t");
  PlainElement d = el("d");
  d.children.push_back(el("e"));
  c.children.push_back(std::move(d));
  doc.children.push_back(std::move(c));
  return doc;
}

std::string expected_example(int indent) {
  std::string s(static_cast<size_t>(indent), ' ');
  auto pad = [&](int levels) {
    std::string p;
    for (int i = 0; i < levels; ++i) p += s;
    return p;
  };
  return "<doc id=\"7\">\n" + pad(1) + "<a>x &lt; y &amp; &quot;z&quot;</a>\n" + pad(1) +
         "<b note=\"tab&#9;here\"/>\n" + pad(1) + "<c>t<d>\n" + pad(3) + "<e/>\n" + pad(2) +
         "</d>\n" + pad(1) + "</c>\n</doc>";
}

class WorkedExample : public ::testing::TestWithParam<int> {};

TEST_P(WorkedExample, MatchesTheNineLineLayout) {
  int indent = GetParam();
  PlainElement doc = worked_example();
  DocumentMeasure m = measure(doc);
  std::string out = render(doc, static_cast<uint64_t>(indent));
  EXPECT_EQ(out, expected_example(indent));
  // Element is consumed as it is written.
  EXPECT_TRUE(doc.children.empty());
  EXPECT_TRUE(doc.name.empty());
  // Escaping adds 3+4+5+5 bytes in a and 3 in b's value.
  auto total = check_output_size(m, static_cast<uint64_t>(indent), false, UINT64_MAX, true);
  ASSERT_TRUE(total.ok());
  EXPECT_EQ(total.value() + 20, out.size());
}

INSTANTIATE_TEST_SUITE_P(Indents, WorkedExample, ::testing::Values(0, 2, 4, 7));

// The plain reference: one character at a time through the table.
std::string reference_escape(std::string_view s, bool attr) {
  std::string out;
  for (char ch : s) {
    switch (ch) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      case '\t': out += attr ? "&#9;" : "\t"; break;
      case '\r': out += attr ? "&#13;" : "\r"; break;
      case '\n': out += attr ? "&#10;" : "\n"; break;
      default: out += ch;
    }
  }
  return out;
}

std::string escaped(std::string_view s, EscapeMode mode) {
  MemorySink sink;
  EXPECT_TRUE(escape(sink, s, mode));
  return std::string(sink.bytes());
}

TEST(Escape, EveryByteInBothModes) {
  for (int b = 0; b < 256; ++b) {
    // Put the byte at every offset of a block and a half, so both the
    // vector and the tail path meet it.
    for (size_t at = 0; at < 40; ++at) {
      std::string s(40, 'a');
      s[at] = static_cast<char>(b);
      for (bool attr : {false, true}) {
        ASSERT_EQ(escaped(s, attr ? EscapeMode::Attr : EscapeMode::Text), reference_escape(s, attr))
            << "byte " << b << " at " << at << " attr " << attr;
      }
    }
  }
}

TEST(Escape, RandomStringsAgreeWithReference) {
  std::mt19937 rng(1234);
  const std::string alphabet = "ab &<>\"'\t\r\n\x01\xc3\xa9 xyz0123456789";
  for (int i = 0; i < 3000; ++i) {
    std::string s(rng() % 100, 'x');
    int density = static_cast<int>(rng() % 4);  // from none to many specials
    for (char& ch : s)
      ch = (rng() % 8 < static_cast<unsigned>(density)) ? alphabet[rng() % alphabet.size()] : 'q';
    for (bool attr : {false, true})
      ASSERT_EQ(escaped(s, attr ? EscapeMode::Attr : EscapeMode::Text), reference_escape(s, attr));
  }
}

TEST(Measure, ExactWithoutEscapesAndALowerBoundWithThem) {
  std::mt19937 rng(99);
  for (int i = 0; i < 300; ++i) {
    bool specials = i % 2 == 1;
    PlainElement t = testutil::random_tree(rng, specials);
    uint64_t indent = rng() % 6;
    bool decl = rng() % 2;
    auto total = check_output_size(measure(t), indent, decl, UINT64_MAX, true);
    ASSERT_TRUE(total.ok());
    std::string out = (decl ? std::string(kXmlDeclaration) : std::string()) + render(t, indent);
    if (specials)
      ASSERT_LE(total.value(), out.size());
    else
      ASSERT_EQ(total.value(), out.size());
  }
}

TEST(Measure, RefusesHugeIndentation) {
  // Three levels: root, child, grandchild.
  PlainElement r = el("r");
  PlainElement c = el("c");
  c.children.push_back(el("g"));
  r.children.push_back(std::move(c));
  DocumentMeasure m = measure(r);
  EXPECT_EQ(m.line_depths, 1u + 2u + 1u);
  const uint64_t mem = uint64_t{16} << 30;
  EXPECT_TRUE(check_output_size(m, 1000, true, mem, true).ok());
  EXPECT_EQ(check_output_size(m, uint64_t{1} << 40, true, mem, false).error(),
            SizeProblem::IndentTooLarge);
  EXPECT_EQ(check_output_size(m, uint64_t{1} << 62, true, mem, false).error(),
            SizeProblem::TooLarge);
  EXPECT_EQ(check_output_size(m, UINT64_MAX, true, mem, false).error(), SizeProblem::TooLarge);
  // A big document that fits a file but not the memory.
  PlainElement big = el("big", {}, std::string(1000, 'x'));
  EXPECT_TRUE(check_output_size(measure(big), 4, true, 500, false).ok());
  EXPECT_EQ(check_output_size(measure(big), 4, true, 500, true).error(), SizeProblem::ExceedsMemory);
}

TEST(Serializer, MillionLevelsWithoutRecursion) {
  constexpr size_t kDepth = 1'000'000;
  PlainElement root = el("n");
  PlainElement* cur = &root;
  for (size_t i = 1; i < kDepth; ++i) {
    cur->children.push_back(el("n"));
    cur = &cur->children.back();
  }
  cur->text = SharedStr::owned("leaf");
  DocumentMeasure m = measure(root);
  auto total = check_output_size(m, 0, false, UINT64_MAX, true);
  ASSERT_TRUE(total.ok());
  // indent 4 would need about 4 * 10^12 bytes of spaces.
  EXPECT_EQ(check_output_size(m, 4, false, uint64_t{1} << 40, false).error(),
            SizeProblem::IndentTooLarge);
  std::string out = render(root, 0);
  EXPECT_EQ(out.size(), total.value());
  EXPECT_EQ(out.substr(0, 8), "<n>\n<n>\n");
  // The leaf's text sits on the deepest start tag's line; then one end tag a line.
  size_t leaf = out.find("<n>leaf</n>\n</n>\n");
  ASSERT_NE(leaf, std::string::npos);
  EXPECT_EQ(out.size() - leaf, 11 + 5 * (kDepth - 1));
}

}  // namespace
}  // namespace orvex
