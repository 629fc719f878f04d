// The reader's main loop: root selection, the skip stack, text accumulation
// and trimming, CDATA, every ReadError and the order in which faults are
// found, views kept as views, and depth without recursion.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "read/tree_builder.h"

namespace orvex::read {
namespace {

// name[k=v,...]"text"(children...): attributes sorted, text only when present.
std::string show(const Node* n) {
  const NodeRecord& e = n->rec;
  std::vector<std::string> attrs;
  e.attrs.for_each([&](const SharedStr& k, const SharedStr& v) {
    attrs.push_back(std::string(k.sv()) + "=" + std::string(v.sv()));
  });
  std::sort(attrs.begin(), attrs.end());
  std::string out(e.name.sv());
  if (!attrs.empty()) {
    out += "[";
    for (size_t i = 0; i < attrs.size(); ++i) out += (i ? "," : "") + attrs[i];
    out += "]";
  }
  if (e.text) out += "\"" + std::string(e.text->sv()) + "\"";
  if (!e.children.empty()) {
    out += "(";
    for (size_t i = 0; i < e.children.size(); ++i) out += (i ? "," : "") + show(e.children[i]);
    out += ")";
  }
  return out;
}

std::string read(const std::string& doc, const std::string& root) {
  SourceHandle buf(SourceBuffer::copy_of(doc.data(), doc.size()));
  auto r = build_tree(buf.get(), root);
  return r ? show(r.value().root()) : "error: " + r.error().message();
}

struct Case {
  const char* doc;
  const char* root;
  const char* expected;
};

TEST(TreeBuilder, RootSelection) {
  const Case cases[] = {
      {"<doc><item>1</item><item>2</item></doc>", "item", "item\"1\""},
      // Nothing after the root closes is examined.
      {"<doc><item>1</item></bad x=1><x y=1/>&bogus;", "item", "item\"1\""},
      {"<a/><b/>", "b", "b"},
      {"<a/><b x=1/>", "a", "a"},
      {"<x a=1><r/></x>", "r", "r"},
      {"<x a=1/><r/>", "r", "error: malformed XML at byte 5: value of attribute 'a' is not quoted"},
      {"<x>&bogus;<r/></x>", "r", "r"},
      {"<x>a < b<r/></x>", "r", "error: malformed XML at byte 5: expected element name after '<'"},
      // The index runs over the whole document first.
      {"<r/><", "r", "error: malformed XML: Unclosed tag at byte 4"},
      {"<x></y><r/>", "r", "error: malformed XML at byte 3: expected </x>, found </y>"},
      {"<a>x</a>", "b", "error: root tag <b> not found in document"},
      {"<a>", "b", "error: root tag <b> not found in document"},
      {"", "b", "error: root tag <b> not found in document"},
      {"just text", "b", "error: root tag <b> not found in document"},
      {"<a>text", "a", "error: unexpected end of document: <a> is never closed"},
      {"<a><b>", "a", "error: unexpected end of document: <b> is never closed"},
      {"<a><b></a>", "a", "error: malformed XML at byte 6: expected </b>, found </a>"},
      {"</a>", "a", "error: malformed XML at byte 0: unexpected end tag </a>"},
      {"<x/></x>", "a", "error: malformed XML at byte 4: unexpected end tag </x>"},
      {"<a><a>in</a></a>", "a", "a(a\"in\")"},
      {"<ns:a/>", "a", "error: root tag <a> not found in document"},
      {"<ns:a/>", "ns:a", "ns:a"},
      {"<A/>", "a", "error: root tag <a> not found in document"},
      {"<p><q><r>deep</r></q></p>", "q", "q(r\"deep\")"},
      {"<p><q/><q>second</q></p>", "q", "q"},
      {"<?xml version=\"1.0\"?><!DOCTYPE r><!-- c --><r/>", "r", "r"},
      {"\xEF\xBB\xBF<r>bom</r>", "r", "r\"bom\""},
      {"<\xC3\xA9 \xC3\xA8='\xC3\xA0'>\xC3\xBB</\xC3\xA9>", "\xC3\xA9", "\xC3\xA9[\xC3\xA8=\xC3\xA0]\"\xC3\xBB\""},
  };
  for (const Case& c : cases) EXPECT_EQ(read(c.doc, c.root), c.expected) << c.doc;
}

TEST(TreeBuilder, TextAccumulationAndTrimming) {
  const Case cases[] = {
      {"<a>  hello  </a>", "a", "a\"hello\""},
      {"<a>   </a>", "a", "a"},
      {"<a></a>", "a", "a"},
      {"<a>&#160;</a>", "a", "a"},
      {"<a>&#32;x</a>", "a", "a\"x\""},
      {"<a>\xE3\x80\x80x\xC2\x85</a>", "a", "a\"x\""},
      {"<a>x<b>y</b>z</a>", "a", "a\"xz\"(b\"y\")"},
      {"<p>x <b/> y</p>", "p", "p\"x  y\"(b)"},
      {"<a><![CDATA[ <tag> &amp; ]]></a>", "a", "a\"<tag> &amp;\""},
      {"<a>1<![CDATA[2]]>3</a>", "a", "a\"123\""},
      {"<a><![CDATA[]]></a>", "a", "a"},
      {"<a>foo<!-- c -->bar<?pi x?></a>", "a", "a\"foobar\""},
      {"<a>l1\r\nl2\nl3\r</a>", "a", "a\"l1\r\nl2\nl3\""},
      {"<a>\t&lt;&gt;\t</a>", "a", "a\"<>\""},
      {"<a>x&amp;<b/>&amp;y</a>", "a", "a\"x&&y\"(b)"},
      {"<a> <b/> </a>", "a", "a(b)"},
      {"<a x='1'>t<b/></a>", "a", "a[x=1]\"t\"(b)"},
      {"<r><![CDATA[<x>]]></r>", "r", "r\"<x>\""},
      // CDATA before the root: its content is skipped, not taken as text.
      {"<x><![CDATA[a<b]]></x><r>t</r>", "r", "r\"t\""},
  };
  for (const Case& c : cases) EXPECT_EQ(read(c.doc, c.root), c.expected) << c.doc;

  // Declarations end text without being constructs: thousands of them in a
  // row fill chunks with text alone, which still joins up in order.
  std::string many = "<r>", text;
  for (int i = 0; i < 10000; ++i) {
    many += std::to_string(i % 10) + "<!x>";
    text += std::to_string(i % 10);
  }
  EXPECT_EQ(read(many + "&amp;<e/>.</r>", "r"), "r\"" + text + "&.\"(e)");
}

TEST(TreeBuilder, FaultsInDocumentOrder) {
  const Case cases[] = {
      {"<a>&x;</a>", "a", "error: unknown entity reference '&x;' at byte 3"},
      {"<p>AT&T; ok</p>", "p", "error: unknown entity reference '&T;' at byte 5"},
      {"<\xC3\xA9>&q;</\xC3\xA9>", "\xC3\xA9", "error: unknown entity reference '&q;' at byte 4"},
      // The construct is checked before the faulty text in front of it.
      {"<a>&x;<b x=1/></a>", "a", "error: unknown entity reference '&x;' at byte 3"},
      {"<a>&x;<!-- ", "a", "error: malformed XML at byte 11: unexpected end of document"},
      {"<a>&x;<?pi", "a", "error: malformed XML at byte 10: unexpected end of document"},
      // A CDATA search that found no ']' ends where it started: not at the
      // end, so the text in front is decoded before the section is checked.
      {"<a>&x;<![CDATA[ x", "a", "error: unknown entity reference '&x;' at byte 3"},
      {"<a><![CDATA[ x", "a", "error: malformed XML at byte 3: unterminated CDATA section"},
      {"<a>&x;<![CDATA[ x]", "a", "error: malformed XML at byte 18: unexpected end of document"},
      {"<a>&x;</b>", "a", "error: unknown entity reference '&x;' at byte 3"},
      {"<a>&x;</a x>", "a", "error: unknown entity reference '&x;' at byte 3"},
      {"<a><!--x->y</a>", "a", "error: malformed XML at byte 15: unexpected end of document"},
      {"<a><?pi x></a>", "a", "error: malformed XML at byte 3: unterminated processing instruction"},
      {"<a></a x>", "a", "error: malformed XML at byte 3: malformed end tag </a>"},
      {"<a><b x='1' x='2'/></a>", "a", "error: malformed XML at byte 12: duplicate attribute 'x'"},
      {"<a>x<", "a", "error: malformed XML: Unclosed tag at byte 4"},
      {"<a", "a", "error: malformed XML: Unclosed tag at byte 0"},
      {"<a>< b/></a>", "a", "error: malformed XML at byte 3: expected element name after '<'"},
      {"<x>< y></x>", "r", "error: malformed XML at byte 3: expected element name after '<'"},
      {"<x><</x>", "r", "error: root tag <r> not found in document"},  // a start tag named '<' 
  };
  for (const Case& c : cases) EXPECT_EQ(read(c.doc, c.root), c.expected) << c.doc;
}

TEST(TreeBuilder, ViewsStayViewsAndTheBufferIsReleasedWithTheTree) {
  const std::string doc = "<a k='v' d='&lt;'>one<b z='1'>x&amp;y</b><c>p<!---->q</c><e><![CDATA[z]]></e></a>";
  SourceHandle buf(SourceBuffer::copy_of(doc.data(), doc.size()));
  {
    auto r = build_tree(buf.get(), "a");
    ASSERT_TRUE(r.ok());
    const NodeRecord& a = r.value().root()->rec;
    auto child = [&](size_t i) -> const NodeRecord& { return a.children[i]->rec; };
    EXPECT_TRUE(a.name.is_borrowed());
    a.attrs.for_each([](const SharedStr& k, const SharedStr& v) {
      EXPECT_TRUE(k.is_borrowed());
      EXPECT_EQ(v.is_borrowed(), k.sv() == "k");
    });
    ASSERT_EQ(a.children.size(), 3u);
    EXPECT_TRUE(a.text->is_borrowed());
    EXPECT_EQ(a.text->sv(), "one");
    EXPECT_FALSE(child(0).text->is_borrowed());  // decoded
    EXPECT_EQ(child(0).text->sv(), "x&y");
    EXPECT_FALSE(child(1).text->is_borrowed());  // two pieces
    EXPECT_EQ(child(1).text->sv(), "pq");
    EXPECT_TRUE(child(2).text->is_borrowed());  // one CDATA piece
    EXPECT_EQ(a.attrs.map_key().k0, child(0).attrs.map_key().k0);
    // One holder count per node block, none per view.
    EXPECT_EQ(buf->holders(), 1u + r.value().slabs().size());
  }
  EXPECT_EQ(buf->holders(), 1u);
  // A failed read leaves no holder behind either.
  auto bad = build_tree(buf.get(), "missing");
  EXPECT_FALSE(bad.ok());
  EXPECT_EQ(buf->holders(), 1u);
}

TEST(TreeBuilder, EachReadUsesItsOwnMapKey) {
  const std::string doc = "<a x='1'/>";
  SourceHandle buf(SourceBuffer::copy_of(doc.data(), doc.size()));
  auto r1 = build_tree(buf.get(), "a");
  auto r2 = build_tree(buf.get(), "a");
  MapKey k1 = r1->root()->rec.attrs.map_key(), k2 = r2->root()->rec.attrs.map_key();
  EXPECT_FALSE(k1.k0 == k2.k0 && k1.k1 == k2.k1);
}

TEST(TreeBuilder, LongNamesMatchTheirEndTags) {
  const std::string name(65536, 'q');
  EXPECT_EQ(read("<" + name + ">t</" + name + ">", name), name + "\"t\"");
  EXPECT_EQ(read("<" + name + "/>", name), name);
  EXPECT_EQ(read("<" + name + "x></" + name + ">", "r"),
            "error: malformed XML at byte 65539: expected </" + name + "x>, found </" + name + ">");
}

TEST(TreeBuilder, MillionLevelsWithoutRecursion) {
  const size_t depth = 1000000;
  std::string doc;
  doc.reserve(depth * 7 + 16);
  for (size_t i = 0; i < depth; ++i) doc += "<d>";
  doc += "x";
  for (size_t i = 0; i < depth; ++i) doc += "</d>";
  SourceHandle buf(SourceBuffer::copy_of(doc.data(), doc.size()));
  {
    auto r = build_tree(buf.get(), "d");
    ASSERT_TRUE(r.ok());
    size_t levels = 1;
    const NodeRecord* e = &r.value().root()->rec;
    while (!e->children.empty()) {
      ASSERT_EQ(e->children.size(), 1u);
      e = &e->children[0]->rec;
      ++levels;
    }
    EXPECT_EQ(levels, depth);
    EXPECT_EQ(e->text->sv(), "x");
  }  // the tree is freed here, also without recursion
  EXPECT_EQ(buf->holders(), 1u);

  // And an unclosed one: every open element is released on the error path.
  doc.resize(depth * 3);
  SourceHandle open(SourceBuffer::copy_of(doc.data(), doc.size()));
  auto r = build_tree(open.get(), "d");
  EXPECT_EQ(r.error().message(), "unexpected end of document: <d> is never closed");
  EXPECT_EQ(open->holders(), 1u);
}

}  // namespace
}  // namespace orvex::read
