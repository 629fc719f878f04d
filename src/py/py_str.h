// Building Python strs from UTF-8 bytes that are already known to be valid
// (every SharedStr is). Most names, keys and values of real documents are
// ASCII: such a str is allocated at its final size and filled with one copy,
// skipping the decoder's validation and its resizing.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "storage/shared_str.h"

namespace orvex::py {

// True when no byte of [p, p + n) has its top bit set.
inline bool all_ascii(const char* p, size_t n) noexcept {
  uint64_t acc = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    acc |= w;
  }
  for (; i < n; ++i) acc |= static_cast<uint8_t>(p[i]);
  return (acc & 0x8080808080808080ull) == 0;
}

// Strings up to this many bytes take the ASCII shortcut of str_from_utf8.
inline constexpr size_t kShortStr = 64;

// A new str holding the bytes, which must all be ASCII.
inline PyObject* str_from_ascii(const char* p, size_t n) {
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (s != nullptr && n != 0) std::memcpy(PyUnicode_DATA(s), p, n);
  return s;
}

// A new str holding the bytes, which must be valid UTF-8. Short ASCII
// strings skip the decoder's entry checks. A long string goes to the decoder
// directly: its ASCII loop checks and copies in one pass, where checking first
// would read a long non-ASCII text twice.
inline PyObject* str_from_utf8(const char* p, size_t n) {
  if (n <= kShortStr && all_ascii(p, n)) return str_from_ascii(p, n);
  return PyUnicode_DecodeUTF8(p != nullptr ? p : "", static_cast<Py_ssize_t>(n), nullptr);
}

inline PyObject* str_from_utf8(const SharedStr& s) { return str_from_utf8(s.data(), s.size()); }

}  // namespace orvex::py
