// Error values of the reader and of file I/O. They carry everything needed to
// build the Python exception later, at the module boundary.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

namespace orvex {

// A rejected document. `message()` is the text of the ValueError.
struct ReadError {
  enum class Kind : uint8_t {
    Index,          // detail: the structural index's text
    Malformed,      // detail: the scanner's message; offset: where
    RootNotFound,   // detail: the requested root tag
    Unclosed,       // detail: the innermost open element's name
    UnknownEntity,  // detail: the text between '&' and ';'; offset: of the '&'
  };
  Kind kind;
  uint64_t offset = 0;
  std::string detail;

  static ReadError malformed(uint64_t offset, std::string message) {
    return {Kind::Malformed, offset, std::move(message)};
  }

  std::string message() const {
    switch (kind) {
      case Kind::Index: return "malformed XML: " + detail;
      case Kind::Malformed:
        return "malformed XML at byte " + std::to_string(offset) + ": " + detail;
      case Kind::RootNotFound: return "root tag <" + detail + "> not found in document";
      case Kind::Unclosed: return "unexpected end of document: <" + detail + "> is never closed";
      case Kind::UnknownEntity:
        return "unknown entity reference '&" + detail + ";' at byte " + std::to_string(offset);
    }
    return detail;
  }
};

// A failed file operation: either an OS error number, or a fixed text without
// one (then errnum is 0).
struct OsError {
  int errnum = 0;
  const char* text = nullptr;

  static OsError from_errno(int e) { return {e, nullptr}; }
  static OsError fixed(const char* t) { return {0, t}; }
  // I/O given up because a signal handler raised (see interrupts.h): the
  // call raises the handler's exception, not this one.
  static OsError interrupted() { return {EINTR, nullptr}; }
};

inline constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";
inline constexpr const char* kInvalidUtf8Stream = "stream did not contain valid UTF-8";

}  // namespace orvex
