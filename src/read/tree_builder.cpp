#include "read/tree_builder.h"

#include <algorithm>
#include <new>
#include <optional>
#include <string>

#include "simd/scan.h"
#include "read/decode.h"
#include "read/scanner.h"
#include "read/text_accumulator.h"

namespace orvex::read {

void BuiltTree::discard() noexcept {
  // Before the records are objects their child lists hold no references.
  for (NodeSlab* slab : slabs_) {
    for (size_t i = 0; i < slab->used; ++i) {
      NodeRecord& rec = slab->node(i)->rec;
      rec.children.forget();
      rec.~NodeRecord();
    }
    NodeSlab::destroy(slab);
  }
  slabs_.clear();
}

namespace {

using index::Construct;
using index::TagKind;

// Constructs handed out by the index per step: their entries stay in cache
// between being written and being read.
constexpr size_t kChunk = 2048;

ReadError index_failure(const index::IndexError& e, uint64_t doc_len) {
  if (e.kind == index::IndexError::Kind::Overrun) return ReadError::malformed(doc_len, "unexpected end of document");
  return ReadError{ReadError::Kind::Index, 0, e.text()};
}

// An element of the root's subtree that is not closed yet.
struct OpenElement {
  Node* node;
  TextAccumulator text;
};

// The working memory of a read, kept per thread for the next one: a read of
// a small document would otherwise spend a tenth of its time allocating it
// and giving it back. A read takes the arrays over and hands them back
// empty; what grew large is given back to the system instead.
struct Scratch {
  index::StructuralIndex chunk;           // the constructs being walked
  std::vector<OpenElement> open;          // the root and its open descendants
  std::vector<std::string_view> skipped;  // open elements met before the root
  std::vector<Node*> siblings;            // children of the open elements, collected
  std::vector<size_t> first_child;        // per open element: where its children start

  static Scratch& of_this_thread() noexcept {
    thread_local Scratch kept;
    return kept;
  }
  // Empties the arrays, keeping the memory of the small ones.
  void clear() noexcept {
    constexpr size_t kKeep = size_t{1} << 20;  // bytes per array
    auto done = [](auto& v) {
      v.clear();
      if (v.capacity() * sizeof(v[0]) > kKeep) std::remove_reference_t<decltype(v)>().swap(v);
    };
    done(chunk.constructs);
    done(chunk.text);
    done(open);
    done(skipped);
    done(siblings);
    done(first_child);
  }
};

}  // namespace

class TreeBuilder {
 public:
  TreeBuilder(SourceBuffer* doc, std::string_view root_tag) noexcept
      : doc_(doc), scan_(doc), root_tag_(root_tag), map_key_(next_map_key()),
        w_(std::move(Scratch::of_this_thread())) {}
  ~TreeBuilder() {
    w_.clear();
    Scratch::of_this_thread() = std::move(w_);
  }
  TreeBuilder(const TreeBuilder&) = delete;
  TreeBuilder& operator=(const TreeBuilder&) = delete;

  // Success: `tree_` holds the root's subtree, complete.
  Result<Unit, ReadError> run(index::ConstructSource& source);

  BuiltTree take() && { return std::move(tree_); }

 private:
  // The steps below return false when the walk must stop: when the root is
  // complete (`complete_`) or at the first fault (`fault_`).

  // One construct.
  bool step(const Construct& c);
  // Consumes the text ranges that start before `limit`; inside the root they
  // are decoded and added to the innermost element's text.
  bool take_text_before(uint64_t limit);
  // Skips text ranges that start before `limit` (a CDATA section's content).
  void skip_text_before(uint64_t limit) noexcept {
    const auto& ranges = w_.chunk.text;
    while (next_text_ < ranges.size() && ranges[next_text_].start < limit) ++next_text_;
  }
  bool end_tag(const Construct& c);
  // Adds the element of a start or empty-element tag, with its attributes,
  // as the last child of the innermost open element (or as the root); null
  // at a fault.
  Node* add_element(const Scanner::NameAndRegion& nr);
  // Records the fault that ends the walk.
  [[gnu::cold, gnu::noinline]] bool failed(ReadError&& e) {
    fault_ = std::move(e);
    return false;
  }
  template <class T>
  [[gnu::cold, gnu::noinline]] bool failed(Result<T, ReadError>&& r) {
    return failed(std::move(r).error());
  }

  // The records, in node blocks (see NodeSlab).
  Node* new_node(uint64_t name_start, uint64_t name_end);
  NodeSlab* new_slab();
  Node** list_memory(size_t n);
  void open(Node*) { w_.first_child.push_back(w_.siblings.size()); }
  void close(Node* n);

  SourceBuffer* doc_;
  Scanner scan_;
  std::string_view root_tag_;
  MapKey map_key_;  // of every attribute map of this document

  Scratch w_;  // this read's working arrays

  size_t next_text_ = 0;  // into w_.chunk.text
  bool complete_ = false; // the root has closed
  std::optional<ReadError> fault_;

