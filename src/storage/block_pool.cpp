#include "storage/block_pool.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>
#include <new>
#include <tuple>
#include <vector>

#include "storage/raw_memory.h"

namespace orvex {

namespace {

constexpr size_t kSmallest = size_t{4} << 10;
constexpr size_t kClasses = 10;  // 4 KiB .. 2 MiB
constexpr size_t kLargest = kSmallest << (kClasses - 1);
// Of the one limit, the threads' own blocks (see ThreadBlocks) may take up
// to a quarter and the shared pool the rest: a pool filled by one large
// document then leaves room for every thread of a server to keep its own.
// Threads beyond that many use the shared lists directly.
constexpr size_t kThreadsAtMost = kKeepAtMost / 4;
constexpr size_t kSharedAtMost = kKeepAtMost - kThreadsAtMost;
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
  size_t kept = 0;        // bytes kept here, every kind together
  size_t in_threads = 0;  // what the threads' own blocks may cost (ThreadBlocks)
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

size_t kept_in_all(const Pool& p) noexcept { return p.kept + p.in_threads; }

// Whether the shared pool has room for `bytes` more.
bool fits(const Pool& p, size_t bytes) noexcept { return bytes <= kSharedAtMost - p.kept; }

// Makes room for `bytes` more of a large kind by giving back its oldest
// items, as long as that is enough: true when the bytes fit then. `cost`
// says what an item costs; given-back items go to `out`.
template <class T, class Cost>
bool room_for(Pool& p, Few<T>& few, size_t bytes, Cost cost, Few<T>& out) noexcept {
  size_t freeable = 0;
  for (size_t i = 0; i < few.count; ++i) freeable += cost(few.items[i]);
  if (bytes + p.kept > kSharedAtMost + freeable) return false;
  while (few.count > 0 && (few.count == kLargeKept || !fits(p, bytes))) {
    const T old = few.take(0);
    p.kept -= cost(old);
    out.add(old);
  }
  return true;
}

// A block of class `c` from the shared lists (under the lock), or null.
void* shared_take(Pool& p, size_t c) noexcept {
  if (p.free[c].empty()) return nullptr;
  void* block = p.free[c].back();
  p.free[c].pop_back();
  p.kept -= footprint(kSmallest << c);
  return block;
}

// Keeps a block of class `c` in the shared lists (under the lock); false
// when there is no room, and the caller frees it.
bool shared_keep(Pool& p, size_t c, void* block) noexcept {
  if (!fits(p, footprint(kSmallest << c))) return false;
  try {
    p.free[c].push_back(block);
  } catch (const std::bad_alloc&) {
    return false;  // no room to remember it
  }
  p.kept += footprint(kSmallest << c);
  return true;
}

// Blocks to free once the lock is released (declared before it).
struct ToFree {
  std::array<void*, 64> blocks;
  size_t count = 0;
  void add(void* b) noexcept { blocks[count++] = b; }
  ~ToFree() {
    for (size_t i = 0; i < count; ++i) raw_free(blocks[i]);
  }
};

// Each thread keeps up to a few blocks of each small class for itself, and
// trades them with the shared lists several at a time. A small document's
// read takes and gives back several blocks: on the shared lock alone, two
// threads reading at once met on every one of them and spent a third of
// their time there. What a thread may keep counts towards the one limit as
// a whole, from its first use to its end (or a trim), so that keeping and
// taking touch nothing shared; at its end its blocks go to the shared lists.
constexpr size_t kThreadClasses = 5;  // 4 KiB .. 64 KiB
constexpr size_t kThreadKeeps = 8;
constexpr size_t kThreadMoves = kThreadKeeps / 2;  // blocks traded at once
constexpr size_t kThreadBudget = [] {
  size_t n = 0;
  for (size_t c = 0; c < kThreadClasses; ++c) n += kThreadKeeps * footprint(kSmallest << c);
  return n;
}();

// Plain data, so that it stays usable to the very end of the thread, for
// whatever is given back after its flush.
struct ThreadBlocks {
  std::array<std::array<void*, kThreadKeeps>, kThreadClasses> blocks;
  std::array<unsigned char, kThreadClasses> count;
  bool counted;  // kThreadBudget is in Pool::in_threads
  bool ending;   // the thread's end has flushed it: it keeps nothing more
};
thread_local constinit ThreadBlocks t_blocks{};
static_assert(kThreadClasses * kThreadKeeps <= std::tuple_size_v<decltype(ToFree::blocks)>);

void* thread_pop(size_t c) noexcept { return t_blocks.blocks[c][--t_blocks.count[c]]; }
void thread_push(size_t c, void* block) noexcept { t_blocks.blocks[c][t_blocks.count[c]++] = block; }

// Gives the thread's blocks to the shared lists, or frees them, and takes
// its budget off the count.
void flush_thread_blocks(bool to_shared) noexcept {
  ToFree out;
  Pool& p = pool();
  Locked lock(p);
  if (!t_blocks.counted) return;
  p.in_threads -= kThreadBudget;
  t_blocks.counted = false;
  for (size_t c = 0; c < kThreadClasses; ++c)
    while (t_blocks.count[c] > 0) {
      void* block = thread_pop(c);
      if (!to_shared || !shared_keep(p, c, block)) out.add(block);
    }
}

struct ThreadEnd {
  ~ThreadEnd() {
    t_blocks.ending = true;
    flush_thread_blocks(true);
  }
};

// Counts the thread's budget in (under the lock), the first time there is
// room for it; false when the thread is to use the shared lists directly.
bool thread_counted(Pool& p) noexcept {
  if (t_blocks.counted) return true;
  if (t_blocks.ending || p.in_threads + kThreadBudget > kThreadsAtMost) return false;
  p.in_threads += kThreadBudget;
  t_blocks.counted = true;
  return true;
}

// Makes the thread's end flush what it keeps (before the lock is taken: the
// registration allocates).
void on_thread_end() noexcept {
  if (t_blocks.counted || t_blocks.ending) return;
  static thread_local ThreadEnd end;
  (void)end;
}

void* small_take(size_t c) noexcept {
  if (t_blocks.count[c] > 0) return thread_pop(c);
  on_thread_end();
  Pool& p = pool();
  Locked lock(p);
  if (!thread_counted(p)) return shared_take(p, c);
  while (t_blocks.count[c] < kThreadMoves) {
    void* block = shared_take(p, c);
    if (block == nullptr) break;
    thread_push(c, block);
  }
  return t_blocks.count[c] > 0 ? thread_pop(c) : nullptr;
}

void small_give(size_t c, void* block) noexcept {
  if (t_blocks.counted && t_blocks.count[c] < kThreadKeeps) return thread_push(c, block);
  on_thread_end();
  ToFree out;
  Pool& p = pool();
  Locked lock(p);
  if (!thread_counted(p)) {
    if (!shared_keep(p, c, block)) out.add(block);
    return;
  }
  if (t_blocks.count[c] == kThreadKeeps) {  // full: the older half goes to the shared lists
    auto& mine = t_blocks.blocks[c];
    for (size_t i = 0; i < kThreadMoves; ++i)
      if (!shared_keep(p, c, mine[i])) out.add(mine[i]);
    std::copy(mine.begin() + kThreadMoves, mine.end(), mine.begin());
    t_blocks.count[c] -= kThreadMoves;
  }
  thread_push(c, block);
}

}  // namespace

PoolBlock pool_take(size_t bytes) noexcept {
  if (bytes > kLargest) {
    {
      Pool& p = pool();
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
  void* kept = nullptr;
  if (c < kThreadClasses) {
    kept = small_take(c);
  } else {
    Pool& p = pool();
    Locked lock(p);
    kept = shared_take(p, c);
  }
  const size_t size = kSmallest << c;
  return {kept != nullptr ? kept : raw_alloc(size), size};
}

void pool_give(PoolBlock b) noexcept {
  if (b.data == nullptr) return;
  const size_t c = b.bytes <= kLargest ? class_of(b.bytes) : kClasses;
  if (c < kThreadClasses) return small_give(c, b.data);
  Pool& p = pool();
  void* drop = b.data;
  Few<PoolBlock> older;
  {
    Locked lock(p);
    if (c == kClasses) {
      // The newest blocks stay, when they fit in place of older ones.
      if (room_for(p, p.large, b.bytes, [](const PoolBlock& x) { return x.bytes; }, older)) {
        p.large.add(b);
        p.kept += b.bytes;
        drop = nullptr;
      }
    } else if (shared_keep(p, c, b.data)) {
      drop = nullptr;
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
  flush_thread_blocks(false);
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
  return kept_in_all(p);
}

void pool_before_fork() noexcept { pool().mutex.lock(); }
void pool_after_fork_in_parent() noexcept { pool().mutex.unlock(); }
void pool_after_fork_in_child() noexcept {
  Pool& p = pool();
  new (&p.mutex) std::mutex;  // the parent's holder does not exist here
  // Freeing now could wait for a lock of the allocator's own (tracemalloc's)
  // that the interpreter makes anew only after this handler.
  p.stale = true;
  // Of the threads' own blocks only this thread's are here to use; the
  // others' are left where they are.
  p.in_threads = t_blocks.counted ? kThreadBudget : 0;
}

}  // namespace orvex
