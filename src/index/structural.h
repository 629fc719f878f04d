// The structural index: the reader's first pass. Lists every markup construct
// of a document (in order of its '<') and the runs of character data between
// them, without checking well-formedness or decoding anything.
//
// The index is produced in chunks: a ConstructSource hands out the next few
// thousand constructs at a time, so the reader consumes them while they are
// still in cache instead of writing the whole document's index to memory and
// reading it back. build_structural_index() drains a source into one
// StructuralIndex, for tests and tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "result.h"

namespace orvex::index {

enum class TagKind : uint8_t {
  Start = 0,
  End = 1,
  Empty = 2,
  Comment = 3,
  CData = 4,
  ProcessingInstruction = 5,
};

struct TextRange {
  uint64_t start;
  uint64_t end;  // exclusive
  friend bool operator==(const TextRange&, const TextRange&) = default;
};

// One markup construct. Its name (element or target) starts one byte after
// the '<' for start and empty-element tags, two bytes after it for end tags
// and processing instructions; comments and CDATA sections have none.
struct Construct {
  uint64_t start;          // offset of the '<'
  uint64_t end;            // offset of the byte that ends it (normally '>')
  uint64_t name_len : 56;  // full width: long names are not truncated
  uint64_t kind_bits : 8;

  TagKind kind() const noexcept { return static_cast<TagKind>(kind_bits); }
  uint64_t name_start() const noexcept {
    const TagKind k = kind();
    return start + (k == TagKind::End || k == TagKind::ProcessingInstruction ? 2 : 1);
  }
  friend bool operator==(const Construct& a, const Construct& b) noexcept {
    return a.start == b.start && a.end == b.end && a.name_len == b.name_len && a.kind_bits == b.kind_bits;
  }
};
static_assert(sizeof(Construct) == 24);

// Constructs in document order, and the text ranges (character data before
// and between constructs, and CDATA contents) in order. A range of character
// data is listed only once a '<' follows it, so it always comes with the
// construct (or declaration) behind it.
struct StructuralIndex {
  std::vector<Construct> constructs;
  std::vector<TextRange> text;

  size_t size() const noexcept { return constructs.size(); }
  void clear() noexcept {
    constructs.clear();
    text.clear();
  }
  friend bool operator==(const StructuralIndex&, const StructuralIndex&) = default;
};

struct IndexError {
  enum class Kind : uint8_t {
    UnclosedTag,  // "Unclosed tag at byte {offset}"
    Overrun,      // the scan ran past the end after a construct ending at len
  };
  Kind kind;
  uint64_t offset;
  // The text of an UnclosedTag error (the reader wraps it as "malformed XML: ...").
  std::string text() const;
  friend bool operator==(const IndexError&, const IndexError&) = default;
};

using IndexResult = Result<StructuralIndex, IndexError>;

// The two builds: the sequential one jumps from each construct to the next
// '<' with a vector byte search; the bitmap one classifies the document in
// 64-byte blocks into masks first. They give the same index on every
// well-formed document (see walk.h for where malformed input differs).
enum class Build : uint8_t { Sequential, Bitmap };

// The build for a document: the bitmap build when the first 4096 bytes hold
// more than five '"' per '<'.
Build choose_build(const char* data, size_t len) noexcept;

// Hands out a document's constructs a chunk at a time.
class ConstructSource {
 public:
  virtual ~ConstructSource() = default;
  // Clears `out`, then fills it with the next constructs and the text
  // ranges in front of them, about `max` of either (declarations that are
  // no construct still end text ranges, so a chunk may hold text ranges
  // whose construct comes in a later one). Returns false once the
  // document is done (the chunk may still hold a last few entries), or the
  // index's error; nothing is handed out after either.
  virtual Result<bool, IndexError> next(StructuralIndex& out, size_t max) = 0;
  // Bytes the searches and scans of this source have examined so far (each
  // byte counted once per look): linear in the document, whatever its shape.
  virtual uint64_t bytes_examined() const noexcept = 0;
};

std::unique_ptr<ConstructSource> make_construct_source(const char* data, size_t len, Build build);

// The whole index at once, with the chosen build or a given one; `examined`
// receives bytes_examined() when given.
IndexResult build_structural_index(const char* data, size_t len);
IndexResult build_structural_index(const char* data, size_t len, Build build, uint64_t* examined = nullptr);

}  // namespace orvex::index
