#include "storage/block_pool.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "storage/raw_memory.h"

namespace orvex {

namespace {

constexpr size_t kSmallest = size_t{4} << 10;
constexpr size_t kClasses = 10;                       // 4 KiB .. 2 MiB
constexpr size_t kLargest = kSmallest << (kClasses - 1);
constexpr size_t kKeepAtMost = size_t{128} << 20;     // in the classes together
constexpr size_t kLargeAtMost = size_t{256} << 20;    // the one large buffer

struct Pool {
  std::mutex mutex;
  std::array<std::vector<void*>, kClasses> free;
  size_t kept = 0;
  PoolBlock large;  // one buffer above the classes, or none
};

Pool& pool() noexcept {
  static Pool* p = new Pool;  // lives for the process; blocks may be given back at exit
  return *p;
}

size_t class_of(size_t bytes) noexcept {
  size_t c = 0;
  while ((kSmallest << c) < bytes) ++c;
  return c;
}

}  // namespace

PoolBlock pool_take(size_t bytes) noexcept {
  Pool& p = pool();
  if (bytes > kLargest) {
    {
      std::lock_guard<std::mutex> lock(p.mutex);
      // The kept buffer serves a request it can hold without wasting half of it.
      if (p.large.data != nullptr && p.large.bytes >= bytes && p.large.bytes / 2 <= bytes) {
        PoolBlock b = p.large;
        p.large = {};
        return b;
      }
    }
    return {raw_alloc(bytes), bytes};
  }
  const size_t c = class_of(bytes);
  const size_t size = kSmallest << c;
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    if (!p.free[c].empty()) {
      void* block = p.free[c].back();
      p.free[c].pop_back();
      p.kept -= size;
      return {block, size};
    }
  }
  return {raw_alloc(size), size};
}

void pool_give(PoolBlock b) noexcept {
  if (b.data == nullptr) return;
  Pool& p = pool();
  void* drop = b.data;
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    if (b.bytes > kLargest) {
      if (b.bytes <= kLargeAtMost) {
        drop = p.large.data;  // the newer buffer stays
        p.large = b;
      }
    } else if (p.kept + b.bytes <= kKeepAtMost) {
      try {
        p.free[class_of(b.bytes)].push_back(b.data);
        p.kept += b.bytes;
        drop = nullptr;
      } catch (...) {
        // No room to remember it: free it.
      }
    }
  }
  if (drop != nullptr) raw_free(drop);
}

void pool_trim() noexcept {
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  for (auto& list : p.free) {
    for (void* block : list) raw_free(block);
    list.clear();
  }
  raw_free(p.large.data);
  p.large = {};
  p.kept = 0;
}

size_t pool_kept() noexcept {
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  return p.kept + p.large.bytes;
}

}  // namespace orvex
