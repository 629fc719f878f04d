// The bitmap build of the structural index against the sequential build and
// the plain reference, the block classification of every backend against the
// scalar one, and the entry operation's choice between the builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "index/structural.h"
#include "index_reference.h"
#include "simd/classify.h"
#include "simd/scalar.h"

namespace orvex::index {
namespace {

using testing::describe;
using testing::random_document;
using testing::random_soup;
using testing::reference_index;
using testing::Rules;
using testing::same;
using testing::show;

TEST(BlockClassification, EveryBackendMatchesScalarAndPlainBytes) {
  std::mt19937_64 rng(30);
  const char alphabet[] = "<>\"'ab \n";
  for (size_t align = 0; align < 16; align += 3) {
    for (size_t len = 0; len <= 300; ++len) {
      std::vector<uint8_t> storage(align + len);
      uint8_t* d = storage.data() + align;
      for (size_t i = 0; i < len; ++i) d[i] = uint8_t(alphabet[rng() % 8]);
      const size_t n = (len + 63) / 64;
      std::vector<simd::BlockBits> got(n), scalar(n), plain(n, simd::BlockBits{0, 0, 0, 0});
      simd::classify(d, len, got.data());
      simd::classify_with<simd::scalar::Vec>(d, len, scalar.data());
      for (size_t i = 0; i < len; ++i) {
        simd::BlockBits& blk = plain[i / 64];
        const uint64_t bit = uint64_t(1) << (i % 64);
        if (d[i] == '<') blk.lt |= bit;
        if (d[i] == '>') blk.gt |= bit;
        if (d[i] == '"') blk.dq |= bit;
        if (d[i] == '\'') blk.sq |= bit;
      }
      ASSERT_EQ(got, plain) << "len " << len << " align " << align;
      ASSERT_EQ(scalar, plain) << "len " << len << " align " << align;
    }
  }
}

bool same_result(const IndexResult& a, const IndexResult& b) {
  if (a.ok() != b.ok()) return false;
  return a.ok() ? a.value() == b.value() : a.error() == b.error();
}

IndexResult bitmap(const std::string& s) { return build_structural_index(s.data(), s.size(), Build::Bitmap); }
IndexResult sequential(const std::string& s) { return build_structural_index(s.data(), s.size(), Build::Sequential); }

void expect_builds_agree(const std::string& doc, const std::string& label) {
  IndexResult seq = sequential(doc);
  IndexResult bit = bitmap(doc);
  ASSERT_TRUE(same_result(bit, seq)) << label << "\nbitmap:     " << describe(bit).substr(0, 2000)
                                     << "\nsequential: " << describe(seq).substr(0, 2000);
}

TEST(BitmapIndex, EqualsSequentialOnRandomWellFormedDocuments) {
  std::mt19937_64 rng(20260201);
  for (int i = 0; i < 4000; ++i) {
    std::string doc = random_document(rng, i % 10 == 0 ? 400 : 40);
    expect_builds_agree(doc, show(doc));
  }
}

// Real documents found on the machine, when there are any.
TEST(BitmapIndex, EqualsSequentialOnXmlFilesOfTheSystem) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (const char* dir : {"/usr/share/mime/packages", "/usr/share/xml/iso-codes", "/usr/share/X11/xkb/rules",
                          "/usr/share/dbus-1/interfaces", "/usr/share/unicode/cldr/common/main"}) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
      if (it->path().extension() == ".xml") files.push_back(it->path());
  }
  std::error_code ec;
  size_t svgs = 0;
  for (fs::recursive_directory_iterator it("/usr/share/icons", ec), end; !ec && it != end && svgs < 300;
       it.increment(ec))
    if (it->path().extension() == ".svg" && it->is_regular_file(ec)) files.push_back(it->path()), ++svgs;
  if (files.empty()) GTEST_SKIP() << "no XML files under /usr/share";
  std::sort(files.begin(), files.end());
  size_t total = 0;
  for (const fs::path& f : files) {
    if (total > (24u << 20)) break;  // keep the emulated run short
    std::ifstream in(f, std::ios::binary);
    std::stringstream buf;
    buf << in.rdbuf();
    const std::string doc = buf.str();
    total += doc.size();
    expect_builds_agree(doc, f.string());
    ASSERT_TRUE(bitmap(doc).ok()) << f;
  }
  RecordProperty("files", int(files.size()));
  RecordProperty("bytes", int(total));
}

// The bitmap build follows the reference with its own three rules on any
// input; wherever none of them applies it equals the sequential build.
TEST(BitmapIndex, MalformedInputDiffersOnlyWhereItsOwnRulesApply) {
  std::mt19937_64 rng(20260202);
  int diverged = 0;
  for (int i = 0; i < 40000; ++i) {
    const std::string s = random_soup(rng, i % 50 == 0 ? 400 : 40);
    IndexResult bit = bitmap(s);
    testing::Reference want = reference_index(s, Rules::Bitmap);
    ASSERT_TRUE(same(bit, want)) << "input: " << show(s) << "\n got: " << describe(bit)
                                 << "\nwant: " << describe(want);
    if (want.diverged) {
      ++diverged;
    } else {
      expect_builds_agree(s, show(s));
    }
  }
  EXPECT_GT(diverged, 100);  // the soup does reach those rules
}

