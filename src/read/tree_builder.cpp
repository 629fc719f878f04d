#include "read/tree_builder.h"

#include <string>
#include <vector>

#include "index/builds.h"
#include "read/decode.h"
#include "read/scanner.h"
#include "read/text_accumulator.h"
#include "storage/siphash.h"

namespace orvex::read {

namespace {

using index::TagKind;

// An element of the root's subtree that is not closed yet.
struct OpenElement {
  size_t at;  // its place in the flat element array
  TextAccumulator text;
};

class TreeBuilder {
 public:
  // `text_may_hold_lt`: whether the index can list character data holding a
  // '<' (the quote-aware build can; the sequential build never does, since
  // each of its text ranges ends at the first '<' after its start).
  TreeBuilder(SourceBuffer* doc, const index::StructuralIndex& idx, std::string_view root_tag,
              bool text_may_hold_lt = true)
      : doc_(doc), idx_(idx), scan_(doc, idx), root_tag_(root_tag), map_key_(next_map_key()),
        check_text_(text_may_hold_lt) {
    tree_.source = scan_.hold();
    tree_.map_key = map_key_;
  }

  Result<FlatTree, ReadError> run();

 private:
  // Consumes the text ranges that start before `limit`; inside the root they
  // are checked, decoded and added to the innermost element's text.
  Result<Unit, ReadError> take_text_before(uint64_t limit);
  // Skips text ranges that start before `limit` (a CDATA section's content).
  void skip_text_before(uint64_t limit) noexcept;
  // Handles an end tag; sets `done` when it closes the root.
  Result<Unit, ReadError> end_tag(size_t i, bool& done);
  // Appends a start or empty-element tag of the root's subtree, scanned.
  Result<Unit, ReadError> add_element(size_t i);
  std::string_view name_of_open() const noexcept {
    const FlatElement& e = tree_.elements[open_.back().at];
    return {doc_->data() + e.name_start, static_cast<size_t>(e.name_end - e.name_start)};
  }

  SourceBuffer* doc_;
  const index::StructuralIndex& idx_;
  Scanner scan_;
  std::string_view root_tag_;
  MapKey map_key_;  // one key for every attribute map of this document
  bool check_text_;

