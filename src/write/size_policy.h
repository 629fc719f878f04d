// When output is too large to make, and why. The rules run detached on the
// records (which never change while the caller holds the root); their
// verdict is a value that the interpreter layer only has to raise.
//
// A node shared by several parents is written once per place, so a few
// nodes shared at every level can stand for more elements than any memory
// or disk could take: such trees are refused before they are walked for
// days. A document that fits every size rule can still need more memory
// than the process may take: the memory limits in force are asked before a
// large output is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "storage/node_record.h"
#include "write/memory_limits.h"
#include "write/sinks.h"
#include "write/writer.h"

namespace orvex {

// Why output is not made.
struct SizeRefusal {
  enum class Kind : uint8_t {
    TooManyElements,  // more elements than max_elements()
    TooLarge,         // more bytes than a 64-bit signed size can describe
    IndentTooLarge,   // the indentation alone exceeds the machine's memory
    ExceedsMemory,    // the document cannot be held in the machine's memory
    NoHeadroom,       // more than the memory limits in force leave now
  };
  Kind kind = Kind::TooLarge;
  uint64_t indent = 0;            // TooLarge, IndentTooLarge
  uint64_t need = 0;              // NoHeadroom: the bytes needed at once
  Headroom headroom;              // NoHeadroom
  const char* what = kDocument;   // NoHeadroom: what needs the memory

  static constexpr const char* kDocument = "writing the XML document";

  // OverflowError for TooLarge, MemoryError for every other kind.
  bool is_overflow() const noexcept { return kind == Kind::TooLarge; }
  std::string message() const;
};

// The most elements a tree written may have: more than half the machine's
// memory could hold as plain records are refused.
uint64_t max_elements() noexcept;

// Whether `need` more bytes fit under every memory limit now; the refusal
// (naming `what`) otherwise.
std::optional<SizeRefusal> check_headroom(uint64_t need, const char* what = SizeRefusal::kDocument);

// write_string's rules. Most documents are written without counting them
// first: only output that outgrows a budget is counted, and refused before
// more of it exists, when it is too large to hold (see MemorySink::set_budget).
class StringSizeCheck {
 public:
  StringSizeCheck(const NodeRecord& root, const WriteOptions& options) noexcept : root_(root), options_(options) {}
  StringSizeCheck(const StringSizeCheck&) = delete;
  StringSizeCheck& operator=(const StringSizeCheck&) = delete;

  // Gives the sink its budget with this check behind it.
  void arm(MemorySink& sink) noexcept;
  // Whether the document was counted (it outgrew the budget).
  bool counted() const noexcept { return counted_; }
  // Once written: whether a str of `length` characters of class `widest`
  // may be made from the `output` bytes. A counted document is checked
  // again now that its width is known; false sets the refusal.
  bool allows_str(uint64_t output, uint64_t length, uint8_t widest);
  // Why the sink stopped, or the str may not be made.
  const std::optional<SizeRefusal>& refusal() const noexcept { return refusal_; }

 private:
  static bool run(void* self, uint64_t* document_size);

  const NodeRecord& root_;
  WriteOptions options_;
  bool counted_ = false;
  std::optional<SizeRefusal> refusal_;
};

// write_file's rules, for a document that outgrew the file sink's buffer
// (a smaller one is small enough for every rule): the refusal, or nothing.
std::optional<SizeRefusal> check_file_size(const NodeRecord& root, const WriteOptions& options);

}  // namespace orvex
