#include "storage/source_buffer.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "storage/raw_memory.h"

namespace orvex {

namespace {
std::atomic<PyReleaseHook> g_release_hook{nullptr};
}

void set_py_release_hook(PyReleaseHook hook) noexcept { g_release_hook.store(hook); }

SourceBuffer* SourceBuffer::adopt_bytes(char* bytes, size_t len) {
  return new SourceBuffer(bytes, len, bytes, nullptr);
}

SourceBuffer* SourceBuffer::over_python(void* owner, const char* bytes, size_t len) {
  return new SourceBuffer(bytes, len, nullptr, owner);
}

SourceBuffer* SourceBuffer::copy_of(const char* bytes, size_t len) {
  char* owned = new char[len ? len : 1];
  if (len) std::memcpy(owned, bytes, len);
  return new SourceBuffer(owned, len, owned, nullptr);
}

void* SourceBuffer::hold_block(size_t bytes) noexcept {
  static_assert(sizeof(Block) % alignof(void*) == 0);
  if (bytes > SIZE_MAX - sizeof(Block)) return nullptr;
  auto* b = static_cast<Block*>(raw_alloc(sizeof(Block) + bytes));
  if (b == nullptr) return nullptr;
  b->next = blocks_;
  blocks_ = b;
  return b + 1;
}

void SourceBuffer::destroy() noexcept {
  while (Block* b = blocks_) {
    blocks_ = b->next;
    raw_free(b);
  }
  delete[] owned_;
  if (py_owner_) {
    if (PyReleaseHook hook = g_release_hook.load()) hook(py_owner_);
  }
  delete this;
}

}  // namespace orvex
