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
        scan_(buf_.get(), idx_) {}
  const Scanner& scan() const { return scan_; }
  const index::StructuralIndex& idx() const { return idx_; }
  SourceBuffer* buf() const { return buf_.get(); }
  // The first construct of a kind.
  size_t first(TagKind k) const {
    for (size_t i = 0; i < idx_.size(); ++i)
      if (idx_.kind[i] == k) return i;
    ADD_FAILURE() << "no construct of that kind";
    return 0;
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
  while (d.idx().kind[i] != TagKind::Start && d.idx().kind[i] != TagKind::Empty) ++i;
  auto el = d.scan().scan_start_tag(i, MapKey{1, 2});
  if (!el) return el.error().message();
  std::vector<std::string> attrs;
  el->attrs.for_each([&](const SharedStr& k, const SharedStr& v) {
    attrs.push_back(std::string(k.sv()) + "=" + std::string(v.sv()));
  });
  std::sort(attrs.begin(), attrs.end());
  std::string out = std::string(el->name.sv()) + "[";
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
  ASSERT_EQ(d.idx().kind[0], TagKind::Start);
  EXPECT_EQ(d.scan().element_name(0).error().message(),
            "malformed XML at byte 2: expected element name after '<'");
  EXPECT_EQ(d.scan().scan_start_tag(0, {}).error().message(),
            "malformed XML at byte 2: expected element name after '<'");
}

TEST(Scanner, ElementNameAndRegion) {
  Doc d("<ab c='1'/>");
  auto nr = d.scan().element_name(0);
  ASSERT_TRUE(nr.ok());
  EXPECT_EQ(nr->name.start, 1u);
  EXPECT_EQ(nr->name.end, 3u);
  EXPECT_EQ(nr->region.start, 3u);
  EXPECT_EQ(nr->region.end, 9u);  // stops before the '/' of '/>'
}

TEST(Scanner, NamesKeysAndUntouchedValuesAreViews) {
  Doc d("<a k='v' e='&amp;'/>");
  {
    auto el = d.scan().scan_start_tag(0, MapKey{5, 6});
    ASSERT_TRUE(el.ok());
    EXPECT_TRUE(el->name.is_view());
    EXPECT_EQ(el->attrs.map_key().k0, 5u);
    EXPECT_EQ(el->attrs.map_key().k1, 6u);
    el->attrs.for_each([](const SharedStr& k, const SharedStr& v) {
      EXPECT_TRUE(k.is_view());
      EXPECT_EQ(v.is_view(), k.sv() == "k");
    });
  }
  EXPECT_EQ(d.buf()->holders(), 1u);  // the element's views were its only holders

  Doc dup("<a k='v' j='w' k='x'/>");
  auto bad = dup.scan().scan_start_tag(0, {});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(dup.buf()->holders(), 1u);  // a failed scan keeps nothing
}

TEST(Scanner, LongNamesReadInFull) {
  const std::string name(70000, 'n');
  Doc d("<" + name + " k='v'></" + name + " >");
  auto el = d.scan().scan_start_tag(0, {});
  ASSERT_TRUE(el.ok());
  EXPECT_EQ(el->name.size(), name.size());
  EXPECT_EQ(el->attrs.size(), 1u);
  auto end = d.scan().check_end_tag_form(1);
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
    size_t i = d.first(c.kind);
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

// The closing checks read only the index's numbers, so they are checked here
// on hand-made entries too, where an index could disagree with the bytes.
TEST(Scanner, ClosingChecksTrustOnlyTheBytesAtTheTagEnd) {
  const std::string text = "<!--><![CDATA[x]]>";
  SourceHandle buf(SourceBuffer::copy_of(text.data(), text.size()));
  index::StructuralIndex ix;
  auto add = [&](uint64_t s, uint64_t e, TagKind k) {
    ix.tag_start.push_back(s);
    ix.tag_end.push_back(e);
    ix.kind.push_back(k);
    ix.name_offset.push_back(0);
    ix.name_len.push_back(0);
  };
  add(0, 4, TagKind::Comment);   // "<!-->" ends in '>' but is too short
  add(5, 17, TagKind::CData);    // content "x"
  add(5, 18, TagKind::CData);    // tag end at the document length
  Scanner s(buf.get(), ix);
  EXPECT_EQ(s.check_comment(0).error().message(), "malformed XML at byte 0: unterminated comment");
  auto content = s.check_cdata(1);
  ASSERT_TRUE(content.ok());
  EXPECT_EQ(content->start, 14u);
  EXPECT_EQ(content->end, 15u);
  EXPECT_TRUE(s.check_markup_closed(1).ok());
  EXPECT_EQ(s.check_markup_closed(2).error().message(), "malformed XML at byte 5: unterminated markup");
  EXPECT_EQ(s.check_cdata(2).error().message(), "malformed XML at byte 5: unterminated CDATA section");
}

TEST(Scanner, TextMustNotHoldALessThan) {
  const std::string text = "abc<def<g";
  SourceHandle buf(SourceBuffer::copy_of(text.data(), text.size()));
  index::StructuralIndex ix;
  Scanner s(buf.get(), ix);
  EXPECT_TRUE(s.check_text({0, 3}).ok());
  EXPECT_EQ(s.check_text({1, 9}).error().message(), "malformed XML at byte 3: unexpected '<'");
  EXPECT_EQ(s.check_text({4, 9}).error().message(), "malformed XML at byte 7: unexpected '<'");
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
