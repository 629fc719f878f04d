// Helpers shared by the fuzz targets: a crash-on-failure check, structural
// invariants of an index, and iterative (depth-safe) tree copy and compare.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/structural.h"
#include "text/utf8.h"
#include "read/whitespace.h"
#include "storage/node_record.h"

namespace orvex::fuzz {

[[noreturn]] inline void die(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", file, line, what);
  std::abort();
}

#define FUZZ_CHECK(cond) \
  do { if (!(cond)) ::orvex::fuzz::die(#cond, __FILE__, __LINE__); } while (0)

inline bool is_continuation(const char* d, size_t len, uint64_t off) {
  return off < len && (static_cast<unsigned char>(d[off]) & 0xC0) == 0x80;
}

// What every index either build returns must satisfy, whatever the input.
// Only the sequential build promises constructs that never overlap.
inline void check_index(const index::StructuralIndex& idx, size_t len, bool disjoint) {
  const auto& cs = idx.constructs;
  for (size_t i = 0; i < cs.size(); ++i) {
    FUZZ_CHECK(cs[i].start < len);
    FUZZ_CHECK(cs[i].end >= cs[i].start);
    if (i > 0 && disjoint) FUZZ_CHECK(cs[i].start > cs[i - 1].end || cs[i - 1].end >= len);
    FUZZ_CHECK(cs[i].kind_bits <= 5);
    if (cs[i].name_len > 0) FUZZ_CHECK(cs[i].name_start() + cs[i].name_len <= len);
  }
  uint64_t prev_end = 0;
  for (const auto& r : idx.text) {
    FUZZ_CHECK(r.start < r.end);
    FUZZ_CHECK(r.end <= len);
    FUZZ_CHECK(r.start >= prev_end);
    prev_end = r.end;
  }
}

inline bool same_attrs(const AttrMap& a, const AttrMap& b) {
  if (a.size() != b.size()) return false;
  for (const auto& e : a) {
    const SharedStr* v = b.find(e.key.sv());
    if (!v || !(*v == e.value)) return false;
  }
  return true;
}

// `expect_text` maps a text of `a` to the text `b` must have.
template <class TextRule>
bool same_tree(const Node* a, const Node* b, TextRule expect_text) {
  std::vector<std::pair<const NodeRecord*, const NodeRecord*>> todo{{&a->rec, &b->rec}};
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    if (!(x->name == y->name) || !same_attrs(x->attrs, y->attrs)) return false;
    std::optional<std::string> want = expect_text(x->text);
    if (want.has_value() != y->text.has_value()) return false;
    if (want && *want != y->text->sv()) return false;
    if (x->children.size() != y->children.size()) return false;
    for (size_t i = 0; i < x->children.size(); ++i) todo.push_back({&x->children[i]->rec, &y->children[i]->rec});
  }
  return true;
}

// Two record trees with equal names, attributes, texts and shapes.
inline bool same_records(const Node* a, const Node* b) {
  return same_tree(a, b, [](const OptStr& t) { return t ? std::optional<std::string>(t->sv()) : std::nullopt; });
}

// The text the reader gives back for a written text: White_Space trimmed at
// both ends, absent when nothing is left.
inline std::optional<std::string> reread_text(const OptStr& t) {
  if (!t) return std::nullopt;
  auto tr = read::trim_unicode_space(t->sv());
  if (tr.start >= tr.end) return std::nullopt;
  return std::string(t->sv().substr(tr.start, tr.end - tr.start));
}

// Every string of a reader result: valid UTF-8, views inside the document
// their record's block holds; names never empty, texts never empty nor
// padded with White_Space.
inline void check_reader_tree(const Node* root) {
  const NodeRecord* e = nullptr;
  auto check_str = [&](const SharedStr& s) {
    FUZZ_CHECK(text::is_valid_utf8(s.data() ? s.data() : "", s.size()));
    if (s.is_borrowed()) {
      FUZZ_CHECK(e->slab != nullptr);
      const SourceBuffer* doc = e->slab->doc.get();
      FUZZ_CHECK(s.data() >= doc->data() && s.data() + s.size() <= doc->data() + doc->size());
    }
  };
  std::vector<const NodeRecord*> todo{&root->rec};
  while (!todo.empty()) {
    e = todo.back();
    todo.pop_back();
    FUZZ_CHECK(!e->name.empty());
    check_str(e->name);
    for (const auto& kv : e->attrs) {
      FUZZ_CHECK(!kv.key.empty());
      check_str(kv.key);
      check_str(kv.value);
    }
    if (e->text) {
      check_str(*e->text);
      FUZZ_CHECK(!e->text->empty());
      auto tr = read::trim_unicode_space(e->text->sv());
      FUZZ_CHECK(tr.start == 0 && tr.end == e->text->size());
    }
    for (const Node* c : e->children) todo.push_back(&c->rec);
  }
}

}  // namespace orvex::fuzz
