// The index walk shared by both builds: handed out in chunks it gives the
// same index as in one piece, and on every adversarial shape it examines a
// number of bytes linear in the input.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "index/structural.h"
#include "index_reference.h"

namespace orvex::index {
namespace {

using testing::describe;
using testing::random_document;
using testing::random_soup;
using testing::show;

// The index handed out `max` constructs at a time, joined.
IndexResult in_chunks(const std::string& s, Build build, size_t max) {
  auto source = make_construct_source(s.data(), s.size(), build);
  StructuralIndex whole, chunk;
  for (;;) {
    auto r = source->next(chunk, max);
    if (!r) return fail(r.error());
    EXPECT_LE(chunk.size(), max);
    whole.constructs.insert(whole.constructs.end(), chunk.constructs.begin(), chunk.constructs.end());
    whole.text.insert(whole.text.end(), chunk.text.begin(), chunk.text.end());
    if (!r.value()) break;
  }
  // Nothing more once the source is done.
  auto again = source->next(chunk, max);
  EXPECT_TRUE(again.ok() && !again.value() && chunk.size() == 0 && chunk.text.empty());
  return whole;
}

TEST(IndexWalk, ChunksJoinToTheWholeIndex) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 3000; ++i) {
    const std::string s = i % 2 ? random_document(rng, 60) : random_soup(rng, 60);
    for (Build b : {Build::Sequential, Build::Bitmap}) {
      const std::string whole = describe(build_structural_index(s.data(), s.size(), b));
      for (size_t max : {1, 2, 7}) ASSERT_EQ(describe(in_chunks(s, b, max)), whole) << show(s) << " max " << max;
    }
  }
}

// A chunk holds about `max` text ranges too: declarations end text without
// being constructs, and a document of nothing else must not pile up all
// its text ranges in one chunk.
TEST(IndexWalk, ChunksBoundTextRangesToo) {
  std::string s = "<r/>";
  for (int i = 0; i < 1000; ++i) s += "a<!x>";
  for (Build b : {Build::Sequential, Build::Bitmap}) {
    auto source = make_construct_source(s.data(), s.size(), b);
    StructuralIndex chunk;
    for (;;) {
      auto r = source->next(chunk, 8);
      ASSERT_TRUE(r.ok());
      EXPECT_LE(chunk.text.size(), 8u);
      if (!r.value()) break;
    }
  }
}

// Shapes that make a naive scan search the rest of the document again and
// again: unterminated declarations, document type declarations, literals,
// comments, CDATA sections, processing instructions and attribute quotes.
struct Shape {
  const char* name;
  std::function<std::string(size_t)> make;  // about n bytes
};

std::string repeat(std::string_view head, std::string_view unit, size_t n) {
  std::string s(head);
  while (s.size() < n) s += unit;
  return s;
}

const Shape kShapes[] = {
    {"declarations without '>'", [](size_t n) { return repeat("<r/>", "<!", n); }},
    {"declarations, then one '>'", [](size_t n) { return repeat("<r>", "<!x", n) + ">"; }},
    {"document type declarations without an end", [](size_t n) { return repeat("<r/>", "<!DOCTYPE [", n); }},
    {"document type declarations, '>' in the subset", [](size_t n) { return repeat("<r/>", "<!DOCTYPE [>", n); }},
    {"unterminated literals in a subset", [](size_t n) { return repeat("<!DOCTYPE r [", "<!ENTITY x \"", n); }},
    {"unterminated comments in a subset", [](size_t n) { return repeat("<!DOCTYPE r [", "<!--", n) + ">"; }},
    {"unterminated comments", [](size_t n) { return repeat("<r>", "<!--", n); }},
    {"dashes in a comment", [](size_t n) { return repeat("<r><!--", "-->-x--", n); }},
    {"unterminated CDATA sections", [](size_t n) { return repeat("<r>", "<![CDATA[", n); }},
    {"brackets in a CDATA section", [](size_t n) { return repeat("<r><![CDATA[", "]]]x]", n); }},
    {"unterminated processing instructions", [](size_t n) { return repeat("<r>", "<?x", n); }},
    {"question marks without '>'", [](size_t n) { return repeat("<r><?x ", "?<?", n); }},
    {"unmatched double quotes", [](size_t n) { return repeat("<r>", "<a \"", n); }},
    {"unmatched single quotes", [](size_t n) { return repeat("<r>", "<a b='", n); }},
    {"end tags without '>'", [](size_t n) { return repeat("<r>", "</a", n); }},
    {"start tags without '>'", [](size_t n) { return repeat("<r>", "<a b", n); }},
    {"quotes in dense tags", [](size_t n) { return repeat("<r>", "<a b=\"\" c='' d=\"", n); }},
};

TEST(IndexWalk, WorkIsLinearOnAdversarialShapes) {
  constexpr size_t kSize = 1 << 20;
  for (const Shape& shape : kShapes) {
    const std::string s = shape.make(kSize);
    for (Build b : {Build::Sequential, Build::Bitmap}) {
      uint64_t examined = 0;
      (void)build_structural_index(s.data(), s.size(), b, &examined);
      // Each byte is looked at a few times at most (once per byte searched
      // for, once by a scan); a quadratic walk would look at millions.
      EXPECT_LE(examined, 8 * s.size()) << shape.name << (b == Build::Bitmap ? " (bitmap)" : " (sequential)");
    }
  }
}

// The shapes read the same way as the plain reference reads them.
TEST(IndexWalk, AdversarialShapesMatchTheReference) {
  for (const Shape& shape : kShapes) {
    const std::string s = shape.make(300);
    for (auto [b, rules] : {std::pair{Build::Sequential, testing::Rules::Sequential},
                            std::pair{Build::Bitmap, testing::Rules::Bitmap}}) {
      IndexResult got = build_structural_index(s.data(), s.size(), b);
      testing::Reference want = testing::reference_index(s, rules);
      EXPECT_TRUE(testing::same(got, want)) << shape.name << "\n got: " << describe(got) << "\nwant: " << describe(want);
    }
  }
}

}  // namespace
}  // namespace orvex::index
