// Turns a detached PlainElement tree into indented XML text.
//
// Layout: every start tag, empty-element tag and end tag that follows other
// markup starts a new line indented by `indent` x depth spaces; an element's
// text comes right after its start tag, and whatever follows text stays on the
// text's line. Nothing follows the root's last '>'. Text and attribute values
// are escaped; names and keys are written as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "result.h"
#include "storage/plain_element.h"
#include "write/escape.h"
#include "write/sinks.h"

namespace orvex {

inline constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

// Writes `s` escaped: unescaped runs go to the sink as whole pieces.
template <class Sink>
bool escape(Sink& sink, std::string_view s, EscapeMode mode) {
  const char* run = s.data();
  const char* end = run + s.size();
  for (const char* p = find_escapable(run, end, mode); p != end;
       p = find_escapable(run, end, mode)) {
    if (p != run && !sink.write(run, static_cast<size_t>(p - run))) return false;
    if (!sink.write(reference_for(*p).sv())) return false;
    run = p + 1;
  }
  return run == end || sink.write(run, static_cast<size_t>(end - run));
}

// Serializes the tree rooted at `root` at depth 0, consuming it: each element
// is released as soon as its end tag is written. No recursion, so any depth is
// fine. Returns false when the sink failed (the sink keeps the error).
// Precondition: indent x depth fits in 64 bits for every depth of the tree
// (check_output_size establishes it), or the sink refuses more than it can
// hold (a MemorySink with a budget).
template <class Sink>
bool serialize(Sink& sink, PlainElement& root, uint64_t indent);

// What a document will need, counted on the tree before anything is
// written. Everything is exact except escaping, which can only add bytes.
struct DocumentMeasure {
  uint64_t fixed = 0;       // tags, names, keys, quotes, line feeds
  uint64_t content = 0;     // texts and attribute values before escaping
  uint64_t line_depths = 0; // sum over all line feeds of the depth that follows
  bool saturated = false;   // a count overflowed (absurdly shared trees)
};

// Adds one element with `child_count` children (given, so that a tree still
// being built can be counted), visited in document order at `depth` (the root
// is at 0). `after_text` tells that it is the first child of a parent with
// text, so it starts on the text's line. Lets any walk over the tree (see
// measure_tree in write/tree_walk.h) do the counting.
void count_element(DocumentMeasure& m, const PlainElement& e, size_t child_count, uint64_t depth,
                   bool after_text) noexcept;
// The same for an element given by its parts.
void count_parts(DocumentMeasure& m, const SharedStr& name, const AttrMap& attrs, const OptStr& text,
                 size_t child_count, uint64_t depth, bool after_text) noexcept;

// The same count by a walk of its own.
DocumentMeasure measure(const PlainElement& root) noexcept;

enum class SizeProblem : uint8_t {
  TooLarge,         // more bytes than a 64-bit signed size can describe
  IndentTooLarge,   // the indentation alone exceeds the machine's memory
  ExceedsMemory,    // the document cannot be held in the machine's memory
};

// The least number of bytes the document will have (declaration included),
// or why it must not be written. `memory` is the machine's memory size; the
// whole document is held to it only when `in_memory`.
Result<uint64_t, SizeProblem> check_output_size(const DocumentMeasure& m, uint64_t indent,
                                                 bool declaration, uint64_t memory,
                                                 bool in_memory) noexcept;

// The machine's physical memory in bytes (UINT64_MAX when unknown).
uint64_t physical_memory() noexcept;

}  // namespace orvex
