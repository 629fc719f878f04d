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

#include "py/binding.h"
#include "simd/simd.h"
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

// The width class of valid UTF-8 of 16 to a few dozen bytes (see
// widest_class, for longer ones): the lane-wise maximum of its vectors, the
// last one overlapping the one before rather than a byte loop over the rest.
inline uint8_t widest_class_16(const char* p, size_t n) noexcept {
  using simd::Vec;
  const auto* s = reinterpret_cast<const uint8_t*>(p);
  Vec acc = Vec::load(s + n - 16);
  for (size_t i = 0; i + 16 < n; i += 16) acc = Vec::max(acc, Vec::load(s + i));
  return acc.high_bits() == 0 ? 0 : widest_of_max_byte(acc.max_lane());
}

// Copies n >= 16 bytes a vector at a time (the last vector overlapping).
inline void copy_16(char* out, const char* p, size_t n) noexcept {
  using simd::Vec;
  const auto* s = reinterpret_cast<const uint8_t*>(p);
  auto* d = reinterpret_cast<uint8_t*>(out);
  for (size_t i = 0; i + 16 < n; i += 16) Vec::load(s + i).store(d + i);
  Vec::load(s + n - 16).store(d + n - 16);
}

// Strings of 16 bytes up to this many are checked and copied a vector at a
// time without a call.
inline constexpr size_t kInlineCopy = 64;

// A new str holding valid UTF-8 of any width: the width from the largest
// byte and the length from the bytes that start a character, then one
// decoding pass into a str made at its final size.
inline PyObject* str_from_wide_utf8(const char* p, size_t n) {
  const bool inline_copy = n >= 16 && n <= kInlineCopy;
  const uint8_t widest = inline_copy ? widest_class_16(p, n) : widest_class(p, n);
  if (widest == 0) {
    if (!inline_copy) return str_from_ascii(p, n);
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (s != nullptr) copy_16(static_cast<char*>(PyUnicode_DATA(s)), p, n);
    return s;
  }
  const size_t length = count_chars(p, n);
  Ref s(PyUnicode_New(static_cast<Py_ssize_t>(length), kWidestChar[widest]));
  if (!s) return nullptr;
  void* data = PyUnicode_DATA(s.get());
  size_t chars;
  switch (PyUnicode_KIND(s.get())) {
    case PyUnicode_1BYTE_KIND: chars = decode_utf8(p, n, static_cast<Py_UCS1*>(data), length); break;
    case PyUnicode_2BYTE_KIND: chars = decode_utf8(p, n, static_cast<Py_UCS2*>(data), length); break;
    default: chars = decode_utf8(p, n, static_cast<Py_UCS4*>(data), length); break;
  }
  if (chars != length) {
    PyErr_SetString(PyExc_SystemError, "invariant: stored strings are valid UTF-8");
    return nullptr;
  }
  return s.release();
}

// Strings up to this many bytes are read and written as two words.
inline constexpr size_t kShortStr = 16;

// The bytes of a string of at most kShortStr bytes, as two words: the first
// and the last eight bytes (overlapping) of a string of 8 or more, the first
// and the last four of one of 4 to 7, and the first, middle and last byte of
// a shorter one. Strings of one length are equal when their words are.
struct ShortWords {
  uint64_t a = 0;
  uint64_t b = 0;

  bool ascii() const noexcept { return ((a | b) & 0x8080808080808080ull) == 0; }
  friend bool operator==(const ShortWords&, const ShortWords&) = default;
};

inline ShortWords short_words(const char* p, size_t n) noexcept {
  ShortWords w;
  if (n >= 8) {
    std::memcpy(&w.a, p, 8);
    std::memcpy(&w.b, p + n - 8, 8);
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    w.a = a;
    w.b = b;
  } else if (n != 0) {
    const auto* u = reinterpret_cast<const uint8_t*>(p);
    w.a = u[0] | uint64_t{u[n / 2]} << 8 | uint64_t{u[n - 1]} << 16;
  }
  return w;
}

// Writes the n bytes that short_words(p, n) read.
inline void store_short_words(char* out, size_t n, const ShortWords& w) noexcept {
  if (n >= 8) {
    std::memcpy(out, &w.a, 8);
    std::memcpy(out + n - 8, &w.b, 8);
  } else if (n >= 4) {
    const auto a = static_cast<uint32_t>(w.a), b = static_cast<uint32_t>(w.b);
    std::memcpy(out, &a, 4);
    std::memcpy(out + n - 4, &b, 4);
  } else if (n != 0) {
    out[0] = static_cast<char>(w.a);
    out[n / 2] = static_cast<char>(w.a >> 8);
    out[n - 1] = static_cast<char>(w.a >> 16);
  }
}

// A new str of a short ASCII string given as its words.
inline PyObject* str_from_short_ascii(const ShortWords& w, size_t n) {
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (s != nullptr) store_short_words(static_cast<char*>(PyUnicode_DATA(s)), n, w);
  return s;
}

// A new str holding the bytes, which must be valid UTF-8. A short string is
// checked for ASCII in registers and stored from them into the new str.
inline PyObject* str_from_utf8(const char* p, size_t n) {
  if (n <= kShortStr) {
    const ShortWords w = short_words(p, n);
    if (w.ascii()) return str_from_short_ascii(w, n);
  }
  return str_from_wide_utf8(p, n);
}

// The one way from a stored string to a str, where a width known from the
// reading (none is recorded yet) would spare the checks.
inline PyObject* str_from_utf8(const SharedStr& s) { return str_from_utf8(s.data(), s.size()); }

}  // namespace orvex::py
