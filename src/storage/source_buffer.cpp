#include "storage/source_buffer.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "storage/block_pool.h"

namespace orvex {

namespace {
std::atomic<PyReleaseHook> g_release_hook{nullptr};
}

void set_py_release_hook(PyReleaseHook hook) noexcept { g_release_hook.store(hook); }

SourceBuffer* SourceBuffer::adopt_block(void* block, size_t block_bytes, size_t len) {
  return new SourceBuffer(block, block_bytes, len);
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
  const PoolBlock taken = pool_take(sizeof(Block) + bytes);
  auto* b = static_cast<Block*>(taken.data);
  if (b == nullptr) return nullptr;
  b->next = blocks_;
  b->bytes = taken.bytes;
  blocks_ = b;
  return b + 1;
}

void SourceBuffer::destroy() noexcept {
  while (Block* b = blocks_) {
    blocks_ = b->next;
    pool_give({b, b->bytes});
  }
  pool_give({block_, block_bytes_});
  delete[] owned_;
  if (py_owner_) {
    if (PyReleaseHook hook = g_release_hook.load()) hook(py_owner_);
  }
  delete this;
}

}  // namespace orvex
