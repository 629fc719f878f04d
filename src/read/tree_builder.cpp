#include "read/tree_builder.h"

#include <optional>
#include <string>
#include <vector>

#include "read/decode.h"
#include "read/scanner.h"
#include "read/text_accumulator.h"
#include "storage/siphash.h"

namespace orvex::read {

namespace {

using index::TagKind;

// An element of the root's subtree that is not closed yet.
struct OpenElement {
  OpenElement(SharedStr name, MapKey key, size_t first_child)
      : el(std::move(name), AttrMap(key)), first_child(first_child) {}
  PlainElement el;
  TextAccumulator text;
  size_t first_child;  // where its closed children start in the pending list
};

class TreeBuilder {
 public:
  TreeBuilder(SourceBuffer* doc, const index::StructuralIndex& idx, std::string_view root_tag)
      : doc_(doc), idx_(idx), scan_(doc, idx), root_tag_(root_tag), map_key_(next_map_key()) {}

  TreeResult run();

 private:
  // Consumes the text ranges that start before `limit`; inside the root they
  // are checked, decoded and added to the innermost element's text.
  Result<Unit, ReadError> take_text_before(uint64_t limit);
  // Skips text ranges that start before `limit` (a CDATA section's content).
  void skip_text_before(uint64_t limit) noexcept;
  // Handles an end tag; sets `done` when it closes the root.
  Result<Unit, ReadError> end_tag(size_t i, bool& done);
  // Moves the innermost open element's closed children into its list.
  void adopt_children(OpenElement& parent);

  SourceBuffer* doc_;
  const index::StructuralIndex& idx_;
  Scanner scan_;
  std::string_view root_tag_;
  MapKey map_key_;  // one key for every attribute map of this document

  std::vector<OpenElement> open_;          // the root and its open descendants
  // Closed children of the open elements, in document order, waiting for
  // their parent's end tag. Each list is then allocated once at its exact
  // size: no regrowth while building, and no spare capacity at the end of
  // the walk, which (with the index still alive) is the read's memory peak.
  std::vector<PlainElement> pending_;
  std::vector<std::string_view> skipped_;  // open elements met before the root
  size_t next_text_ = 0;
  std::optional<PlainElement> result_;  // the root, once closed
};

Result<Unit, ReadError> TreeBuilder::take_text_before(uint64_t limit) {
  const auto& ranges = idx_.text;
  for (; next_text_ < ranges.size() && ranges[next_text_].start < limit; ++next_text_) {
    if (open_.empty()) continue;  // outside the root text is not examined
    const index::TextRange& r = ranges[next_text_];
    auto checked = scan_.check_text(r);
    if (!checked) return fail(std::move(checked).error());
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

Result<Unit, ReadError> TreeBuilder::end_tag(size_t i, bool& done) {
  auto form = scan_.check_end_tag_form(i);
  if (!form) return fail(std::move(form).error());
  const std::string_view name = form.value();
  const uint64_t at = idx_.tag_start[i];

  std::string_view expected;
  if (!open_.empty()) expected = open_.back().el.name.sv();
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
  top.el.text = top.text.finish(doc_);
  adopt_children(top);
  if (open_.size() == 1) {
    result_.emplace(std::move(top.el));
    std::vector<PlainElement>().swap(pending_);  // emptied by now: give back its capacity
    done = true;
  } else {
    pending_.push_back(std::move(top.el));
  }
  open_.pop_back();
  return Unit{};
}

void TreeBuilder::adopt_children(OpenElement& parent) {
  const size_t first = parent.first_child;
  if (first == pending_.size()) return;
  std::vector<PlainElement>& kids = parent.el.children;
  kids.reserve(pending_.size() - first);
  for (size_t k = first; k < pending_.size(); ++k) kids.push_back(std::move(pending_[k]));
  pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(first), pending_.end());
}

TreeResult TreeBuilder::run() {
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
        // Built where it will stay until its end tag.
        auto nr = scan_.element_name(i);
        if (!nr) return fail(std::move(nr).error());
        OpenElement& open = open_.emplace_back(scan_.view(nr->name), map_key_, pending_.size());
        open.el.source = scan_.hold();
        if (auto a = scan_.scan_attributes(nr->region, open.el.attrs); !a)
          return fail(std::move(a).error());
        break;
      }
      case TagKind::Empty: {
        if (open_.empty()) {
          auto el = scan_.scan_start_tag(i, map_key_);
          if (!el) return fail(std::move(el).error());
          if (el->name == root_tag_) return std::move(el).value();
          break;
        }
        auto nr = scan_.element_name(i);
        if (!nr) return fail(std::move(nr).error());
        PlainElement& el = pending_.emplace_back(scan_.view(nr->name), AttrMap(map_key_));
        el.source = scan_.hold();
        if (auto a = scan_.scan_attributes(nr->region, el.attrs); !a) return fail(std::move(a).error());
        break;
      }
      case TagKind::End: {
        bool done = false;
        if (auto r = end_tag(i, done); !r) return fail(std::move(r).error());
        if (done) return std::move(*result_);
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
    return fail(ReadError{ReadError::Kind::Unclosed, 0, std::string(open_.back().el.name.sv())});
  return fail(ReadError{ReadError::Kind::RootNotFound, 0, std::string(root_tag_)});
}

}  // namespace

ReadError index_failure(const index::IndexError& e, uint64_t doc_len) {
  if (e.kind == index::IndexError::Kind::Overrun)
    return ReadError::malformed(doc_len, "unexpected end of document");
  return ReadError{ReadError::Kind::Index, 0, e.text()};
}

TreeResult build_tree_from_index(SourceBuffer* doc, const index::StructuralIndex& idx,
                                 std::string_view root_tag) {
  return TreeBuilder(doc, idx, root_tag).run();
}

TreeResult build_tree(SourceBuffer* doc, std::string_view root_tag) {
  auto idx = index::build_structural_index(doc->data(), doc->size());
  if (!idx) return fail(index_failure(idx.error(), doc->size()));
  return build_tree_from_index(doc, idx.value(), root_tag);
}

}  // namespace orvex::read
