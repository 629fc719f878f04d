// A string of a node record: 16 bytes, either owned UTF-8 bytes or a view of
// a document's bytes that its owner keeps alive (the reader's records hold
// their document through their node block, one count for all their views).
// Compared by its bytes, whatever its form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "storage/source_buffer.h"

namespace orvex {

class OptStr;

class SharedStr {
 public:
  SharedStr() noexcept = default;  // the empty owned string

  // Copies the bytes into an owned string.
  static SharedStr owned(std::string_view bytes) {
    SharedStr s;
    if (!bytes.empty()) {
      char* p = new char[bytes.size()];
      std::memcpy(p, bytes.data(), bytes.size());
      s.ptr_ = p;
      s.len_ = bytes.size();
    }
    return s;
  }
  // Takes ownership of `len` bytes allocated with new char[] (may be null when len is 0).
  static SharedStr adopt(char* bytes, size_t len) noexcept {
    SharedStr s;
    if (len == 0) {
      delete[] bytes;
      return s;
    }
    s.ptr_ = bytes;
    s.len_ = len;
    return s;
  }
  // A view of buffer bytes [start, end) that counts no holder of its own:
  // whoever stores it (a record made by the reader) keeps the buffer alive
  // for as long as it keeps the view. Offsets must lie on UTF-8 character
  // boundaries.
  static SharedStr borrowed_view(const SourceBuffer* buf, size_t start, size_t end) noexcept {
    SharedStr s;
    s.ptr_ = buf->data() + start;
    s.len_ = (end - start) | kBorrowed;
    return s;
  }

  // A copy is always owned: it may outlive whatever kept a view alive.
  SharedStr(const SharedStr& o) : SharedStr(owned(o.sv())) {}
  SharedStr(SharedStr&& o) noexcept : ptr_(std::exchange(o.ptr_, nullptr)), len_(std::exchange(o.len_, 0)) {}
  SharedStr& operator=(SharedStr&& o) noexcept {
    if (this != &o) {
      reset();
      ptr_ = std::exchange(o.ptr_, nullptr);
      len_ = std::exchange(o.len_, 0);
    }
    return *this;
  }
  SharedStr& operator=(const SharedStr& o) {
    if (this != &o) *this = SharedStr(o);
    return *this;
  }
  ~SharedStr() { reset(); }

  const char* data() const noexcept { return ptr_; }
  size_t size() const noexcept { return len_ & kLength; }
  bool empty() const noexcept { return size() == 0; }
  std::string_view sv() const noexcept { return {ptr_ ? ptr_ : "", size()}; }
  // Whether this is a view that relies on its owner for the buffer.
  bool is_borrowed() const noexcept { return (len_ & kBorrowed) != 0; }
  // Whether this holds bytes it must free.
  bool owns_bytes() const noexcept { return ptr_ != nullptr && !(len_ & (kBorrowed | kAbsent)); }

  friend bool operator==(const SharedStr& a, const SharedStr& b) noexcept { return a.sv() == b.sv(); }
  friend bool operator==(const SharedStr& a, std::string_view b) noexcept { return a.sv() == b; }

 private:
  friend class OptStr;
  static constexpr uint64_t kBorrowed = uint64_t{1} << 63;
  static constexpr uint64_t kAbsent = uint64_t{1} << 62;  // an OptStr without a value
  static constexpr uint64_t kLength = kAbsent - 1;

  void reset() noexcept {
    if (!(len_ & (kBorrowed | kAbsent))) delete[] ptr_;
    ptr_ = nullptr;
    len_ = 0;
  }

  const char* ptr_ = nullptr;
  uint64_t len_ = 0;  // the length, and what kind of string this is in the top bits
};
static_assert(sizeof(SharedStr) == 16);

// An element's text: absent is distinct from empty. 16 bytes, like the
// string it may hold, with the interface of an optional.
class OptStr {
 public:
  OptStr() noexcept { s_.len_ = SharedStr::kAbsent; }
  OptStr(std::nullopt_t) noexcept : OptStr() {}
  OptStr(SharedStr&& s) noexcept : s_(std::move(s)) {}
  OptStr(const SharedStr& s) : s_(s) {}
  OptStr(OptStr&& o) noexcept : s_(std::move(o.s_)) { o.s_.len_ = SharedStr::kAbsent; }
  OptStr(const OptStr& o) : OptStr() {
    if (o) s_ = SharedStr(*o);
  }
  OptStr& operator=(OptStr&& o) noexcept {
    if (this != &o) {
      s_ = std::move(o.s_);
      o.s_.len_ = SharedStr::kAbsent;
    }
    return *this;
  }
  OptStr& operator=(const OptStr& o) {
    if (this != &o) *this = OptStr(o);
    return *this;
  }
  OptStr& operator=(SharedStr&& s) noexcept {
    s_ = std::move(s);
    return *this;
  }
  OptStr& operator=(std::nullopt_t) noexcept {
    reset();
    return *this;
  }

  bool has_value() const noexcept { return !(s_.len_ & SharedStr::kAbsent); }
  explicit operator bool() const noexcept { return has_value(); }
  const SharedStr& operator*() const noexcept { return s_; }
  SharedStr& operator*() noexcept { return s_; }
  const SharedStr* operator->() const noexcept { return &s_; }
  SharedStr* operator->() noexcept { return &s_; }
  void reset() noexcept {
    s_.reset();
    s_.len_ = SharedStr::kAbsent;
  }

 private:
  SharedStr s_;
};
static_assert(sizeof(OptStr) == 16);

}  // namespace orvex
