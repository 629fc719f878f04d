// The reader's main loop (see tree_builder.h), written once for every form
// of result. The loop checks, decodes and selects; a Sink decides what an
// element becomes:
//
//   using Handle = ...;                  // names one element of the result
//   MapKey map_key() const;              // the key of every attribute map
//   Handle add(uint64_t name_start, uint64_t name_end);
//       // a new element, the last child of the innermost open one (or the
//       // root when none is open)
//   AttrMap& attrs(Handle);              // its empty map, scanned in place
//   BlockArena* tables(Handle);          // where its map's table may go, or null
//   void attrs_done(Handle);             // after a successful scan
//   void set_text(Handle, SharedStr&&);  // its trimmed text, when present
//   void open(Handle);                   // it has an end tag: children follow
//   void close(Handle);                  // its end tag: no more children
//   std::string_view name(Handle) const;
//
// A read that fails leaves the sink to throw away what it made.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "errors.h"
#include "index/builds.h"
#include "index/structural.h"
#include "read/byte_search.h"
#include "read/decode.h"
#include "read/scanner.h"
#include "read/text_accumulator.h"
#include "read/tree_builder.h"
#include "result.h"
#include "storage/sip_map.h"

namespace orvex::read {

template <class Sink>
class TreeBuilder {
 public:
  using Handle = typename Sink::Handle;

  // `text_may_hold_lt`: whether the index can list character data holding a
  // '<' (the quote-aware build can; the sequential build never does, since
  // each of its text ranges ends at the first '<' after its start).
  TreeBuilder(SourceBuffer* doc, const index::StructuralIndex& idx, std::string_view root_tag, Sink& sink,
              bool text_may_hold_lt = true)
      : doc_(doc), idx_(idx), scan_(doc, idx), root_tag_(root_tag), sink_(sink),
        check_text_(text_may_hold_lt) {}

  // Success: the sink holds the root's subtree, complete.
  Result<Unit, ReadError> run();

 private:
  // An element of the root's subtree that is not closed yet.
  struct OpenElement {
    Handle h;
    TextAccumulator text;
  };

  // Consumes the text ranges that start before `limit`; inside the root they
  // are checked, decoded and added to the innermost element's text.
  Result<Unit, ReadError> take_text_before(uint64_t limit);
  // Skips text ranges that start before `limit` (a CDATA section's content).
  void skip_text_before(uint64_t limit) noexcept {
    const auto& ranges = idx_.text;
    while (next_text_ < ranges.size() && ranges[next_text_].start < limit) ++next_text_;
  }
  // Handles an end tag; sets `done` when it closes the root.
  Result<Unit, ReadError> end_tag(size_t i, bool& done);
  // Adds the element of a start or empty-element tag whose name `nr` the
  // scanner has read, with its attributes.
  Result<Handle, ReadError> add_element(const Scanner::NameAndRegion& nr);

  SourceBuffer* doc_;
  const index::StructuralIndex& idx_;
  Scanner scan_;
  std::string_view root_tag_;
  Sink& sink_;
  bool check_text_;

