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
// Large blocks (file buffers) and output mappings are kept a few of each
// kind, so that threads reading or writing at once each find one.
constexpr size_t kLargeKept = 4;

// What a kept block of a size class costs: its bytes and, since the C
// library puts a header in front of it, one more page it shares in part.
constexpr size_t kPage = size_t{4} << 10;
constexpr size_t footprint(size_t class_bytes) noexcept { return class_bytes + kPage; }

size_t class_of(size_t bytes) noexcept {
  size_t c = 0;
  while ((kSmallest << c) < bytes) ++c;
  return c;
}

// Up to kLargeKept items, the newest last.
template <class T>
struct Few {
  std::array<T, kLargeKept> items{};
  size_t count = 0;

  // Takes out the item `at`.
  T take(size_t at) noexcept {
    const T item = items[at];
    for (size_t i = at; i + 1 < count; ++i) items[i] = items[i + 1];
    items[--count] = {};
    return item;
  }
  void add(const T& item) noexcept { items[count++] = item; }
};

struct Pool {
  std::mutex mutex;
  std::array<std::vector<void*>, kClasses> free;
  size_t kept = 0;           // bytes kept, every kind together
  Few<PoolBlock> large;      // blocks above the classes
  Few<PoolMapping> mappings; // the writer's output mappings
  bool stale = false;        // inherited over a fork: dropped at the next use
};

// Lives for the process: blocks are given back at exit too, possibly by a
// daemon thread while static destructors run.
Pool& pool() noexcept {
  static Pool* p = new Pool;
  return *p;
}

// Everything kept, taken out of the pool (under its lock), to be freed by
// free_all() once the lock is released.
struct Dropped {
  std::array<std::vector<void*>, kClasses> blocks;
  Few<PoolBlock> large;
  Few<PoolMapping> mappings;
};

Dropped take_all(Pool& p) noexcept {
  Dropped d;
  d.blocks.swap(p.free);
  d.large = p.large;
  d.mappings = p.mappings;
  p.large = {};
  p.mappings = {};
  p.kept = 0;
  p.stale = false;
  return d;
}

void free_all(Dropped& d) noexcept {
  for (auto& list : d.blocks)
    for (void* block : list) raw_free(block);
  for (size_t i = 0; i < d.large.count; ++i) raw_free(d.large.items[i].data);
  for (size_t i = 0; i < d.mappings.count; ++i) ::munmap(d.mappings.items[i].map, d.mappings.items[i].map_size);
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

// Makes room for `bytes` more of a large kind by giving back its oldest
// items, as long as that is enough: true when the bytes fit then. `cost`
// says what an item costs; given-back items go to `out`.
template <class T, class Cost>
bool room_for(Pool& p, Few<T>& few, size_t bytes, Cost cost, Few<T>& out) noexcept {
  size_t freeable = 0;
  for (size_t i = 0; i < few.count; ++i) freeable += cost(few.items[i]);
  if (bytes > kKeepAtMost - (p.kept - freeable)) return false;
  while (few.count > 0 && (few.count == kLargeKept || !fits(p, bytes))) {
    const T old = few.take(0);
    p.kept -= cost(old);
    out.add(old);
  }
  return true;
}

}  // namespace

PoolBlock pool_take(size_t bytes) noexcept {
  Pool& p = pool();
  if (bytes > kLargest) {
    {
      Locked lock(p);
      // The smallest kept block that holds the request without wasting half
      // of itself.
      size_t best = kLargeKept;
      for (size_t i = 0; i < p.large.count; ++i) {
        const PoolBlock& b = p.large.items[i];
        if (b.bytes >= bytes && b.bytes / 2 <= bytes && (best == kLargeKept || b.bytes < p.large.items[best].bytes))
          best = i;
      }
      if (best != kLargeKept) {
        const PoolBlock b = p.large.take(best);
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
  Few<PoolBlock> older;
  {
    Locked lock(p);
    if (b.bytes > kLargest) {
      // The newest blocks stay, when they fit in place of older ones.
      if (room_for(p, p.large, b.bytes, [](const PoolBlock& x) { return x.bytes; }, older)) {
        p.large.add(b);
        p.kept += b.bytes;
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
  for (size_t i = 0; i < older.count; ++i) raw_free(older.items[i].data);
}

PoolMapping pool_take_mapping(size_t room) noexcept {
  Pool& p = pool();
  Locked lock(p);
  size_t best = kLargeKept;
  for (size_t i = 0; i < p.mappings.count; ++i)
    if (p.mappings.items[i].room >= room && (best == kLargeKept || p.mappings.items[i].room < p.mappings.items[best].room))
      best = i;
  if (best == kLargeKept) return {};
  const PoolMapping m = p.mappings.take(best);
  p.kept -= m.resident;
  return m;
}

bool pool_keep_mapping(const PoolMapping& m) noexcept {
  Pool& p = pool();
  Few<PoolMapping> older;
  {
    Locked lock(p);
    if (!room_for(p, p.mappings, m.resident, [](const PoolMapping& x) { return x.resident; }, older)) return false;
#ifdef MADV_FREE
    (void)::madvise(m.data, m.room, MADV_FREE);  // reclaimed under pressure instead of swapped
#endif
    p.mappings.add(m);
    p.kept += m.resident;
  }
  for (size_t i = 0; i < older.count; ++i) ::munmap(older.items[i].map, older.items[i].map_size);
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
