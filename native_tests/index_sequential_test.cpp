// The sequential build of the structural index: documented edge cases,
// full-width name lengths, the build-choice rule, and agreement with the
// plain reference on many thousands of random inputs.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "index/builds.h"
#include "index/structural.h"
#include "index_reference.h"

namespace orvex::index {
namespace {

using testing::describe;
using testing::random_document;
using testing::random_soup;
using testing::reference_index;
using testing::Rules;
using testing::same;
using testing::show;

struct Construct {
  uint64_t start, end;
  TagKind kind;
  uint64_t name_offset, name_len;
};

struct EdgeCase {
  const char* label;
  std::string input;
  std::vector<Construct> constructs;
  std::vector<TextRange> text;
};

StructuralIndex make_index(const EdgeCase& c) {
  StructuralIndex ix;
  for (const Construct& k : c.constructs) {
    ix.tag_start.push_back(k.start);
    ix.tag_end.push_back(k.end);
    ix.kind.push_back(k.kind);
    ix.name_offset.push_back(k.name_offset);
    ix.name_len.push_back(k.name_len);
  }
  ix.text = c.text;
  return ix;
}

using K = TagKind;

const std::vector<EdgeCase>& successful_cases() {
  static const std::vector<EdgeCase> cases = {
      {"empty input", "", {}, {}},
      {"text after the last construct is not listed", "abc<a/>def", {{3, 6, K::Empty, 4, 1}}, {{0, 3}}},
      {"quoted '>' does not end a tag", "<a b='>'>", {{0, 8, K::Start, 1, 1}}, {}},
      {"double-quoted '/>' does not end a tag", "<a b=\"/>\"/>", {{0, 10, K::Empty, 1, 1}}, {}},
      {"declaration is skipped", "<!DOCTYPE d><d/>", {{12, 15, K::Empty, 13, 1}}, {}},
      {"text after a declaration starts past its '>'", "<!DOCTYPE d>xy<d/>", {{14, 17, K::Empty, 15, 1}}, {{12, 14}}},
      {"XML declaration is a processing instruction", "<?xml version=\"1.0\"?><r/>",
       {{0, 20, K::ProcessingInstruction, 2, 3}, {21, 24, K::Empty, 22, 1}}, {}},
      {"CDATA content is a text range and hides '<'", "<r><![CDATA[x<y]]></r>",
       {{0, 2, K::Start, 1, 1}, {3, 17, K::CData, 0, 0}, {18, 21, K::End, 20, 1}}, {{12, 15}}},
      {"empty CDATA section lists no text", "<![CDATA[]]><a>",
       {{0, 11, K::CData, 0, 0}, {12, 14, K::Start, 13, 1}}, {}},
      {"comment", "x<!-- a -- b -->y<a>",
       {{1, 15, K::Comment, 0, 0}, {17, 19, K::Start, 18, 1}}, {{0, 1}, {16, 17}}},
      {"end tag name stops at whitespace", "<ab></ab >", {{0, 3, K::Start, 1, 2}, {4, 9, K::End, 6, 2}}, {}},
      {"'/' not before '>' keeps the tag open", "<a/ >", {{0, 4, K::Start, 1, 1}}, {}},
      {"unmatched quote skips two bytes", "<a b=\"x>", {{0, 7, K::Start, 1, 1}}, {}},
      {"unmatched quote skips the byte after it", "<a \">>", {{0, 5, K::Start, 1, 1}}, {}},
      {"form feed ends a name", "<a\fb>", {{0, 4, K::Start, 1, 1}}, {}},
      {"vertical tab does not end a name", "<a\vb>", {{0, 4, K::Start, 1, 3}}, {}},
      {"multibyte UTF-8 belongs to names", "<\xC3\xA9 x='1'/>", {{0, 10, K::Empty, 1, 2}}, {}},
      {"empty name", "< a>", {{0, 3, K::Start, 1, 0}}, {}},
      {"processing instruction target stops at '?'", "<?p?>", {{0, 4, K::ProcessingInstruction, 2, 1}}, {}},
      {"processing instruction without '?>' ends at the last byte", "<?pi x",
       {{0, 5, K::ProcessingInstruction, 2, 2}}, {}},
      {"CDATA without ']]>' ends where its last search began", "<![CDATA[abc",
       {{0, 9, K::CData, 0, 0}}, {}},
      {"declaration without '>' at offset 0 leaves text from 0", "<!x<![CDATA[ab",
       {{3, 12, K::CData, 0, 0}}, {{0, 3}}},
      {"declaration ends at the first '>' even in a later tag", "<!x<a/>b<c>",
       {{8, 10, K::Start, 9, 1}}, {{7, 8}}},
      {"text between constructs", "<a>x</a>y<b>",
       {{0, 2, K::Start, 1, 1}, {4, 7, K::End, 6, 1}, {9, 11, K::Start, 10, 1}}, {{3, 4}, {8, 9}}},
  };
  return cases;
}

TEST(SequentialIndex, EdgeCases) {
  for (const EdgeCase& c : successful_cases()) {
    IndexResult r = build_sequential_index(c.input.data(), c.input.size());
    ASSERT_TRUE(r.ok()) << c.label << ": " << describe(r);
    EXPECT_EQ(describe(r), describe(IndexResult(make_index(c)))) << c.label;
  }
}

TEST(SequentialIndex, Failures) {
  using E = IndexError::Kind;
  struct Case {
    std::string input;
    IndexError want;
  };
  const Case cases[] = {
      {"<a>x<", {E::UnclosedTag, 4}},      {"<a", {E::UnclosedTag, 0}},
      {"<a b='x", {E::UnclosedTag, 0}},    {"</", {E::UnclosedTag, 0}},
      {"</a", {E::UnclosedTag, 0}},        {"<a></a x", {E::UnclosedTag, 3}},
      {"<!-- x", {E::Overrun, 6}},         {"<?pi", {E::Overrun, 4}},
      {"<![CDATA[ab]", {E::Overrun, 12}},  {"<a/><!--", {E::Overrun, 8}},
  };
  for (const Case& c : cases) {
    IndexResult r = build_sequential_index(c.input.data(), c.input.size());
    ASSERT_FALSE(r.ok()) << show(c.input);
    EXPECT_EQ(r.error(), c.want) << show(c.input) << " gave " << describe(r);
  }
  EXPECT_EQ((IndexError{E::UnclosedTag, 4}).text(), "Unclosed tag at byte 4");
}

// Names longer than 65535 bytes keep their full length.
TEST(SequentialIndex, LongNamesKeepTheirLength) {
  for (size_t n : {size_t(65535), size_t(65536), size_t(70000)}) {
    const std::string name(n, 'n');
    const std::string doc = "<" + name + " a='1'></" + name + "><?" + name + "?>";
    IndexResult r = build_sequential_index(doc.data(), doc.size());
    ASSERT_TRUE(r.ok());
    const StructuralIndex& ix = r.value();
    ASSERT_EQ(ix.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(ix.name_len[i], n) << "construct " << i;
    EXPECT_EQ(ix.name_offset[1], n + 10);
  }
}

TEST(IndexEntry, DensityRuleChoosesTheBuild) {
  auto doc = [](size_t lt, size_t dq) { return std::string(lt, '<') + std::string(dq, '"'); };
  EXPECT_FALSE(prefers_bitmap_build("", 0));
  EXPECT_FALSE(prefers_bitmap_build("\"\"\"\"\"", 5));  // 5 / max(0, 1) is not above 5
  EXPECT_TRUE(prefers_bitmap_build("\"\"\"\"\"\"", 6));
  std::string s = doc(10, 50);
  EXPECT_FALSE(prefers_bitmap_build(s.data(), s.size()));
  s = doc(10, 51);
  EXPECT_TRUE(prefers_bitmap_build(s.data(), s.size()));
  // Only the first 4096 bytes count.
  s = std::string(4096, 'x') + std::string(100, '"');
  EXPECT_FALSE(prefers_bitmap_build(s.data(), s.size()));
  s = std::string(4090, '"') + "<" + std::string(100, '<');
  EXPECT_TRUE(prefers_bitmap_build(s.data(), s.size()));
}

void expect_matches_reference(const std::string& input) {
  IndexResult got = build_sequential_index(input.data(), input.size());
  testing::Reference want = reference_index(input, Rules::Sequential);
  ASSERT_TRUE(same(got, want)) << "input: " << show(input) << "\n got: " << describe(got)
                               << "\nwant: " << describe(want);
}

TEST(SequentialIndex, MatchesReferenceOnRandomSoup) {
  std::mt19937_64 rng(20260101);
  for (int i = 0; i < 40000; ++i) expect_matches_reference(random_soup(rng, 40));
  // Longer inputs reach the 64-byte main loop of the byte search.
  for (int i = 0; i < 1000; ++i) expect_matches_reference(random_soup(rng, 400));
}

TEST(SequentialIndex, MatchesReferenceOnRandomDocuments) {
  std::mt19937_64 rng(20260102);
  for (int i = 0; i < 3000; ++i) {
    std::string doc = random_document(rng, 60);
    expect_matches_reference(doc);
    ASSERT_TRUE(build_sequential_index(doc.data(), doc.size()).ok()) << show(doc);
  }
}

}  // namespace
}  // namespace orvex::index