  std::vector<OpenElement> open_;          // the root and its open descendants
  std::vector<std::string_view> skipped_;  // open elements met before the root
  size_t next_text_ = 0;
};

template <class Sink>
Result<Unit, ReadError> TreeBuilder<Sink>::take_text_before(uint64_t limit) {
  const auto& ranges = idx_.text;
  for (; next_text_ < ranges.size() && ranges[next_text_].start < limit; ++next_text_) {
    if (open_.empty()) continue;  // outside the root text is not examined
    const index::TextRange& r = ranges[next_text_];
    if (check_text_) {
      auto checked = scan_.check_text(r);
      if (!checked) return fail(std::move(checked).error());
    }
    TextAccumulator& acc = open_.back().text;
    // Text without a reference is its own value: no call into the decoder.
    const char* data = doc_->data();
    if (find_byte(data + r.start, data + r.end, '&') == nullptr) {
      acc.append_view(doc_, r.start, r.end);
      continue;
    }
    auto d = decode(std::string_view(data + r.start, r.end - r.start), r.start, DecodeMode::Text);
    if (!d) return fail(std::move(d).error());
    if (d->unchanged()) acc.append_view(doc_, r.start, r.end);
    else acc.append_owned(doc_, std::move(*d->decoded));
  }
  return Unit{};
}

template <class Sink>
auto TreeBuilder<Sink>::add_element(const Scanner::NameAndRegion& nr) -> Result<Handle, ReadError> {
  const Handle h = sink_.add(nr.name.start, nr.name.end);
  if (nr.region.size() != 0) {
    auto scanned = scan_.scan_attributes(nr.region, sink_.attrs(h), sink_.tables(h));
    if (!scanned) return fail(std::move(scanned).error());
    sink_.attrs_done(h);
  }
  return h;
}

template <class Sink>
Result<Unit, ReadError> TreeBuilder<Sink>::end_tag(size_t i, bool& done) {
  auto form = scan_.check_end_tag_form(i);
  if (!form) return fail(std::move(form).error());
  const std::string_view name = form.value();
  const uint64_t at = idx_.tag_start[i];

  std::string_view expected;
  if (!open_.empty()) expected = sink_.name(open_.back().h);
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
  if (OptStr text = top.text.finish(doc_)) sink_.set_text(top.h, std::move(*text));
  sink_.close(top.h);
  open_.pop_back();
  done = open_.empty();
  return Unit{};
}

template <class Sink>
Result<Unit, ReadError> TreeBuilder<Sink>::run() {
  using index::TagKind;
  const size_t n = idx_.size();
  for (size_t i = 0; i < n; ++i) {
    // A construct's own fault comes before any fault of the text in front of it.
    if (auto closed = scan_.check_markup_closed(i); !closed) return fail(std::move(closed).error());
    if (auto t = take_text_before(idx_.tag_start[i]); !t) return fail(std::move(t).error());

    switch (idx_.kind[i]) {
      case TagKind::Start: {
        auto nr = scan_.element_name(i);
        if (!nr) return fail(std::move(nr).error());
        if (open_.empty() && scan_.name_of(i) != root_tag_) {
          // Before the root only the name matters; the attributes are not read.
          skipped_.push_back(scan_.name_of(i));
          break;
        }
        auto h = add_element(*nr);
        if (!h) return fail(std::move(h).error());
        sink_.open(*h);
        open_.push_back({*h, {}});
        break;
      }
      case TagKind::Empty: {
        if (open_.empty()) {
          auto nr = scan_.element_name(i);
          if (!nr) return fail(std::move(nr).error());
          if (scan_.name_of(i) == root_tag_) {
            auto h = add_element(*nr);
            if (!h) return fail(std::move(h).error());
            return Unit{};
          }
          // Not the root: its attributes are still checked.
          AttrMap scratch(sink_.map_key());
          if (auto a = scan_.scan_attributes(nr->region, scratch); !a) return fail(std::move(a).error());
          break;
        }
        auto nr = scan_.element_name(i);
        if (!nr) return fail(std::move(nr).error());
        if (auto h = add_element(*nr); !h) return fail(std::move(h).error());
        break;
      }
      case TagKind::End: {
        bool done = false;
        if (auto r = end_tag(i, done); !r) return fail(std::move(r).error());
        if (done) return Unit{};
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
    return fail(ReadError{ReadError::Kind::Unclosed, 0, std::string(sink_.name(open_.back().h))});
  return fail(ReadError{ReadError::Kind::RootNotFound, 0, std::string(root_tag_)});
}

// Indexes the document (choosing the build as build_structural_index does,
// here to know which build ran) and builds the root's subtree into `sink`.
template <class Sink>
Result<Unit, ReadError> build_into(SourceBuffer* doc, std::string_view root_tag, Sink& sink) {
  const bool bitmap = index::prefers_bitmap_build(doc->data(), doc->size());
  auto idx = bitmap ? index::build_bitmap_index(doc->data(), doc->size())
                    : index::build_sequential_index(doc->data(), doc->size());
  if (!idx) return fail(index_failure(idx.error(), doc->size()));
  return TreeBuilder<Sink>(doc, idx.value(), root_tag, sink, bitmap).run();
}

}  // namespace orvex::read
