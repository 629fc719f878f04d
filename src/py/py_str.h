// Building Python strs from UTF-8 bytes that are already known to be valid
// (every SharedStr is), without the interpreter's decoder.
//
// The decoder validates what needs no validating, guesses the str's width
// and copies everything written so far each time a wider character turns
// up, then goes on one character at a time. Here the width comes first
// (the largest byte says it), the str is made at that width and filled in
// one pass: plain copies for ASCII, the vector decoder of write/utf8_chars.h
// for the rest. Most names, keys and values are short ASCII strings: those
// are checked and copied a word at a time, with no call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "storage/shared_str.h"
#include "write/utf8_chars.h"

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

// A new str holding the bytes, which must all be ASCII.
inline PyObject* str_from_ascii(const char* p, size_t n) {
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (s != nullptr && n != 0) std::memcpy(PyUnicode_DATA(s), p, n);
  return s;
}

// A new str holding valid UTF-8 of any width: the width from the largest
// byte, then one decoding pass into a str of as many characters as bytes,
// cut to the characters decoded (a shrink in place).
inline PyObject* str_from_wide_utf8(const char* p, size_t n) {
  const uint8_t widest = widest_class(p, n);
  if (widest == 0) return str_from_ascii(p, n);
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), kWidestChar[widest]);
  if (s == nullptr) return nullptr;
  void* data = PyUnicode_DATA(s);
  size_t chars;
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: chars = decode_utf8(p, n, static_cast<Py_UCS1*>(data), n); break;
    case PyUnicode_2BYTE_KIND: chars = decode_utf8(p, n, static_cast<Py_UCS2*>(data), n); break;
    default: chars = decode_utf8(p, n, static_cast<Py_UCS4*>(data), n); break;
  }
  if (chars == kNotDecoded) {
    Py_DECREF(s);
    PyErr_SetString(PyExc_SystemError, "invariant: stored strings are valid UTF-8");
    return nullptr;
  }
  if (chars != n && PyUnicode_Resize(&s, static_cast<Py_ssize_t>(chars)) < 0) {
    Py_XDECREF(s);  // the str is left as it was when resizing fails
    return nullptr;
  }
  return s;
}

// Strings up to this many bytes are checked and copied inline.
inline constexpr size_t kShortStr = 16;

// A new str holding the bytes, which must be valid UTF-8. A short string is
// loaded as one or two (overlapping) words, checked for ASCII in registers
// and stored into the new str.
inline PyObject* str_from_utf8(const char* p, size_t n) {
  if (n <= kShortStr && n >= 4) {
    uint64_t a, b;
    if (n >= 8) {
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + n - 8, 8);
    } else {
      uint32_t a4, b4;
      std::memcpy(&a4, p, 4);
      std::memcpy(&b4, p + n - 4, 4);
      a = a4;
      b = b4;
    }
    if (((a | b) & 0x8080808080808080ull) == 0) {
      PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
      if (s == nullptr) return nullptr;
      char* out = static_cast<char*>(PyUnicode_DATA(s));
      if (n >= 8) {
        std::memcpy(out, &a, 8);
        std::memcpy(out + n - 8, &b, 8);
      } else {
        const auto a4 = static_cast<uint32_t>(a), b4 = static_cast<uint32_t>(b);
        std::memcpy(out, &a4, 4);
        std::memcpy(out + n - 4, &b4, 4);
      }
      return s;
    }
  } else if (n < 4 && all_ascii(p, n)) {
    return str_from_ascii(p, n);
  }
  return str_from_wide_utf8(p != nullptr ? p : "", n);
}

// The one way from a stored string to a str, where a width known from the
// reading (none is recorded yet) would spare the checks.
inline PyObject* str_from_utf8(const SharedStr& s) { return str_from_utf8(s.data(), s.size()); }

}  // namespace orvex::py
