// The element and attribute scanner over constructs located by the
// structural index: attributes, every message and its byte offset, end-tag
// form, and the closing checks of comments, CDATA sections and PIs.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "index/structural.h"
#include "read/scanner.h"

namespace orvex::read {
namespace {

using index::TagKind;

// One document, indexed, with a scanner over it.
class Doc {
 public:
  explicit Doc(const std::string& text)
      : buf_(SourceBuffer::copy_of(text.data(), text.size())),
        idx_(index::build_structural_index(buf_->data(), buf_->size()).value()),
        scan_(buf_.get()) {}
  const Scanner& scan() const { return scan_; }
  const index::Construct& c(size_t i) const { return idx_.constructs.at(i); }
  SourceBuffer* buf() const { return buf_.get(); }
  // The first construct of a kind.
  const index::Construct& first(TagKind k) const {
    for (const index::Construct& c : idx_.constructs)
      if (c.kind() == k) return c;
    ADD_FAILURE() << "no construct of that kind";
    return idx_.constructs.at(0);
  }
  // The start or empty-element tag's attributes, scanned into a map.
  Result<AttrMap, ReadError> attributes(size_t i, MapKey key = {}) const {
    auto nr = scan_.element_name(c(i));
    if (!nr) return fail(nr.error());
    AttrMap attrs;
    if (auto r = scan_.scan_attributes(nr->region, attrs, key); !r) return fail(r.error());
    return attrs;
  }

