// Recently made strs for short ASCII names and attribute keys. A document
// repeats a handful of them hundreds of thousands of times, and a walk over
// its nodes asks for each one again at every element. Handing out the str
// made last time for the same bytes skips an allocation, a copy, a release
// and, since a str remembers its hash, the hashing of the key on every dict
// insert. strs are immutable, so a shared one differs from a new one only in
// identity.
//
// The table is direct-mapped: a lookup hashes the few bytes once and compares
// them with one candidate; a miss replaces that slot. It is process-wide and
// guarded by the interpreter lock, so builds without that lock do not use it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "entities/py_str.h"

namespace orvex::py {

// Longest byte string worth keeping: names and keys are short; longer strings
// rarely repeat and would cost a longer comparison on every hit.
inline constexpr size_t kCachedStrMax = 32;

// A slot index for 1 to kCachedStrMax bytes: a multiply-mix of the first and
// the last (up to) eight bytes and the length.
inline uint32_t short_bytes_hash(const char* p, size_t n) noexcept {
  uint64_t a = 0, b = 0;
  if (n >= 8) {
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + n - 8, 8);
  } else if (n >= 4) {
    uint32_t x, y;
    std::memcpy(&x, p, 4);
    std::memcpy(&y, p + n - 4, 4);
    a = x;
    b = y;
  } else {
    a = static_cast<uint8_t>(p[0]) | (static_cast<uint64_t>(static_cast<uint8_t>(p[n / 2])) << 8) |
        (static_cast<uint64_t>(static_cast<uint8_t>(p[n - 1])) << 16);
  }
  uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b + n) * 0xC2B2AE3D27D4EB4Full;
  return static_cast<uint32_t>(h >> 40);
}

#ifndef Py_GIL_DISABLED

class StrCache {
 public:
  // A new reference to a str equal to the bytes, which must be valid UTF-8.
  static PyObject* get(const char* p, size_t n) {
    if (n == 0 || n > kCachedStrMax || !all_ascii(p, n)) return str_from_utf8(p, n);
    PyObject*& slot = slots_[short_bytes_hash(p, n) & (kSlots - 1)];
    if (slot != nullptr && static_cast<size_t>(PyUnicode_GET_LENGTH(slot)) == n &&
        std::memcmp(PyUnicode_DATA(slot), p, n) == 0)
      return Py_NewRef(slot);
    PyObject* made = str_from_ascii(p, n);
    if (made == nullptr) return nullptr;
    Py_XSETREF(slot, Py_NewRef(made));
    return made;
  }

 private:
  static constexpr size_t kSlots = 1024;
  static inline PyObject* slots_[kSlots] = {};
};

inline PyObject* cached_str(const char* p, size_t n) { return StrCache::get(p, n); }

#else

inline PyObject* cached_str(const char* p, size_t n) { return str_from_utf8(p, n); }

#endif

inline PyObject* cached_str(const SharedStr& s) { return cached_str(s.data(), s.size()); }

}  // namespace orvex::py
