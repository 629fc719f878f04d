// A deliberately plain transcription of the structural index algorithm (byte
// loops only, no vectors, no bitmaps) that the real builds are checked
// against, plus random input generators shared by the index tests.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>

#include "index/structural.h"

namespace orvex::index::testing {

// Which build's handling of malformed input to follow. The bitmap build
// differs in three situations only: a comment without "-->" ends at len - 2
// (or just after "<!--" when fewer than three bytes follow it), a declaration
// without '>' is an unclosed tag, and a '<' in the last byte is dropped.
//
// A document type declaration ends at its first '>' outside quoted literals
// and outside its internal subset, where comments and processing
// instructions are skipped whole; once one found no such end, it and every
// later one end at their first '>'.
enum class Rules { Sequential, Bitmap };

struct Reference {
  std::optional<IndexError> error;
  StructuralIndex index;
  bool diverged = false;  // one of the three situations was met
};

inline Reference reference_index(std::string_view s, Rules rules) {
  Reference out;
  StructuralIndex& ix = out.index;
  const bool bitmap = rules == Rules::Bitmap;
  const size_t len = s.size();
  auto is_ws = [](char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; };
  auto add = [&](size_t g, size_t end, TagKind k, size_t, size_t n) {
    ix.constructs.push_back(Construct{g, end, n, static_cast<uint8_t>(k)});
  };
  auto has = [&](size_t at, std::string_view w) { return at + w.size() <= len && s.substr(at, w.size()) == w; };
  constexpr size_t none = std::string_view::npos;
  auto doctype_end = [&](size_t g) {
    bool subset = false;
    size_t i = g + 9;
    while (i < len) {
      const char c = s[i];
      size_t r;
      if (c == '"' || c == '\'') {
        if ((r = s.find(c, i + 1)) == none) return none;
        i = r + 1;
      } else if (!subset && c == '>') {
        return i;
      } else if (c == (subset ? ']' : '[')) {
        subset = !subset;
        ++i;
      } else if (subset && has(i, "<!--")) {
        if ((r = s.find("-->", i + 4)) == none) return none;
        i = r + 3;
      } else if (subset && has(i, "<?")) {
        if ((r = s.find("?>", i + 2)) == none) return none;
        i = r + 2;
      } else {
        ++i;
      }
    }
    return none;
  };
  bool doctype_broken = false;
  auto unclosed = [&](size_t g) {
    out.error = IndexError{IndexError::Kind::UnclosedTag, g};
    return out;
  };

  size_t p = 0, b = 0;
  while (p < len) {
    size_t g = p;
    while (g < len && s[g] != '<') ++g;
    if (g == len) break;
    size_t text_start = b == 0 ? 0 : b + 1;
    if (text_start < g) ix.text.push_back({text_start, g});
    if (g + 1 >= len) {
      if (!bitmap) return unclosed(g);
      out.diverged = true;
      return out;
    }
    size_t end = 0;
    if (s[g + 1] == '!' && has(g + 2, "--")) {
      size_t r = g + 4;
      while (r + 2 < len && !has(r, "-->")) ++r;
      if (r + 2 < len) {
        end = r + 2;
      } else if (!bitmap) {
        end = len;
      } else {
        out.diverged = true;
        end = g + 6 >= len ? g + 4 : len - 2;
        add(g, end, TagKind::Comment, 0, 0);
        if (end >= len) return out;
        b = end;
        p = b + 1;
        continue;
      }
      add(g, end, TagKind::Comment, 0, 0);
    } else if (s[g + 1] == '!' && has(g + 2, "[CDATA[")) {
      // The search restarts after each lone ']'; without "]]>" the section
      // ends where the last search for ']' began.
      size_t sc = g + 9;
      bool found = false;
      while (sc < len) {
        size_t r = sc;
        while (r < len && s[r] != ']') ++r;
        if (r == len) break;
        if (has(r, "]]>")) {
          if (g + 9 < r) ix.text.push_back({g + 9, r});
          end = r + 2;
          found = true;
          break;
        }
        sc = r + 1;
      }
      if (!found) end = sc;
      add(g, end, TagKind::CData, 0, 0);
    } else if (s[g + 1] == '!') {
      size_t r = none;
      if (!doctype_broken && has(g + 2, "DOCTYPE") && (r = doctype_end(g)) == none) doctype_broken = true;
      if (r == none) r = s.find('>', g);
      if (r == none) {
        if (bitmap) {
          out.diverged = true;
          return unclosed(g);
        }
        r = g;
      }
      b = r;
      p = b + 1;
      continue;
    } else if (s[g + 1] == '/') {
      size_t m = g + 2;
      if (m == len) return unclosed(g);
      size_t k = m;
      while (k < len && !is_ws(s[k]) && s[k] != '>') ++k;
      if (k == len) return unclosed(g);
      size_t r = k;
      while (r < len && s[r] != '>') ++r;
      if (r == len) return unclosed(g);
      end = r;
      add(g, end, TagKind::End, m, k - m);
    } else if (s[g + 1] == '?') {
      size_t m = g + 2, k = m;
      while (k < len && !is_ws(s[k]) && s[k] != '>' && s[k] != '?') ++k;
      if (k + 1 < len) {
        size_t i = k;
        while (!(s[i] == '?' && s[i + 1] == '>') && i + 2 < len) ++i;
        end = i + 1;
      } else {
        end = k;
      }
      add(g, end, TagKind::ProcessingInstruction, m, k - m);
    } else {
      size_t k = g + 1;
      while (k < len && !is_ws(s[k]) && s[k] != '/' && s[k] != '>') ++k;
      if (k == len) return unclosed(g);
      size_t c = k;
      bool closed = false;
      TagKind kind = TagKind::Start;
      while (c < len) {
        char ch = s[c];
        if (ch == '"' || ch == '\'') {
          size_t r = c + 1;
          while (r < len && s[r] != ch) ++r;
          c = r < len ? r + 1 : c + 2;
        } else if (ch == '/' && c + 1 < len && s[c + 1] == '>') {
          end = c + 1, kind = TagKind::Empty, closed = true;
          break;
        } else if (ch == '>') {
          end = c, closed = true;
          break;
        } else {
          ++c;
        }
      }
      if (!closed) return unclosed(g);
      add(g, end, kind, g + 1, k - g - 1);
    }
    b = end;
    p = b + 1;
    if (p > len) {
      out.error = IndexError{IndexError::Kind::Overrun, len};
      return out;
    }
  }
  return out;
}

// Readable dump of an index or error, for failure messages.
inline std::string describe(const IndexResult& r) {
  std::ostringstream o;
  if (!r.ok()) {
    o << (r.error().kind == IndexError::Kind::Overrun ? "Overrun@" : "Unclosed@") << r.error().offset;
    return o.str();
  }
  const StructuralIndex& ix = r.value();
  for (const Construct& c : ix.constructs) {
    const bool named = c.kind() != TagKind::Comment && c.kind() != TagKind::CData;
    o << "[" << c.start << "," << c.end << " k" << int(c.kind()) << " n" << (named ? c.name_start() : 0) << "+"
      << c.name_len << "]";
  }
  o << " text:";
  for (const TextRange& t : ix.text) o << " (" << t.start << "," << t.end << ")";
  return o.str();
}

inline std::string describe(const Reference& r) {
  if (r.error) return describe(IndexResult(fail(*r.error)));
  return describe(IndexResult(r.index));
}

inline bool same(const IndexResult& got, const Reference& want) {
  if (want.error) return !got.ok() && got.error() == *want.error;
  return got.ok() && got.value() == want.index;
}

// Printable escape of an input, for failure messages.
inline std::string show(std::string_view s) {
  std::string o;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      o += char(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      o += buf;
    }
  }
  return o;
}