  BuiltTree tree_;                  // blocks in document order
  size_t table_per_node_ = 64;      // attribute table bytes per node in the next block
  Node** lists_next_ = nullptr;     // room for child lists, held by the document
  Node** lists_end_ = nullptr;
  size_t list_block_ = 64;          // pointers in the next block of that room
};

// Blocks grow with the document, so a small one takes little memory and a
// large one few allocations.
//
// Each block also has room for its nodes' attribute tables, sized by what
// the nodes of the block before wanted: more than they used when they ran
// out of room (later tables are allocated one by one), a little spare
// otherwise, so documents without attributes spend almost nothing on it.
NodeSlab* TreeBuilder::new_slab() {
  auto& slabs = tree_.slabs_;
  slabs.reserve(slabs.size() + 1);
  size_t cap = 8;
  if (!slabs.empty()) {
    NodeSlab* prev = slabs.back();
    cap = std::min<size_t>(prev->capacity * 2, 256);
    const char* start = reinterpret_cast<const char*>(prev->node(prev->capacity));
    const size_t region = static_cast<size_t>(prev->arena.end - start);
    const size_t used = static_cast<size_t>(prev->arena.next - start);
    const size_t per_node = used / prev->used;
    table_per_node_ = region - used < region / 16 ? std::max(per_node, table_per_node_) * 2 : per_node + 8;
    table_per_node_ = std::min<size_t>(table_per_node_, 4096);
  }
  doc_->retain();
  NodeSlab* slab = NodeSlab::create(SourceHandle(doc_), cap, cap * table_per_node_);
  if (slab == nullptr) throw std::bad_alloc();
  slabs.push_back(slab);
  return slab;
}

Node* TreeBuilder::new_node(uint64_t name_start, uint64_t name_end) {
  w_.siblings.push_back(nullptr);  // room first: nothing below can fail
  auto& slabs = tree_.slabs_;
  NodeSlab* slab = slabs.empty() ? nullptr : slabs.back();
  if (slab == nullptr || slab->used == slab->capacity) slab = new_slab();
  Node* n = slab->node(slab->used);
  n->head = ObjectHead{0, nullptr};
  new (&n->rec) NodeRecord();
  ++slab->used;
  n->rec.slab = slab;
  n->rec.name = SharedStr::borrowed_view(doc_, name_start, name_end);
  w_.siblings.back() = n;
  return n;
}

// Each element's children are collected on one stack shared by all open
// elements and handed over when its end tag comes, so every child list is
// made once, at its final size. The lists go one after the other into
// blocks that the document holds and frees with itself: no allocation per
// list, none to free when the tree goes, and lists in the order their
// elements close, as a walk of the tree meets them. (Placed in the node
// blocks instead, between attribute tables, they made searches twice as
// slow.)
Node** TreeBuilder::list_memory(size_t n) {
  if (static_cast<size_t>(lists_end_ - lists_next_) < n) {
    const size_t room = std::max(n, list_block_);
    list_block_ = std::min<size_t>(list_block_ * 2, size_t{1} << 17);
    lists_next_ = static_cast<Node**>(doc_->hold_block(room * sizeof(Node*)));
    if (lists_next_ == nullptr) throw std::bad_alloc();
    lists_end_ = lists_next_ + room;
  }
  Node** at = lists_next_;
  lists_next_ += n;
  return at;
}

void TreeBuilder::close(Node* n) {
  const size_t first = w_.first_child.back();
  w_.first_child.pop_back();
  if (const size_t count = w_.siblings.size() - first) {
    n->rec.children.place(list_memory(count), w_.siblings.data() + first, count);
    w_.siblings.resize(first);
  }
}

bool TreeBuilder::take_text_before(uint64_t limit) {
  const auto& ranges = w_.chunk.text;
  for (; next_text_ < ranges.size() && ranges[next_text_].start < limit; ++next_text_) {
    if (w_.open.empty()) continue;  // outside the root text is not examined
    const index::TextRange& r = ranges[next_text_];
    TextAccumulator& acc = w_.open.back().text;
    // Text without a reference is its own value: no call into the decoder.
    const char* data = doc_->data();
    if (simd::find_byte(data + r.start, data + r.end, '&') == nullptr) {
      acc.append_view(doc_, r.start, r.end);
      continue;
    }
    auto d = decode(std::string_view(data + r.start, r.end - r.start), r.start, DecodeMode::Text);
    if (!d) return failed(std::move(d));
    if (d->unchanged()) acc.append_view(doc_, r.start, r.end);
    else acc.append_owned(doc_, std::move(*d->decoded));
  }
  return true;
}

Node* TreeBuilder::add_element(const Scanner::NameAndRegion& nr) {
  Node* n = new_node(nr.name.start, nr.name.end);
  if (nr.region.size() != 0) {
    auto scanned = scan_.scan_attributes(nr.region, n->rec.attrs, map_key_, &n->rec.slab->arena);
    if (!scanned) [[unlikely]] {
      failed(std::move(scanned));
      return nullptr;
    }
  }
  return n;
}

bool TreeBuilder::end_tag(const Construct& c) {
  auto form = scan_.check_end_tag_form(c);
  if (!form) return failed(std::move(form));
  const std::string_view name = form.value();

  std::string_view expected;
  if (!w_.open.empty()) expected = w_.open.back().node->rec.name.sv();
  else if (!w_.skipped.empty()) expected = w_.skipped.back();
  else return failed(ReadError::malformed(c.start, "unexpected end tag </" + std::string(name) + ">"));
  if (name != expected) [[unlikely]]
    return failed(ReadError::malformed(
        c.start, "expected </" + std::string(expected) + ">, found </" + std::string(name) + ">"));

  if (w_.open.empty()) {
    w_.skipped.pop_back();
    return true;
  }
  OpenElement& top = w_.open.back();
  if (OptStr text = top.text.finish(doc_)) top.node->rec.text = std::move(*text);
  close(top.node);
  w_.open.pop_back();
  complete_ = w_.open.empty();
  return !complete_;
}

bool TreeBuilder::step(const Construct& c) {
  // A construct's own fault comes before any fault of the text in front of it.
  if (auto closed = scan_.check_markup_closed(c); !closed) return failed(std::move(closed));
  if (!take_text_before(c.start)) return false;

  switch (c.kind()) {
    case TagKind::Start: {
      auto nr = scan_.element_name(c);
      if (!nr) return failed(std::move(nr));
      if (w_.open.empty() && scan_.name_of(c) != root_tag_) {
        // Before the root only the name matters; the attributes are not read.
        w_.skipped.push_back(scan_.name_of(c));
        return true;
      }
      Node* n = add_element(*nr);
      if (n == nullptr) return false;
      open(n);
      w_.open.push_back({n, {}});
      return true;
    }
    case TagKind::Empty: {
      auto nr = scan_.element_name(c);
      if (!nr) return failed(std::move(nr));
      if (w_.open.empty() && scan_.name_of(c) != root_tag_) {
        // Not the root: its attributes are still checked.
        AttrMap scratch;
        if (auto a = scan_.scan_attributes(nr->region, scratch, map_key_); !a) return failed(std::move(a));
        return true;
      }
      if (add_element(*nr) == nullptr) return false;
      complete_ = w_.open.empty();  // an empty root is complete at once
      return !complete_;
    }
    case TagKind::End:
      return end_tag(c);
    case TagKind::Comment:
      if (auto r = scan_.check_comment(c); !r) return failed(std::move(r));
      return true;
    case TagKind::CData: {
      auto content = scan_.check_cdata(c);
      if (!content) return failed(std::move(content));
      if (!w_.open.empty()) w_.open.back().text.append_view(doc_, content->start, content->end);
      skip_text_before(c.end);
      return true;
    }
    case TagKind::ProcessingInstruction:
      if (auto r = scan_.check_processing_instruction(c); !r) return failed(std::move(r));
      return true;
  }
  return true;
}

Result<Unit, ReadError> TreeBuilder::run(index::ConstructSource& source) {
  // A small document needs no room for thousands of constructs (every
  // construct takes three bytes or more).
  const size_t chunk = std::min(kChunk, doc_->size() / 3 + 1);
  w_.chunk.constructs.reserve(chunk);
  w_.chunk.text.reserve(2 * chunk);
  bool more = true;
  while (more && !fault_ && !complete_) {
    auto r = source.next(w_.chunk, chunk);
    if (!r) return fail(index_failure(r.error(), doc_->size()));
    more = r.value();
    next_text_ = 0;
    for (const Construct& c : w_.chunk.constructs)
      if (!step(c)) break;
    // Text ranges past the chunk's last construct belong in front of the
    // next chunk's first one.
    if (more && !fault_ && !complete_) (void)take_text_before(UINT64_MAX);
  }
  // The index covers the whole document: a fault it finds anywhere, after
  // the root included, is the one reported.
  while (more) {
    auto r = source.next(w_.chunk, chunk);
    if (!r) return fail(index_failure(r.error(), doc_->size()));
    more = r.value();
  }
  if (fault_) return fail(std::move(*fault_));
  if (complete_) return Unit{};
  if (!w_.open.empty()) return fail(ReadError{ReadError::Kind::Unclosed, 0, std::string(w_.open.back().node->rec.name.sv())});
  return fail(ReadError{ReadError::Kind::RootNotFound, 0, std::string(root_tag_)});
}

BuildResult build_tree(SourceBuffer* doc, std::string_view root_tag, index::Build build) {
  auto source = index::make_construct_source(doc->data(), doc->size(), build);
  TreeBuilder builder(doc, root_tag);
  auto built = builder.run(*source);
  if (!built) return fail(std::move(built).error());
  return std::move(builder).take();
}

BuildResult build_tree(SourceBuffer* doc, std::string_view root_tag) {
  return build_tree(doc, root_tag, index::choose_build(doc->data(), doc->size()));
}

}  // namespace orvex::read
