#include "read/tree_builder.h"

#include <vector>

#include "read/tree_builder_impl.h"

namespace orvex::read {

namespace {

// Builds the flat form (see flat_tree.h).
class FlatSink {
 public:
  using Handle = size_t;  // the element's place in the flat array

  explicit FlatSink(SourceBuffer* doc) {
    doc->retain();
    tree_.source = SourceHandle(doc);
    tree_.map_key = next_map_key();
  }

  MapKey map_key() const noexcept { return tree_.map_key; }
  Handle add(uint64_t name_start, uint64_t name_end) {
    if (!open_.empty()) ++tree_.elements[open_.back()].children;
    tree_.elements.push_back(FlatElement{name_start, name_end, 0, 0, 0});
    return tree_.elements.size() - 1;
  }
  AttrMap& attrs(Handle) { return tree_.maps.emplace_back(tree_.map_key); }
  BlockArena* tables(Handle) noexcept { return nullptr; }
  void attrs_done(Handle h) {
    if (tree_.maps.back().empty()) tree_.maps.pop_back();  // only whitespace after the name
    else tree_.elements[h].attrs = tree_.maps.size();
  }
  void set_text(Handle h, SharedStr&& text) {
    tree_.texts.push_back(std::move(text));
    tree_.elements[h].text = tree_.texts.size();
  }
  void open(Handle h) { open_.push_back(h); }
  void close(Handle) noexcept { open_.pop_back(); }
  std::string_view name(Handle h) const noexcept {
    const FlatElement& e = tree_.elements[h];
    return {tree_.doc()->data() + e.name_start, static_cast<size_t>(e.name_end - e.name_start)};
  }

  FlatTree take() && { return std::move(tree_); }

 private:
  FlatTree tree_;
  std::vector<size_t> open_;
};

// The PlainElement tree of a flat result, built from the back (see flat_tree.h).
PlainElement to_plain(FlatTree&& tree) {
  std::vector<PlainElement> made;
  auto& els = tree.elements;
  while (!els.empty()) {
    FlatElement& e = els.back();
    PlainElement p(tree.name_of(e), e.attrs ? std::move(tree.maps[e.attrs - 1]) : AttrMap(tree.map_key));
    p.source = tree.hold();
    if (e.text) p.text = std::move(tree.texts[e.text - 1]);
    p.children.reserve(e.children);
    for (size_t k = 0; k < e.children; ++k) {
      p.children.push_back(std::move(made.back()));
      made.pop_back();
    }
    els.pop_back();
    made.push_back(std::move(p));
  }
  return std::move(made.back());
}

}  // namespace

ReadError index_failure(const index::IndexError& e, uint64_t doc_len) {
  if (e.kind == index::IndexError::Kind::Overrun)
    return ReadError::malformed(doc_len, "unexpected end of document");
  return ReadError{ReadError::Kind::Index, 0, e.text()};
}

TreeResult build_tree_from_index(SourceBuffer* doc, const index::StructuralIndex& idx,
                                 std::string_view root_tag) {
  FlatSink sink(doc);
  auto built = TreeBuilder<FlatSink>(doc, idx, root_tag, sink).run();
  if (!built) return fail(std::move(built).error());
  return to_plain(std::move(sink).take());
}

TreeResult build_tree(SourceBuffer* doc, std::string_view root_tag) {
  auto idx = index::build_structural_index(doc->data(), doc->size());
  if (!idx) return fail(index_failure(idx.error(), doc->size()));
  return build_tree_from_index(doc, idx.value(), root_tag);
}

FlatResult build_flat_tree(SourceBuffer* doc, std::string_view root_tag) {
  FlatSink sink(doc);
  auto built = build_into(doc, root_tag, sink);
  if (!built) return fail(std::move(built).error());
  return std::move(sink).take();
}

}  // namespace orvex::read