// Random soup of markup fragments: mostly malformed, dense in the bytes
// that steer the index.
inline std::string random_soup(std::mt19937_64& rng, size_t max_pieces) {
  static constexpr std::string_view kPieces[] = {
      "<", ">", "/", "!", "?", "-", "[", "]", "\"", "'", "=", "a", "bc", "ns:x", " ", "\t", "\n",
      "\f", "\v", "\r", "é", "中", "\xF0\x9F\x98\x80", "<!--", "-->", "<![CDATA[", "]]>", "<?",
      "?>", "<!DOCTYPE d", "</", "/>", "<a", "<a b=\"", "x", "--", "&amp;", "\xFF"};
  std::uniform_int_distribution<size_t> n_dist(0, max_pieces);
  std::uniform_int_distribution<size_t> pick(0, std::size(kPieces) - 1);
  std::string s;
  for (size_t n = n_dist(rng); n > 0; --n) s += kPieces[pick(rng)];
  return s;
}

// Random well-formed document: nested elements with attributes in both
// quote styles (values holding '<', '>', "/>" and the other quote), text
// with apostrophes and quotes, comments, CDATA sections, processing
// instructions and a leading declaration. Built with an explicit stack.
inline std::string random_document(std::mt19937_64& rng, size_t max_nodes) {
  auto chance = [&](int percent) { return int(rng() % 100) < percent; };
  auto pick = [&](std::initializer_list<std::string_view> xs) {
    return std::string(*(xs.begin() + rng() % xs.size()));
  };
  auto name = [&] { return pick({"a", "item", "ns:el", "x-y", "é", "中文", "r1", "svg", "path"}); };
  auto ws = [&] { return pick({" ", "  ", "\n", "\t", "\r\n ", "\f"}); };
  auto text = [&] {
    return pick({"hello", "don't", "say \"hi\"", "a > b", "x &amp; y", "it's ok", "  ", "中文 text",
                 "&lt;tag&gt;", "'quoted'", "semi;colon", "1", "-", "]]", "?"});
  };
  auto attr_value = [&](char q) {
    std::string v = pick({"1", "a<b", "c>d", "/>", "x y", "", "&quot;", "path M 0 0 L 10 10", "-->"});
    if (chance(30)) v += q == '"' ? "'" : "\"";
    return v;
  };
  std::string out;
  if (chance(40)) out += "<?xml version=\"1.0\" encoding='UTF-8'?>" + ws();
  if (chance(20)) out += "<!DOCTYPE root SYSTEM \"r.dtd\">" + ws();
  std::vector<std::string> open;
  size_t budget = 1 + rng() % max_nodes;
  open.push_back(name());
  out += '<';
  out += open.back();
  out += '>';
  while (!open.empty()) {
    int r = int(rng() % 100);
    if (budget == 0 || r < 18) {
      out += "</";
      out += open.back();
      if (chance(20)) out += ws();
      out += '>';
      open.pop_back();
      continue;
    }
    --budget;
    if (r < 45) {
      std::string el = "<";
      el += name();
      for (int n = int(rng() % 4); n > 0; --n) {
        char q = chance(50) ? '"' : '\'';
        el += ws() + pick({"id", "class", "d", "x:y", "fill"}) + (chance(20) ? " = " : "=") + q +
              attr_value(q) + q;
      }
      if (chance(15)) el += ws();
      if (chance(35)) {
        out += el + "/>";
      } else {
        out += el + ">";
        open.push_back(el.substr(1, el.find_first_of(" \n\t\r\f") - 1));
      }
    } else if (r < 75) {
      out += text();
    } else if (r < 83) {
      out += "<!--" + pick({"", " c ", "a-b", "<x>", "don't", "- -"}) + "-->";
    } else if (r < 91) {
      out += "<![CDATA[" + pick({"", "x<y", "]]", "] ]>", "'", "a]b"}) + "]]>";
    } else {
      out += "<?" + pick({"pi", "target", "x"}) + pick({"", " data", " a?b", " '>"}) + "?>";
    }
  }
  if (chance(30)) out += ws() + "<!-- after -->";
  return out;
}

}  // namespace orvex::index::testing