 private:
  SourceHandle buf_;
  index::StructuralIndex idx_;
  Scanner scan_;
};

// "name[k=v,...]" with the attributes sorted, or the error message.
std::string scan_first_tag(const std::string& text) {
  Doc d(text);
  size_t i = 0;
  while (d.c(i).kind() != TagKind::Start && d.c(i).kind() != TagKind::Empty) ++i;
  auto el = d.attributes(i, MapKey{1, 2});
  if (!el) return el.error().message();
  std::vector<std::string> attrs;
  el->for_each([&](const SharedStr& k, const SharedStr& v) {
    attrs.push_back(std::string(k.sv()) + "=" + std::string(v.sv()));
  });
  std::sort(attrs.begin(), attrs.end());
  std::string out = std::string(d.scan().name_of(d.c(i))) + "[";
  for (size_t k = 0; k < attrs.size(); ++k) out += (k ? "," : "") + attrs[k];
  return out + "]";
}

TEST(Scanner, AcceptedTags) {
  const std::pair<const char*, const char*> cases[] = {
      {"<a>", "a[]"},
      {"<a/>", "a[]"},
      {"<a >", "a[]"},
      {"<a />", "a[]"},
      {"<a\t\n\r\f/>", "a[]"},
      {"<a x='1'>", "a[x=1]"},
      {"<a x=\"it's\">", "a[x=it's]"},
      {"<a x='say \"hi\"'/>", "a[x=say \"hi\"]"},
      {"<a x = '1'>", "a[x=1]"},
      {"<a x\f=\f'1'\f>", "a[x=1]"},
      {"<a x='1' y=\"2\"/>", "a[x=1,y=2]"},
      {"<a x='a>b'>", "a[x=a>b]"},
      {"<a x=''>", "a[x=]"},
      {"<a x=' 1 '>", "a[x= 1 ]"},
      {"<a a:b='1' x.y='2' 1='3' \xC3\xA9='4'>", "a[1=3,a:b=1,x.y=2,\xC3\xA9=4]"},
      {"<a x='&lt;&#65;'>", "a[x=<A]"},
      {"<a x='t\tl\nc\r\nr\r'>", "a[x=t l c r ]"},
      {"<\xC3\xA9l\xC3\xA8ve k='v'/>", "\xC3\xA9l\xC3\xA8ve[k=v]"},
      {"<a b<c='1'>", "a[b<c=1]"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(scan_first_tag(text), expected) << text;
}

TEST(Scanner, TagFaultsAndOffsets) {
  const std::pair<const char*, const char*> cases[] = {
      {"<a x='1'y='2'>", "malformed XML at byte 8: expected whitespace before attribute"},
      {"<a/b>", "malformed XML at byte 2: expected whitespace before attribute"},
      {"<a x>", "malformed XML at byte 3: attribute 'x' has no value"},
      {"<a x'1'>", "malformed XML at byte 3: attribute 'x' has no value"},
      {"<a x />", "malformed XML at byte 3: attribute 'x' has no value"},
      {"<a   xyz  >", "malformed XML at byte 5: attribute 'xyz' has no value"},
      {"<a x=1>", "malformed XML at byte 5: value of attribute 'x' is not quoted"},
      {"<a x=  1>", "malformed XML at byte 7: value of attribute 'x' is not quoted"},
      {"<a x=>", "malformed XML at byte 5: value of attribute 'x' is not quoted"},
      {"<a x=  >", "malformed XML at byte 7: value of attribute 'x' is not quoted"},
      {"<a x= />", "malformed XML at byte 6: value of attribute 'x' is not quoted"},
      {"<a ='1'>", "malformed XML at byte 3: expected attribute name"},
      {"<a x='1' '2'>", "malformed XML at byte 9: expected attribute name"},
      {"<a x='1' x='2'>", "malformed XML at byte 9: duplicate attribute 'x'"},
      {"<a x='1' y='2' x=\"1\"/>", "malformed XML at byte 15: duplicate attribute 'x'"},
      // The value is decoded before the duplicate check.
      {"<a x='1' x='&bad;'>", "unknown entity reference '&bad;' at byte 12"},
      {"<a x='a<b'>", "malformed XML at byte 7: '<' is not allowed in attribute values"},
      {"<a x='&#0;'>", "malformed XML at byte 6: invalid character reference '&#0;'"},
      {"<a x='&amp'>", "malformed XML at byte 6: unterminated entity reference"},
      // The '/' of '/>' is outside the region, so the quote has no partner.
      {"<a x='/>", "malformed XML at byte 6: unterminated attribute value"},
      {"<\xC3\xA9 x=1>", "malformed XML at byte 6: value of attribute 'x' is not quoted"},
      {"<\xC3\xA9 \xC3\xA8>", "malformed XML at byte 4: attribute '\xC3\xA8' has no value"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(scan_first_tag(text), expected) << text;
}

TEST(Scanner, ElementNameMustNotBeEmpty) {
  Doc d("xy< a='1'>");
  ASSERT_EQ(d.c(0).kind(), TagKind::Start);
  EXPECT_EQ(d.scan().element_name(d.c(0)).error().message(),
            "malformed XML at byte 2: expected element name after '<'");
}

TEST(Scanner, ElementNameAndRegion) {
  Doc d("<ab c='1'/>");
  auto nr = d.scan().element_name(d.c(0));
  ASSERT_TRUE(nr.ok());
  EXPECT_EQ(nr->name.start, 1u);
  EXPECT_EQ(nr->name.end, 3u);
  EXPECT_EQ(nr->region.start, 3u);
  EXPECT_EQ(nr->region.end, 9u);  // stops before the '/' of '/>'
}

TEST(Scanner, NamesKeysAndUntouchedValuesAreViews) {
  Doc d("<a k='v' e='&amp;'/>");
  {
    auto el = d.attributes(0, MapKey{5, 6});
    ASSERT_TRUE(el.ok());
    EXPECT_EQ(el->map_key().k0, 5u);
    EXPECT_EQ(el->map_key().k1, 6u);
    el->for_each([](const SharedStr& k, const SharedStr& v) {
      EXPECT_TRUE(k.is_borrowed());
      EXPECT_EQ(v.is_borrowed(), k.sv() == "k");
    });
  }
  EXPECT_EQ(d.buf()->holders(), 1u);  // borrowed views count no holder of their own

  Doc dup("<a k='v' j='w' k='x'/>");
  auto bad = dup.attributes(0);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(dup.buf()->holders(), 1u);  // a failed scan keeps nothing
}

TEST(Scanner, LongNamesReadInFull) {
  const std::string name(70000, 'n');
  Doc d("<" + name + " k='v'></" + name + " >");
  auto el = d.attributes(0);
  ASSERT_TRUE(el.ok());
  EXPECT_EQ(d.scan().name_of(d.c(0)).size(), name.size());
  EXPECT_EQ(el->size(), 1u);
  auto end = d.scan().check_end_tag_form(d.c(1));
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(end.value().size(), name.size());
}

TEST(Scanner, EndTagForm) {
  const std::pair<const char*, const char*> cases[] = {
      {"</a>", "a"},
      {"</a >", "a"},
      {"</a\n>", "a"},
      {"</a\r\n\t >", "a"},
      {"</a \xC2\xA0\xE3\x80\x80\x0B>", "a"},  // any White_Space character
      {"</a\xC2\xA0>", "a\xC2\xA0"},          // non-ASCII bytes continue the name
      {"</a x>", "malformed XML at byte 0: malformed end tag </a>"},
      {"</a \xE2\x80\x8B>", "malformed XML at byte 0: malformed end tag </a>"},
      {"</a/>", "a/"},
      {"xx</\xC3\xA9 b>", "malformed XML at byte 2: malformed end tag </\xC3\xA9>"},
      {"</ >", ""},
  };
  for (const auto& [text, expected] : cases) {
    Doc d(text);
    auto r = d.scan().check_end_tag_form(d.first(TagKind::End));
    EXPECT_EQ(r ? std::string(r.value()) : r.error().message(), expected) << text;
  }
}

TEST(Scanner, ClosingChecks) {
  struct C {
    const char* text;
    TagKind kind;
    const char* expected;  // "" when accepted
  };
  const C cases[] = {
      {"<!---->", TagKind::Comment, ""},
      {"<!-- x -->", TagKind::Comment, ""},
      {"<!--->x-->", TagKind::Comment, ""},
      {"<?>", TagKind::ProcessingInstruction, ""},
      {"<?xml version='1.0'?>", TagKind::ProcessingInstruction, ""},
      {"ab<?pi x>", TagKind::ProcessingInstruction,
       "malformed XML at byte 2: unterminated processing instruction"},
      {"<![CDATA[]]>", TagKind::CData, ""},
      {"<![CDATA[x]>", TagKind::CData, "malformed XML at byte 0: unterminated CDATA section"},
  };
  for (const C& c : cases) {
    Doc d(c.text);
    const index::Construct& i = d.first(c.kind);
    std::string got;
    if (c.kind == TagKind::Comment) {
      auto r = d.scan().check_comment(i);
      if (!r) got = r.error().message();
    } else if (c.kind == TagKind::CData) {
      auto r = d.scan().check_cdata(i);
      if (!r) got = r.error().message();
    } else {
      auto r = d.scan().check_processing_instruction(i);
      if (!r) got = r.error().message();
    }
    EXPECT_EQ(got, c.expected) << c.text;
  }
}

// The closing checks read only the construct's numbers, so they are checked
// here on hand-made constructs too, where an index could disagree with the
// bytes.
TEST(Scanner, ClosingChecksTrustOnlyTheBytesAtTheTagEnd) {
  const std::string text = "<!--><![CDATA[x]]>";
  SourceHandle buf(SourceBuffer::copy_of(text.data(), text.size()));
  auto make = [](uint64_t s, uint64_t e, TagKind k) { return index::Construct{s, e, 0, static_cast<uint8_t>(k)}; };
  const index::Construct short_comment = make(0, 4, TagKind::Comment);  // ends in '>' but is too short
  const index::Construct cdata = make(5, 17, TagKind::CData);           // content "x"
  const index::Construct at_end = make(5, 18, TagKind::CData);          // tag end at the document length
  Scanner s(buf.get());
  EXPECT_EQ(s.check_comment(short_comment).error().message(), "malformed XML at byte 0: unterminated comment");
  auto content = s.check_cdata(cdata);
  ASSERT_TRUE(content.ok());
  EXPECT_EQ(content->start, 14u);
  EXPECT_EQ(content->end, 15u);
  EXPECT_TRUE(s.check_markup_closed(cdata).ok());
  EXPECT_EQ(s.check_markup_closed(at_end).error().message(), "malformed XML at byte 5: unterminated markup");
  EXPECT_EQ(s.check_cdata(at_end).error().message(), "malformed XML at byte 5: unterminated CDATA section");
}

TEST(KeyHashCache, AlwaysGivesTheMapKeysSipHash) {
  // Many names that share first, middle and last bytes and lengths (so
  // slots collide), repeated, under changing map keys.
  std::vector<std::string> names;
  for (int i = 0; i < 600; ++i) names.push_back("a" + std::string(size_t(i % 7), 'x') + std::to_string(i % 50) + "z");
  names.push_back("k");
  names.push_back(std::string(70000, 'n'));
  KeyHashCache cache;
  for (MapKey key : {MapKey{1, 2}, MapKey{1, 3}, MapKey{1, 2}})
    for (int round = 0; round < 2; ++round)
      for (const std::string& n : names) ASSERT_EQ(cache.hash(key, n), hash_key_bytes(key, n)) << n;
}

}  // namespace
}  // namespace orvex::read
