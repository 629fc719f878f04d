// A string that is either owned UTF-8 bytes or a view into a SourceBuffer.
// Compared and hashed by its bytes, whatever its form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "storage/source_buffer.h"

namespace orvex {

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
    if (len == 0) { delete[] bytes; return s; }
    s.ptr_ = bytes;
    s.len_ = len;
    return s;
  }
  // A view of buffer bytes [start, end); takes one holder count. Offsets must
  // lie on UTF-8 character boundaries.
  static SharedStr view(SourceBuffer* buf, size_t start, size_t end) noexcept {
    SharedStr s;
    buf->retain();
    s.buf_ = buf;
    s.ptr_ = buf->data() + start;
    s.len_ = end - start;
    return s;
  }

  // A view of buffer bytes [start, end) that takes no holder count of its
  // own: whoever stores it (an element or record built by the reader) holds
  // one count for all its views. Copies of it are ordinary counted views, so
  // a copy can outlive that holder.
  static SharedStr borrowed_view(SourceBuffer* buf, size_t start, size_t end) noexcept {
    SharedStr s;
    s.buf_ = reinterpret_cast<SourceBuffer*>(reinterpret_cast<uintptr_t>(buf) | kBorrowed);
    s.ptr_ = buf->data() + start;
    s.len_ = end - start;
    return s;
  }

  // Copy: a view shares the buffer (one more holder), an owned string copies its bytes.
  SharedStr(const SharedStr& o) : len_(o.len_), buf_(o.buffer()) {
    if (buf_) {
      buf_->retain();
      ptr_ = o.ptr_;
    } else if (len_) {
      char* p = new char[len_];
      std::memcpy(p, o.ptr_, len_);
      ptr_ = p;
    }
  }
  SharedStr(SharedStr&& o) noexcept : ptr_(o.ptr_), len_(o.len_), buf_(o.buf_) {
    o.ptr_ = nullptr; o.len_ = 0; o.buf_ = nullptr;
  }
  SharedStr& operator=(SharedStr&& o) noexcept {
    if (this != &o) {
      reset();
      ptr_ = o.ptr_; len_ = o.len_; buf_ = o.buf_;
      o.ptr_ = nullptr; o.len_ = 0; o.buf_ = nullptr;
    }
    return *this;
  }
  SharedStr& operator=(const SharedStr& o) {
    if (this != &o) *this = SharedStr(o);
    return *this;
  }
  ~SharedStr() { reset(); }

  const char* data() const noexcept { return ptr_; }
  size_t size() const noexcept { return len_; }
  bool empty() const noexcept { return len_ == 0; }
  std::string_view sv() const noexcept { return {ptr_ ? ptr_ : "", len_}; }

  bool is_view() const noexcept { return buf_ != nullptr; }
  // Whether this view relies on its owner's holder count.
  bool is_borrowed() const noexcept { return (reinterpret_cast<uintptr_t>(buf_) & kBorrowed) != 0; }
  SourceBuffer* buffer() const noexcept {
    return reinterpret_cast<SourceBuffer*>(reinterpret_cast<uintptr_t>(buf_) & ~kBorrowed);
  }
  // Offsets into the buffer; only meaningful for a view.
  size_t start() const noexcept { return static_cast<size_t>(ptr_ - buffer()->data()); }
  size_t end() const noexcept { return start() + len_; }

  friend bool operator==(const SharedStr& a, const SharedStr& b) noexcept { return a.sv() == b.sv(); }
  friend bool operator==(const SharedStr& a, std::string_view b) noexcept { return a.sv() == b; }

 private:
  static constexpr uintptr_t kBorrowed = 1;  // tag bit in buf_ (buffers are aligned)

  void reset() noexcept {
    if (buf_) {
      if (!is_borrowed()) buf_->release();
    } else {
      delete[] ptr_;
    }
    ptr_ = nullptr; len_ = 0; buf_ = nullptr;
  }

  const char* ptr_ = nullptr;
  size_t len_ = 0;
  SourceBuffer* buf_ = nullptr;  // null for an owned string; tagged when borrowed
};

// Element text: absent is distinct from empty.
using OptStr = std::optional<SharedStr>;

}  // namespace orvex
