// The sequential build of the structural index: documented edge cases,
// full-width name lengths, the build-choice rule, and agreement with the
// plain reference on many thousands of random inputs.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

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

struct Expected {
  uint64_t start, end;
  TagKind kind;
  uint64_t name_offset, name_len;
};

struct EdgeCase {
  const char* label;
  std::string input;
  std::vector<Expected> constructs;
  std::vector<TextRange> text;
};

IndexResult sequential(const std::string& s) { return build_structural_index(s.data(), s.size(), Build::Sequential); }

// The expected index; a name offset must be where the construct's kind puts it.
StructuralIndex make_index(const EdgeCase& c) {
  StructuralIndex ix;
  for (const Expected& k : c.constructs) {
    ix.constructs.push_back(Construct{k.start, k.end, k.name_len, static_cast<uint8_t>(k.kind)});
    if (k.name_len > 0) {
      EXPECT_EQ(ix.constructs.back().name_start(), k.name_offset) << c.label;
    }
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
      // Document type declarations end outside their literals and internal subset.
      {"'>' in a literal of a document type declaration", "<!DOCTYPE r SYSTEM \"a>b\"><r/>",
       {{25, 28, K::Empty, 26, 1}}, {}},
      {"markup declarations of the internal subset", "<!DOCTYPE r [<!ENTITY x \"a>b<a k='1'/>\">]><r><a/></r>",
       {{42, 44, K::Start, 43, 1}, {45, 48, K::Empty, 46, 1}, {49, 52, K::End, 51, 1}}, {}},
      {"comment and PI in the subset hide quotes and ']'", "<!DOCTYPE r [<!-- ' ] --><?p \" ]?>]>x<r/>",
       {{37, 40, K::Empty, 38, 1}}, {{36, 37}}},
      {"a document type declaration without an end ends at its first '>'", "<!DOCTYPE r [ ><r/>",
       {{15, 18, K::Empty, 16, 1}}, {}},
      {"after that, every one does", "<!DOCTYPE a [><!DOCTYPE b \">\"><r/>",
       {{30, 33, K::Empty, 31, 1}}, {{28, 30}}},
  };
  return cases;
}

TEST(SequentialIndex, EdgeCases) {
  for (const EdgeCase& c : successful_cases()) {
    IndexResult r = sequential(c.input);
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
    IndexResult r = sequential(c.input);
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
    IndexResult r = sequential(doc);
    ASSERT_TRUE(r.ok());
    const StructuralIndex& ix = r.value();
    ASSERT_EQ(ix.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(ix.constructs[i].name_len, n) << "construct " << i;
    EXPECT_EQ(ix.constructs[1].name_start(), n + 10);
  }
}

TEST(IndexEntry, DensityRuleChoosesTheBuild) {
  auto doc = [](size_t lt, size_t dq) { return std::string(lt, '<') + std::string(dq, '"'); };
  auto bitmap = [](const std::string& s) { return choose_build(s.data(), s.size()) == Build::Bitmap; };
  EXPECT_FALSE(bitmap(""));
  EXPECT_FALSE(bitmap("\"\"\"\"\""));  // 5 / max(0, 1) is not above 5
  EXPECT_TRUE(bitmap("\"\"\"\"\"\""));
  EXPECT_FALSE(bitmap(doc(10, 50)));
  EXPECT_TRUE(bitmap(doc(10, 51)));
  // Only the first 4096 bytes count.
  EXPECT_FALSE(bitmap(std::string(4096, 'x') + std::string(100, '"')));
  EXPECT_TRUE(bitmap(std::string(4090, '"') + "<" + std::string(100, '<')));
}

void expect_matches_reference(const std::string& input) {
  IndexResult got = sequential(input);
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
    ASSERT_TRUE(sequential(doc).ok()) << show(doc);
  }
}

}  // namespace
}  // namespace orvex::index