  FlatTree tree_;
  std::vector<OpenElement> open_;          // the root and its open descendants
  std::vector<std::string_view> skipped_;  // open elements met before the root
  size_t next_text_ = 0;
};

Result<Unit, ReadError> TreeBuilder::take_text_before(uint64_t limit) {
  const auto& ranges = idx_.text;
  for (; next_text_ < ranges.size() && ranges[next_text_].start < limit; ++next_text_) {
    if (open_.empty()) continue;  // outside the root text is not examined
    const index::TextRange& r = ranges[next_text_];
    if (check_text_) {
      auto checked = scan_.check_text(r);
      if (!checked) return fail(std::move(checked).error());
    }
    const std::string_view raw(doc_->data() + r.start, r.end - r.start);
    auto d = decode(raw, r.start, DecodeMode::Text);
    if (!d) return fail(std::move(d).error());
    TextAccumulator& acc = open_.back().text;
    if (d->unchanged()) acc.append_view(doc_, r.start, r.end);
    else acc.append_owned(doc_, std::move(*d->decoded));
  }
  return Unit{};
}

void TreeBuilder::skip_text_before(uint64_t limit) noexcept {
  const auto& ranges = idx_.text;
  while (next_text_ < ranges.size() && ranges[next_text_].start < limit) ++next_text_;
}

Result<Unit, ReadError> TreeBuilder::add_element(size_t i) {
  auto nr = scan_.element_name(i);
  if (!nr) return fail(std::move(nr).error());
  if (!open_.empty()) ++tree_.elements[open_.back().at].children;
  FlatElement& el = tree_.elements.emplace_back(FlatElement{nr->name.start, nr->name.end, 0, 0, 0});
  if (nr->region.size() == 0) return Unit{};
  AttrMap& attrs = tree_.maps.emplace_back(map_key_);
  auto scanned = scan_.scan_attributes(nr->region, attrs);
  if (!scanned) return scanned;
  if (attrs.empty()) tree_.maps.pop_back();  // only whitespace after the name
  else el.attrs = tree_.maps.size();
  return Unit{};
}

Result<Unit, ReadError> TreeBuilder::end_tag(size_t i, bool& done) {
  auto form = scan_.check_end_tag_form(i);
  if (!form) return fail(std::move(form).error());
  const std::string_view name = form.value();
  const uint64_t at = idx_.tag_start[i];

  std::string_view expected;
  if (!open_.empty()) expected = name_of_open();
  else if (!skipped_.empty()) expected = skipped_.back();
  else return fail(ReadError::malformed(at, "unexpected end tag </" + std::string(name) + ">"));
  if (name != expected)
    return fail(ReadError::malformed(
        at, "expected </" + std::string(expected) + ">, found </" + std::string(name) + ">"));

  if (open_.empty()) {
    skipped_.pop_back();
    return Unit{};
  }
  OpenElement& top = open_.back();
  if (OptStr text = top.text.finish(doc_)) {
    tree_.texts.push_back(std::move(*text));
    tree_.elements[top.at].text = tree_.texts.size();
  }
  open_.pop_back();
  done = open_.empty();
  return Unit{};
}

Result<FlatTree, ReadError> TreeBuilder::run() {
  const size_t n = idx_.size();
  for (size_t i = 0; i < n; ++i) {
    // A construct's own fault comes before any fault of the text in front of it.
    if (auto closed = scan_.check_markup_closed(i); !closed) return fail(std::move(closed).error());
    if (auto t = take_text_before(idx_.tag_start[i]); !t) return fail(std::move(t).error());

    switch (idx_.kind[i]) {
      case TagKind::Start: {
        if (open_.empty() && scan_.name_of(i) != root_tag_) {
          // Before the root only the name matters; the attributes are not read.
          auto nr = scan_.element_name(i);
          if (!nr) return fail(std::move(nr).error());
          skipped_.push_back(scan_.name_of(i));
          break;
        }
        if (auto a = add_element(i); !a) return fail(std::move(a).error());
        open_.push_back({tree_.elements.size() - 1, {}});
        break;
      }
      case TagKind::Empty: {
        if (open_.empty()) {
          auto el = scan_.scan_start_tag(i, map_key_);
          if (!el) return fail(std::move(el).error());
          if (el->name == root_tag_) {
            FlatElement& root = tree_.elements.emplace_back(
                FlatElement{el->name.start(), el->name.end(), 0, 0, 0});
            if (!el->attrs.empty()) {
              tree_.maps.push_back(std::move(el->attrs));
              root.attrs = 1;
            }
            return std::move(tree_);
          }
          break;
        }
        if (auto a = add_element(i); !a) return fail(std::move(a).error());
        break;
      }
      case TagKind::End: {
        bool done = false;
        if (auto r = end_tag(i, done); !r) return fail(std::move(r).error());
        if (done) return std::move(tree_);
        break;
      }
      case TagKind::Comment:
        if (auto r = scan_.check_comment(i); !r) return fail(std::move(r).error());
        break;
      case TagKind::CData: {
        auto content = scan_.check_cdata(i);
        if (!content) return fail(std::move(content).error());
        if (!open_.empty()) open_.back().text.append_view(doc_, content->start, content->end);
        skip_text_before(idx_.tag_end[i]);
        break;
      }
      case TagKind::ProcessingInstruction:
        if (auto r = scan_.check_processing_instruction(i); !r) return fail(std::move(r).error());
        break;
    }
  }
  if (!open_.empty())
    return fail(ReadError{ReadError::Kind::Unclosed, 0, std::string(name_of_open())});
  return fail(ReadError{ReadError::Kind::RootNotFound, 0, std::string(root_tag_)});
}

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
  auto flat = TreeBuilder(doc, idx, root_tag).run();
  if (!flat) return fail(std::move(flat).error());
  return to_plain(std::move(flat).value());
}

TreeResult build_tree(SourceBuffer* doc, std::string_view root_tag) {
  auto idx = index::build_structural_index(doc->data(), doc->size());
  if (!idx) return fail(index_failure(idx.error(), doc->size()));
  return build_tree_from_index(doc, idx.value(), root_tag);
}

FlatResult build_flat_tree(SourceBuffer* doc, std::string_view root_tag) {
  // The choice of build_structural_index, made here to know which build ran.
  const bool bitmap = index::prefers_bitmap_build(doc->data(), doc->size());
  auto idx = bitmap ? index::build_bitmap_index(doc->data(), doc->size())
                    : index::build_sequential_index(doc->data(), doc->size());
  if (!idx) return fail(index_failure(idx.error(), doc->size()));
  return TreeBuilder(doc, idx.value(), root_tag, bitmap).run();
}

}  // namespace orvex::read
