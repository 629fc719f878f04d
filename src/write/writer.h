// The writer: a tree of node records as indented XML text, written by one
// walk into any sink, the one that counts included.
//
// Layout: every start tag, empty-element tag and end tag that follows other
// markup starts a new line indented by `indent` x depth spaces; an element's
// text comes right after its start tag, and whatever follows text stays on
// the text's line. Nothing follows the root's last '>'. Text and attribute
// values are escaped; names and keys are written as they are.
//
// The walk reads names, maps, texts and child pointers only: it touches no
// reference count and calls nothing of the interpreter, so it may run
// detached from it. Records never change, so while the caller keeps the root
// alive every record below it stays as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "result.h"
#include "storage/node_record.h"
#include "write/pieces.h"
#include "write/sinks.h"

namespace orvex {

inline constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

// What a document looks like beyond its tree.
struct WriteOptions {
  uint64_t indent = 4;      // spaces per level
  bool declaration = true;  // the XML declaration line first
};

// Writes the document of the tree under `root` (at depth 0) into the sink.
// No recursion, so any depth is fine. Returns false when the sink failed
// (the sink keeps why).
namespace writer_detail {

// The elements open in the walk, innermost last: in place for the depths
// of ordinary documents, in a vector beyond them (no allocation for most
// documents, which for a small one is a tenth of its time).
class OpenElements {
 public:
  struct Open {
    const NodeRecord* e;
    size_t next;  // index of the next child to write
  };

  bool empty() const noexcept { return size_ == 0; }
  Open& back() noexcept { return size_ <= kInPlace ? in_place_[size_ - 1] : deeper_.back(); }
  void push_back(const Open& o) {
    if (size_ < kInPlace) {
      in_place_[size_] = o;
    } else {
      deeper_.push_back(o);
    }
    ++size_;
  }
  void pop_back() noexcept {
    if (size_ > kInPlace) deeper_.pop_back();
    --size_;
  }

 private:
  static constexpr size_t kInPlace = 32;
  size_t size_ = 0;
  Open in_place_[kInPlace];
  std::vector<Open> deeper_;
};

}  // namespace writer_detail

template <class Sink>
bool write_document(Sink& sink, const NodeRecord& root, const WriteOptions& options) {
  using Element = const NodeRecord*;
  using Open = writer_detail::OpenElements::Open;
  if (options.declaration && !sink.write(kXmlDeclaration)) return false;
  const uint64_t indent = options.indent;
  writer_detail::OpenElements open;
  uint64_t depth = 0;
  bool after_markup = false;
  // Saturates rather than wraps: a product past 64 bits can only be refused,
  // and a sink with a budget refuses it (see MemorySink::set_budget).
  auto line_break = [&]() {
    uint64_t n;
    if (__builtin_mul_overflow(indent, depth, &n)) n = UINT64_MAX;
    return put_line(sink, n);
  };

  constexpr size_t kLongText = 512;
  Element e = &root;
  bool have = true;
  while (have) {
    // Start tag (or empty-element tag) of e.
    if (after_markup && !line_break()) return false;
    after_markup = true;
    const char* const readable = e->readable_end();
    if (!put_start(sink, e->name, readable)) return false;
    const auto& attrs = e->attrs;
    // Stops at the last entry instead of scanning the table's empty tail.
    if (size_t left = attrs.size()) {
      for (auto it = attrs.begin();; ++it) {
        if (!put_attr(sink, it->key, it->value, readable)) return false;
        if (--left == 0) break;
      }
    }
    const OptStr& text = e->text;
    const size_t children = e->children.size();
    if (!text && children == 0) {
      if (!put_close(sink, true)) return false;
    } else {
      if (!put_close(sink, false)) return false;
      ++depth;
      if (text) {
        // While a long text is copied there is time to fetch the next
        // sibling from memory: the bytes of its name lie far from here in
        // the document, its text (when references were decoded) elsewhere
        // in the heap. Its record was asked for one sibling earlier. For
        // short texts the extra loads cost more than they save.
        if (text->size() >= kLongText && !open.empty()) {
          const Open& parent = open.back();
          const size_t count = parent.e->children.size();
          if (parent.next < count) {
            const Element next = &parent.e->children[parent.next]->rec;
            __builtin_prefetch(next->name.data());
            if (next->text) __builtin_prefetch(next->text->data());
            if (parent.next + 1 < count) __builtin_prefetch(parent.e->children[parent.next + 1]);
          }
        }
        if (!put_text(sink, *text, readable)) return false;
        after_markup = false;
      }
      open.push_back({e, 0});
    }

    // Next element to start: the next unwritten child of the innermost open
    // element; elements with none left are closed on the way out.
    have = false;
    while (!open.empty()) {
      Open& top = open.back();
      if (top.next < top.e->children.size()) {
        e = &top.e->children[top.next++]->rec;
        have = true;
        break;
      }
      --depth;
      if (after_markup && !line_break()) return false;
      after_markup = true;
      if (!put_end(sink, top.e->name, top.e->readable_end())) return false;
      open.pop_back();
    }
  }
  return true;
}

// A file sink is written through its memory buffer, with the memory sink's
// pieces (see FileSink).
inline bool write_document(FileSink& sink, const NodeRecord& root, const WriteOptions& options) {
  return write_document(sink.buffer(), root, options);
}

// What a document will need, counted by the writer's own walk (see
// CountingSink): exact but for the references escaping adds.
struct DocumentMeasure {
  uint64_t bytes = 0;              // everything but the indentation
  uint64_t spaces = 0;             // the indentation
  bool saturated = false;          // a count overflowed (absurdly shared trees)
  bool too_many_elements = false;  // the count stopped at `max_elements`
};
DocumentMeasure measure_document(const NodeRecord& root, const WriteOptions& options, uint64_t max_elements);

enum class SizeProblem : uint8_t {
  TooLarge,        // more bytes than a 64-bit signed size can describe
  IndentTooLarge,  // the indentation alone exceeds the machine's memory
  ExceedsMemory,   // the document cannot be held in the machine's memory
};

// The least number of bytes the document will have, or why it must not be
// written. `memory` is the machine's memory size; the whole document is
// held to it only when `in_memory`.
Result<uint64_t, SizeProblem> check_output_size(const DocumentMeasure& m, uint64_t memory, bool in_memory) noexcept;

extern template bool write_document<MemorySink>(MemorySink&, const NodeRecord&, const WriteOptions&);
extern template bool write_document<CountingSink>(CountingSink&, const NodeRecord&, const WriteOptions&);

}  // namespace orvex
