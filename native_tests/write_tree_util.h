// Builders for PlainElement trees used by the writer's tests.
#pragma once

#include <initializer_list>
#include <random>
#include <string>
#include <utility>

#include "storage/plain_element.h"
#include "write/serializer.h"
#include "write/sinks.h"

namespace orvex::testutil {

inline PlainElement el(std::string_view name,
                       std::initializer_list<std::pair<const char*, std::string_view>> attrs = {}) {
  PlainElement e(SharedStr::owned(name), AttrMap());
  for (const auto& [k, v] : attrs) e.attrs.insert(SharedStr::owned(k), SharedStr::owned(v));
  return e;
}

inline PlainElement el(std::string_view name,
                       std::initializer_list<std::pair<const char*, std::string_view>> attrs,
                       std::string_view text) {
  PlainElement e = el(name, attrs);
  e.text = SharedStr::owned(text);
  return e;
}

// Serializes into memory (consumes the tree).
inline std::string render(PlainElement& e, uint64_t indent) {
  MemorySink sink;
  serialize(sink, e, indent);
  return std::string(sink.bytes());
}

// A random tree of up to a few hundred elements: random texts (absent, empty
// or words), attributes and shapes. With `specials`, strings contain
// characters that escaping replaces.
inline PlainElement random_tree(std::mt19937& rng, bool specials, size_t max_elements = 200) {
  const std::string special = "&<>\"'\t\r\n";
  auto word = [&](size_t maxlen) {
    std::string s(rng() % (maxlen + 1), ' ');
    for (char& ch : s)
      ch = (specials && rng() % 5 == 0) ? special[rng() % special.size()] : "abcxyz_-.0123 \x01"[rng() % 15];
    return s;
  };
  auto make = [&]() {
    PlainElement e(SharedStr::owned("e" + std::to_string(rng() % 20)), AttrMap());
    size_t nattrs = rng() % 4;
    for (size_t i = 0; i < nattrs; ++i)
      e.attrs.insert(SharedStr::owned("k" + std::to_string(i)), SharedStr::owned(word(12)));
    switch (rng() % 3) {
      case 0: break;
      case 1: e.text = SharedStr(); break;
      default: e.text = SharedStr::owned(word(30));
    }
    return e;
  };
  PlainElement root = make();
  std::vector<PlainElement*> all{&root};
  size_t n = rng() % max_elements;
  all.reserve(n + 1);
  // Children vectors are reserved up front so pointers stay valid.
  std::vector<size_t> parent_of(n);
  std::vector<size_t> child_count(n + 1, 0);
  for (size_t i = 0; i < n; ++i) {
    parent_of[i] = rng() % (i + 1);
    ++child_count[parent_of[i]];
  }
  root.children.reserve(child_count[0]);
  for (size_t i = 0; i < n; ++i) {
    PlainElement* p = all[parent_of[i]];
    p->children.push_back(make());
    PlainElement* c = &p->children.back();
    c->children.reserve(child_count[i + 1]);
    all.push_back(c);
  }
  return root;
}

// A copy with the same attribute order (small trees only: recursive).
inline PlainElement clone_tree(const PlainElement& e) {
  PlainElement c(e.name, e.attrs.clone());
  c.text = e.text;
  c.children.reserve(e.children.size());
  for (const PlainElement& ch : e.children) c.children.push_back(clone_tree(ch));
  return c;
}

}  // namespace orvex::testutil
