// The whole text of one document, held once and shared by every view into it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace orvex {

// Gives back one reference to a Python object. The module installs it; it must
// be callable on any thread, attached to the interpreter or not (a release on a
// detached thread is deferred until some thread is attached).
using PyReleaseHook = void (*)(void* object);
void set_py_release_hook(PyReleaseHook hook) noexcept;

class SourceBuffer {
 public:
  // Takes ownership of the first `len` bytes of a block from the pool (see
  // block_pool.h). Starts with one holder.
  static SourceBuffer* adopt_block(void* block, size_t block_bytes, size_t len);
  // Views the UTF-8 of a Python str without copying; `owner` is a new
  // reference to that str, given back when the last holder goes.
  static SourceBuffer* over_python(void* owner, const char* bytes, size_t len);
  // Copies bytes into an owned buffer (used by tests and benchmarks).
  static SourceBuffer* copy_of(const char* bytes, size_t len);

  SourceBuffer(const SourceBuffer&) = delete;
  SourceBuffer& operator=(const SourceBuffer&) = delete;

  void retain() noexcept { holders_.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept {
    if (holders_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy();
  }

  // Memory that lives as long as the document: freed with the buffer, never
  // before. Null when memory is short. Only the reader that holds the
  // buffer while it builds a tree may call this (it is not thread-safe).
  void* hold_block(size_t bytes) noexcept;

  const char* data() const noexcept { return data_; }
  size_t size() const noexcept { return len_; }
  uint64_t holders() const noexcept { return holders_.load(std::memory_order_relaxed); }

 private:
  SourceBuffer(const char* data, size_t len, char* owned, void* py_owner)
      : data_(data), len_(len), owned_(owned), py_owner_(py_owner) {}
  SourceBuffer(void* block, size_t block_bytes, size_t len)
      : data_(static_cast<const char*>(block)), len_(len), block_(block), block_bytes_(block_bytes) {}
  ~SourceBuffer() = default;
  void destroy() noexcept;

  struct Block {
    Block* next;
    size_t bytes;
  };

  std::atomic<uint64_t> holders_{1};
  Block* blocks_ = nullptr;
  const char* data_;
  size_t len_;
  char* owned_ = nullptr;
  void* py_owner_ = nullptr;
  void* block_ = nullptr;  // the bytes, when they are a block from the pool
  size_t block_bytes_ = 0;
};

// Owns one holder count; releases it on destruction.
class SourceHandle {
 public:
  SourceHandle() noexcept = default;
  explicit SourceHandle(SourceBuffer* adopted) noexcept : buf_(adopted) {}
  SourceHandle(SourceHandle&& o) noexcept : buf_(o.buf_) { o.buf_ = nullptr; }
  SourceHandle& operator=(SourceHandle&& o) noexcept {
    if (this != &o) { reset(); buf_ = o.buf_; o.buf_ = nullptr; }
    return *this;
  }
  SourceHandle(const SourceHandle&) = delete;
  SourceHandle& operator=(const SourceHandle&) = delete;
  ~SourceHandle() { reset(); }

  void reset() noexcept { if (buf_) { buf_->release(); buf_ = nullptr; } }
  SourceBuffer* get() const noexcept { return buf_; }
  SourceBuffer* operator->() const noexcept { return buf_; }

 private:
  SourceBuffer* buf_ = nullptr;
};

}  // namespace orvex
