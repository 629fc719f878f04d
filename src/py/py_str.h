// Python strs from UTF-8 bytes that are known to be well formed (every
// SharedStr is, and so is the writer's output), made without the
// interpreter's decoder.
//
// The decoder validates what needs no validating, guesses the str's width
// and copies everything written so far each time a wider character turns
// up, then goes on one character at a time. Here the width comes first (the
// largest byte says it) and the length from the bytes that start a
// character; the str is made at its final size and filled in one pass:
// plain copies for ASCII, text/utf8.h's vector decoder for the rest. Most
// names, keys and values are short ASCII strings: those are checked and
// copied as words, with no call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "storage/shared_str.h"
#include "text/words.h"

namespace orvex::py {

// A new str of ASCII bytes.
inline PyObject* str_from_ascii(const char* p, size_t n) {
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (s != nullptr && n != 0) std::memcpy(PyUnicode_DATA(s), p, n);
  return s;
}

// A new str of a short ASCII string given as its words.
inline PyObject* str_from_short_ascii(const text::ShortWords& w, size_t n) {
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (s != nullptr) text::store_short_words(static_cast<char*>(PyUnicode_DATA(s)), n, w);
  return s;
}

// How str_from_utf8 may make a large str (write_string's document).
struct LargeStr {
  // The largest byte, when the caller knows it already; found otherwise.
  int max_byte = -1;
  // Asked once the str's length and width are known, before it is made:
  // false, with an exception set, makes nothing.
  bool (*allow)(void* ctx, size_t length, uint8_t widest) = nullptr;
  // Told how many bytes have been decoded, after each chunk of them (the
  // caller may give their pages back).
  void (*decoded)(void* ctx, size_t bytes) = nullptr;
  void* ctx = nullptr;
  // The SystemError's message should the bytes not decode after all.
  const char* invariant = "invariant: stored strings are valid UTF-8";
};

// A new str holding the bytes.
PyObject* str_from_utf8(const char* p, size_t n, const LargeStr& how);

// The same for an ordinary string: a short one is checked for ASCII in
// registers and stored from them into the new str.
inline PyObject* str_from_utf8(const char* p, size_t n) {
  if (n <= text::kShortStr) {
    const text::ShortWords w = text::short_words(p, n);
    if (w.ascii()) return str_from_short_ascii(w, n);
  }
  return str_from_utf8(p, n, LargeStr{});
}

inline PyObject* str_from_utf8(const SharedStr& s) { return str_from_utf8(s.data(), s.size()); }

}  // namespace orvex::py
