// Trees of node records for the writer's tests and fuzzers, made without the
// interpreter: nodes allocated one by one and owned by a Forest, which frees
// them all. A node may be a child of several parents, as Node objects may.
#pragma once

#include <initializer_list>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/node_record.h"
#include "write/sinks.h"
#include "write/writer.h"

namespace orvex::testutil {

class Forest {
 public:
  Forest() = default;
  Forest(const Forest&) = delete;
  Forest& operator=(const Forest&) = delete;
  ~Forest() {
    for (Node* n : nodes_) {
      const bool in_block = n->rec.slab != nullptr;
      n->rec.~NodeRecord();
      if (!in_block) ::operator delete(n);
    }
    for (NodeSlab* s : slabs_) NodeSlab::destroy(s);
  }

  // Nodes made from now on live in node blocks that hold `doc`, as the
  // reader's do, so their views of `doc` are written the way the module
  // writes a document's.
  void place_in(SourceBuffer* doc) { doc_ = doc; }

  Node* node(std::string_view name, std::initializer_list<std::pair<std::string_view, std::string_view>> attrs = {},
             std::optional<std::string_view> text = std::nullopt) {
    Node* n = new_node();
    n->head = ObjectHead{1, nullptr};
    new (&n->rec) NodeRecord();
    nodes_.push_back(n);
    if (doc_ != nullptr) n->rec.slab = slabs_.back();
    n->rec.name = SharedStr::owned(name);
    for (const auto& [k, v] : attrs) n->rec.attrs.insert(SharedStr::owned(k), SharedStr::owned(v));
    if (text) n->rec.text = SharedStr::owned(*text);
    return n;
  }
  // A node whose strings are the given ones (views, for instance).
  Node* node(SharedStr name) {
    Node* n = node("");
    n->rec.name = std::move(name);
    return n;
  }
  static void set_children(Node* parent, const std::vector<Node*>& kids) {
    parent->rec.children.assign(kids.data(), kids.size());
  }

  // A random tree of up to `max_elements` elements: random texts (absent,
  // empty or words), attributes and shapes. With `specials`, strings hold
  // characters that escaping replaces.
  Node* random_tree(std::mt19937& rng, bool specials, size_t max_elements = 200) {
    const std::string special = "&<>\"'\t\r\n";
    auto word = [&](size_t maxlen) {
      std::string s(rng() % (maxlen + 1), ' ');
      for (char& ch : s)
        ch = (specials && rng() % 5 == 0) ? special[rng() % special.size()] : "abcxyz_-.0123 \x01"[rng() % 15];
      return s;
    };
    auto make = [&]() {
      Node* e = node("e" + std::to_string(rng() % 20));
      const size_t nattrs = rng() % 4;
      for (size_t i = 0; i < nattrs; ++i) e->rec.attrs.insert(SharedStr::owned("k" + std::to_string(i)), SharedStr::owned(word(12)));
      switch (rng() % 3) {
        case 0: break;
        case 1: e->rec.text = SharedStr(); break;
        default: e->rec.text = SharedStr::owned(word(30));
      }
      return e;
    };
    const size_t n = rng() % max_elements;
    std::vector<Node*> all{make()};
    std::vector<std::vector<Node*>> kids(n + 1);
    for (size_t i = 0; i < n; ++i) {
      all.push_back(make());
      kids[rng() % (i + 1)].push_back(all.back());
    }
    for (size_t i = 0; i <= n; ++i) set_children(all[i], kids[i]);
    return all[0];
  }

  // A copy of the tree under `root` (iterative, any depth) whose strings
  // are made by `copy` from the original's.
  template <class CopyStr>
  Node* copy(const Node* root, CopyStr&& copy_str) {
    struct Pending {
      const Node* from;
      Node* to;
    };
    Node* out = node(copy_str(root->rec.name));
    std::vector<Pending> todo{{root, out}};
    while (!todo.empty()) {
      auto [from, to] = todo.back();
      todo.pop_back();
      // The same slots in the same order: clone the map, then swap the strings.
      to->rec.attrs = from->rec.attrs.clone();
      for (const auto& entry : to->rec.attrs) {
        auto& slot = const_cast<AttrMap::Entry&>(entry);
        slot.key = copy_str(entry.key);
        slot.value = copy_str(entry.value);
      }
      if (from->rec.text) to->rec.text = copy_str(*from->rec.text);
      std::vector<Node*> kids;
      for (const Node* c : from->rec.children) {
        kids.push_back(node(copy_str(c->rec.name)));
        todo.push_back({c, kids.back()});
      }
      set_children(to, kids);
    }
    return out;
  }

 private:
  Node* new_node() {
    if (doc_ == nullptr) return static_cast<Node*>(::operator new(sizeof(Node)));
    if (slabs_.empty() || slabs_.back()->used == slabs_.back()->capacity) {
      doc_->retain();
      slabs_.push_back(NodeSlab::create(SourceHandle(doc_), 64, 0));
    }
    NodeSlab* s = slabs_.back();
    return s->node(s->used++);
  }

  SourceBuffer* doc_ = nullptr;
  std::vector<NodeSlab*> slabs_;
  std::vector<Node*> nodes_;
};

// The document of the tree under `root`, written into memory.
inline std::string render(const Node* root, uint64_t indent, bool declaration = false) {
  MemorySink sink;
  write_document(sink, root->rec, WriteOptions{indent, declaration});
  return std::string(sink.bytes());
}

}  // namespace orvex::testutil
