#include "py/py_str.h"

#include <algorithm>

#include "py/ref.h"
#include "simd/simd.h"
#include "storage/raw_memory.h"
#include "text/utf8.h"

namespace orvex::py {

namespace {

// Strings of 16 bytes up to this many are checked and copied a vector at a
// time without a call.
constexpr size_t kInlineCopy = 64;

// Copies n >= 16 bytes a vector at a time (the last vector overlapping).
void copy_16(char* out, const char* p, size_t n) noexcept {
  using simd::Vec;
  const auto* s = reinterpret_cast<const uint8_t*>(p);
  auto* d = reinterpret_cast<uint8_t*>(out);
  for (size_t i = 0; i + 16 < n; i += 16) Vec::load(s + i).store(d + i);
  Vec::load(s + n - 16).store(d + n - 16);
}

// A large string is decoded a chunk at a time, so that the caller can give
// back the pages of what was decoded while the rest is still to come.
constexpr size_t kChunk = size_t{16} << 20;

// Decodes the bytes into the str's characters; false when they do not come
// to exactly `length` characters.
template <class Char>
bool fill(Char* out, size_t length, const char* p, size_t n, uint8_t widest, const LargeStr& how) {
  size_t done = 0, chars = 0;
  while (done < n) {
    size_t end = std::min(n, done + kChunk);
    // Never split a character (well formed UTF-8 has at most three continuation bytes).
    for (int k = 0; k < 3 && end < n && text::continuation(static_cast<uint8_t>(p[end])); ++k) --end;
    size_t got;
    if (widest == 0) {
      std::memcpy(out + chars, p + done, end - done);
      got = end - done;
    } else {
      got = text::decode_utf8(p + done, end - done, out + chars, length - chars);
      if (got == text::kNotDecoded) return false;
    }
    chars += got;
    done = end;
    if (how.decoded != nullptr) how.decoded(how.ctx, done);
  }
  return chars == length;
}

}  // namespace

PyObject* str_from_utf8(const char* p, size_t n, const LargeStr& how) {
  const bool inline_copy = n >= 16 && n <= kInlineCopy;
  const uint8_t widest = how.max_byte >= 0 ? text::widest_of_max_byte(static_cast<uint8_t>(how.max_byte))
                         : inline_copy     ? text::widest_class_16(p, n)
                                           : text::widest_class(p, n);
  const size_t length = widest == 0 ? n : text::count_chars(p, n);
  if (how.allow != nullptr && !how.allow(how.ctx, length, widest)) return nullptr;
  if (widest == 0 && inline_copy) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (s != nullptr) copy_16(static_cast<char*>(PyUnicode_DATA(s)), p, n);
    return s;
  }
  Ref s(PyUnicode_New(static_cast<Py_ssize_t>(length), text::kWidestChar[widest]));
  if (!s) return nullptr;
  void* data = PyUnicode_DATA(s.get());
  if (const size_t bytes = length * PyUnicode_KIND(s.get()); bytes >= kOwnMapping) advise_huge_pages(data, bytes);
  bool decoded;
  switch (PyUnicode_KIND(s.get())) {
    case PyUnicode_1BYTE_KIND: decoded = fill(static_cast<Py_UCS1*>(data), length, p, n, widest, how); break;
    case PyUnicode_2BYTE_KIND: decoded = fill(static_cast<Py_UCS2*>(data), length, p, n, widest, how); break;
    default: decoded = fill(static_cast<Py_UCS4*>(data), length, p, n, widest, how); break;
  }
  if (!decoded) {
    PyErr_SetString(PyExc_SystemError, how.invariant);
    return nullptr;
  }
  return s.release();
}

}  // namespace orvex::py