struct Case {
  const char* label;
  std::string input;
  std::string want;  // describe() of the bitmap build's result
};

TEST(BitmapIndex, EdgeCases) {
  const Case cases[] = {
      {"quoted '>' in an attribute", "<a t=\"1>2\">", "[0,10 k0 n1+1] text:"},
      {"apostrophe in text hides nothing", "<r>don't <b/> it's</r>",
       "[0,2 k0 n1+1][9,12 k2 n10+1][18,21 k1 n20+1] text: (3,9) (13,18)"},
      {"quote in a comment hides nothing", "<!-- \" --><a/>", "[0,9 k3 n0+0][10,13 k2 n11+1] text:"},
      {"quote in a PI hides nothing", "<?p '?><a/>", "[0,6 k5 n2+1][7,10 k2 n8+1] text:"},
      {"quote in an end tag hides nothing", "<a></a '><b/>", "[0,2 k0 n1+1][3,8 k1 n5+1][9,12 k2 n10+1] text:"},
      {"quote in a declaration hides nothing", "<!D '><a/>", "[6,9 k2 n7+1] text:"},
      {"CDATA content", "<r><![CDATA[x<y]]></r>", "[0,2 k0 n1+1][3,17 k4 n0+0][18,21 k1 n20+1] text: (12,15)"},
      {"comment without '-->' ends at len - 2", "<a/><!-- x y", "[0,3 k2 n1+1][4,10 k3 n0+0] text:"},
      {"short comment without '-->' ends after '<!--'", "<!--x", "[0,4 k3 n0+0] text:"},
      {"declaration without '>' is unclosed", "<a/><!x", "Unclosed@4"},
      {"'<' in the last byte is dropped", "<a/>x<", "[0,3 k2 n1+1] text: (4,5)"},
      {"both quote kinds in one tag", "<a x='\"' y=\"'>\"/>", "[0,16 k2 n1+1] text:"},
      {"unmatched quote skips two bytes", "<a b=\"x>", "[0,7 k0 n1+1] text:"},
      {"'/' after an unmatched quote is skipped", "<a \"/>", "[0,5 k0 n1+1] text:"},
  };
  for (const Case& c : cases) EXPECT_EQ(describe(bitmap(c.input)), c.want) << c.label;
}

// Tags spanning many blocks, quoted values crossing block edges, a "/>"
// split by an edge: every offset of a tag relative to the blocks.
TEST(BitmapIndex, LongTagsAtEveryBlockOffset) {
  for (size_t pad = 0; pad < 130; ++pad) {
    for (const char* tail : {"/>", ">"}) {
      std::string doc = std::string(pad, ' ') + "<svg";
      for (int k = 0; k < 12; ++k) doc += " a" + std::to_string(k) + (k % 3 ? "=\"x>y'z\"" : "='p\"/>q'");
      doc += std::string(pad % 70, ' ') + tail + "t<z/>";
      expect_builds_agree(doc, "pad " + std::to_string(pad));
    }
  }
}

// The bitmap build classifies a window of 64 KiB at a time: documents of
// several windows, with tags, values and searches crossing window edges.
TEST(BitmapIndex, LargeDocumentsAcrossWindowEdges) {
  std::mt19937_64 rng(20260203);
  std::string many = "<root>";
  while (many.size() < (600u << 10)) many += random_document(rng, 80);
  many += "</root>";
  expect_builds_agree(many, "concatenated documents");

  const std::string long_value = std::string(100000, 'v') + ">'/>";
  expect_builds_agree("<a x=\"" + long_value + "\" y='" + std::string(70000, '"') + "'/>tail<b/>", "long values");

  std::string tags;
  while (tags.size() < (200u << 10)) tags += "<e k=\"v\">t</e>";
  expect_builds_agree("<a b='x>" + tags + "<z/>", "quote without a partner, far back");
  expect_builds_agree("<a b=\"x>" + tags + "<z/>", "double quote without a partner");
  expect_builds_agree(std::string(300000, 't') + tags, "long text before the first tag");
  for (size_t shift : {0, 1, 63, 64, 65}) {
    std::string edge = std::string(65536 - 8 + shift, ' ') + "<p q=\"1>\" r='2' s=\"'\"/><w/>";
    expect_builds_agree(edge + tags, "tag on a window edge");
  }
}

TEST(IndexEntry, DenseQuotesChooseTheBitmapBuild) {
  // Six '"' per '<': the bitmap build, visible by its handling of an
  // unterminated comment.
  std::string dense = "<a x=\"1\" y=\"2\" z=\"3\"/><!-- open";
  dense.insert(0, "<b p=\"1\" q=\"2\" r=\"3\" s=\"4\" t=\"5\" u=\"6\"/>");
  IndexResult r = build_structural_index(dense.data(), dense.size());
  ASSERT_TRUE(r.ok()) << describe(r);
  EXPECT_EQ(r.value().constructs.back().kind(), TagKind::Comment);
  EXPECT_EQ(r.value().constructs.back().end, dense.size() - 2);

  std::string sparse = "<a x=\"1\"/><!-- open";
  r = build_structural_index(sparse.data(), sparse.size());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, IndexError::Kind::Overrun);
}

}  // namespace
}  // namespace orvex::index
