#include "storage/block_pool.h"

#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include "storage/raw_memory.h"

namespace orvex {

namespace {

constexpr size_t kSmallest = size_t{4} << 10;
constexpr size_t kClasses = 10;  // 4 KiB .. 2 MiB
constexpr size_t kLargest = kSmallest << (kClasses - 1);

struct Pool {
  std::mutex mutex;
  std::array<std::vector<void*>, kClasses> free;
  size_t kept = 0;      // bytes kept, every kind together
  PoolBlock large;      // one block above the classes, or none
  PoolMapping mapping;  // the writer's last output mapping, or none
  bool stale = false;   // inherited over a fork: dropped at the next use
};

// Lives for the process: blocks are given back at exit too, possibly by a
// daemon thread while static destructors run.
Pool& pool() noexcept {
  static Pool* p = new Pool;
  return *p;
}

// What a kept block of a size class costs: its bytes and, since the C
// library puts a header in front of it, one more page it shares in part.
constexpr size_t kPage = size_t{4} << 10;
constexpr size_t footprint(size_t class_bytes) noexcept { return class_bytes + kPage; }

size_t class_of(size_t bytes) noexcept {
  size_t c = 0;
  while ((kSmallest << c) < bytes) ++c;
  return c;
}

// Everything kept, taken out of the pool (under its lock), to be freed by
// free_all() once the lock is released.
struct Dropped {
  std::array<std::vector<void*>, kClasses> blocks;
  PoolBlock large;
  PoolMapping mapping;
};

Dropped take_all(Pool& p) noexcept {
  Dropped d;
  d.blocks.swap(p.free);
  d.large = p.large;
  d.mapping = p.mapping;
  p.large = {};
  p.mapping = {};
  p.kept = 0;
  p.stale = false;
  return d;
}

void free_all(Dropped& d) noexcept {
  for (auto& list : d.blocks)
    for (void* block : list) raw_free(block);
  raw_free(d.large.data);
  if (d.mapping.map != nullptr) ::munmap(d.mapping.map, d.mapping.map_size);
}

// The pool's lock, after dropping what a fork left in it (into `dropped`).
class Locked {
 public:
  explicit Locked(Pool& p) noexcept : lock_(p.mutex) {
    if (p.stale) dropped_ = take_all(p);
  }
  ~Locked() {
    lock_.unlock();
    free_all(dropped_);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
  Dropped dropped_;
};

bool fits(const Pool& p, size_t bytes) noexcept { return bytes <= kKeepAtMost - p.kept; }

}  // namespace

PoolBlock pool_take(size_t bytes) noexcept {
  Pool& p = pool();
  if (bytes > kLargest) {
    {
      Locked lock(p);
      // The kept block serves a request it can hold without wasting half of it.
      if (p.large.data != nullptr && p.large.bytes >= bytes && p.large.bytes / 2 <= bytes) {
        const PoolBlock b = p.large;
        p.large = {};
        p.kept -= b.bytes;
        return b;
      }
    }
    return {raw_alloc(bytes), bytes};
  }
  const size_t c = class_of(bytes);
  const size_t size = kSmallest << c;
  {
    Locked lock(p);
    if (!p.free[c].empty()) {
      void* block = p.free[c].back();
      p.free[c].pop_back();
      p.kept -= footprint(size);
      return {block, size};
    }
  }
  return {raw_alloc(size), size};
}

void pool_give(PoolBlock b) noexcept {
  if (b.data == nullptr) return;
  Pool& p = pool();
  void* drop = b.data;
  void* older = nullptr;
  {
    Locked lock(p);
    if (b.bytes > kLargest) {
      // The newer block stays, if it fits in place of the older one.
      const size_t older_bytes = p.large.data != nullptr ? p.large.bytes : 0;
      if (b.bytes <= kKeepAtMost - (p.kept - older_bytes)) {
        older = p.large.data;
        p.kept = p.kept - older_bytes + b.bytes;
        p.large = b;
        drop = nullptr;
      }
    } else if (fits(p, footprint(b.bytes))) {
      try {
        p.free[class_of(b.bytes)].push_back(b.data);
        p.kept += footprint(b.bytes);
        drop = nullptr;
      } catch (const std::bad_alloc&) {
        // No room to remember it: free it.
      }
    }
  }
  raw_free(drop);
  raw_free(older);
}

PoolMapping pool_take_mapping(size_t room) noexcept {
  Pool& p = pool();
  Locked lock(p);
  if (p.mapping.map == nullptr || p.mapping.room < room) return {};
  const PoolMapping m = p.mapping;
  p.mapping = {};
  p.kept -= m.resident;
  return m;
}

bool pool_keep_mapping(const PoolMapping& m) noexcept {
  Pool& p = pool();
  PoolMapping older;
  {
    Locked lock(p);
    const size_t older_resident = p.mapping.map != nullptr ? p.mapping.resident : 0;
    if (m.resident > kKeepAtMost - (p.kept - older_resident)) return false;
#ifdef MADV_FREE
    (void)::madvise(m.data, m.room, MADV_FREE);  // reclaimed under pressure instead of swapped
#endif
    older = p.mapping;
    p.kept = p.kept - older_resident + m.resident;
    p.mapping = m;
  }
  if (older.map != nullptr) ::munmap(older.map, older.map_size);
  return true;
}

void pool_trim() noexcept {
  Pool& p = pool();
  Dropped d;
  {
    Locked lock(p);
    d = take_all(p);
  }
  free_all(d);
}

size_t pool_kept() noexcept {
  Pool& p = pool();
  Locked lock(p);
  return p.kept;
}

void pool_before_fork() noexcept { pool().mutex.lock(); }
void pool_after_fork_in_parent() noexcept { pool().mutex.unlock(); }
void pool_after_fork_in_child() noexcept {
  Pool& p = pool();
  new (&p.mutex) std::mutex;  // the parent's holder does not exist here
  // Freeing now could wait for a lock of the allocator's own (tracemalloc's)
  // that the interpreter makes anew only after this handler.
  p.stale = true;
}

}  // namespace orvex
