// The structural index: the reader's first pass. Lists every markup construct
// of a document (in order of its '<') and the runs of character data between
// them, without checking well-formedness or decoding anything.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Constructs as parallel arrays; entry i of each array describes construct i.
struct StructuralIndex {
  std::vector<uint64_t> tag_start;    // offset of the '<'
  std::vector<uint64_t> tag_end;      // offset of the byte that ends it (normally '>')
  std::vector<TagKind> kind;
  std::vector<uint64_t> name_offset;  // 0 for comments and CDATA sections
  std::vector<uint64_t> name_len;     // full width: long names are not truncated
  std::vector<TextRange> text;        // character data and CDATA contents, in order

  size_t size() const noexcept { return tag_start.size(); }
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

// Chooses the build by the density of '"' per '<' in the first 4096 bytes.
IndexResult build_structural_index(const char* data, size_t len);

}  // namespace orvex::index
