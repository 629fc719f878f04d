// The writer: layout, escaping, size accounting by the same walk, depth.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "record_forest.h"
#include "write/pieces.h"
#include "write/writer.h"

namespace orvex {
namespace {

using testutil::Forest;
using testutil::render;

Node* worked_example(Forest& f) {
  Node* doc = f.node("doc", {{"id", "7"}});
  Node* c = f.node("c", {}, "t");
  Node* d = f.node("d");
  Forest::set_children(d, {f.node("e")});
  Forest::set_children(c, {d});
  Forest::set_children(doc, {f.node("a", {}, "x < y & \"z\""), f.node("b", {{"note", "tab\there"}}), c});
  return doc;
}

// The document's least size as the walk counts it, or why it is refused.
Result<uint64_t, SizeProblem> counted(const Node* root, uint64_t indent, bool declaration = false,
                                      uint64_t memory = UINT64_MAX, bool in_memory = true) {
  return check_output_size(measure_document(root->rec, WriteOptions{indent, declaration}, UINT64_MAX), memory,
                           in_memory);
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
  const auto indent = static_cast<uint64_t>(GetParam());
  Forest f;
  Node* doc = worked_example(f);
  std::string out = render(doc, indent);
  EXPECT_EQ(out, expected_example(GetParam()));
  EXPECT_EQ(render(doc, indent, true), std::string(kXmlDeclaration) + out);
  // Escaping adds 3+4+5+5 bytes in a and 3 in b's value.
  auto total = counted(doc, indent);
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
  const SharedStr str = SharedStr::owned(s);
  EXPECT_TRUE(mode == EscapeMode::Attr ? sink.escaped<EscapeMode::Attr>(str, nullptr)
                                       : sink.escaped<EscapeMode::Text>(str, nullptr));
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
    Forest f;
    Node* t = f.random_tree(rng, specials);
    uint64_t indent = rng() % 6;
    bool decl = rng() % 2;
    auto total = counted(t, indent, decl);
    ASSERT_TRUE(total.ok());
    std::string out = render(t, indent, decl);
    if (specials)
      ASSERT_LE(total.value(), out.size());
    else
      ASSERT_EQ(total.value(), out.size());
  }
}

TEST(Measure, RefusesHugeIndentation) {
  // Three levels: root, child, grandchild.
  Forest f;
  Node* r = f.node("r");
  Node* c = f.node("c");
  Forest::set_children(c, {f.node("g")});
  Forest::set_children(r, {c});
  EXPECT_EQ(measure_document(r->rec, {1, false}, UINT64_MAX).spaces, 1u + 2u + 1u);
  const uint64_t mem = uint64_t{16} << 30;
  EXPECT_TRUE(counted(r, 1000, true, mem, true).ok());
  EXPECT_EQ(counted(r, uint64_t{1} << 40, true, mem, false).error(), SizeProblem::IndentTooLarge);
  EXPECT_EQ(counted(r, uint64_t{1} << 62, true, mem, false).error(), SizeProblem::TooLarge);
  EXPECT_EQ(counted(r, UINT64_MAX, true, mem, false).error(), SizeProblem::TooLarge);
  // A big document that fits a file but not the memory.
  Node* big = f.node("big", {}, std::string(1000, 'x'));
  EXPECT_TRUE(counted(big, 4, true, 500, false).ok());
  EXPECT_EQ(counted(big, 4, true, 500, true).error(), SizeProblem::ExceedsMemory);
}

// A few nodes shared at every level stand for more elements than any
// memory could take: the count stops at its limit.
TEST(Measure, StopsAtTheElementLimit) {
  Forest f;
  Node* level = f.node("leaf");
  for (int i = 0; i < 40; ++i) {
    Node* up = f.node("n");
    Forest::set_children(up, {level, level});
    level = up;
  }
  EXPECT_TRUE(measure_document(level->rec, {2, false}, 1000).too_many_elements);
  Node* pair = f.node("p");
  Forest::set_children(pair, {f.node("x"), f.node("y")});
  EXPECT_FALSE(measure_document(pair->rec, {2, false}, 3).too_many_elements);
  EXPECT_TRUE(measure_document(pair->rec, {2, false}, 2).too_many_elements);
}

TEST(Writer, MillionLevelsWithoutRecursion) {
  constexpr size_t kDepth = 1'000'000;
  Forest f;
  Node* root = f.node("n");
  Node* cur = root;
  for (size_t i = 1; i < kDepth; ++i) {
    Node* next = f.node("n");
    Forest::set_children(cur, {next});
    cur = next;
  }
  cur->rec.text = SharedStr::owned("leaf");
  auto total = counted(root, 0);
  ASSERT_TRUE(total.ok());
  // indent 4 would need about 4 * 10^12 bytes of spaces.
  EXPECT_EQ(counted(root, 4, false, uint64_t{1} << 40, false).error(), SizeProblem::IndentTooLarge);
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
