#include "storage/raw_memory.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>

namespace orvex {

namespace {
std::atomic<void* (*)(size_t)> g_alloc{&std::malloc};
std::atomic<void (*)(void*)> g_free{&std::free};
}  // namespace

void set_raw_memory(RawMemory m) noexcept {
  g_alloc.store(m.alloc, std::memory_order_relaxed);
  g_free.store(m.free, std::memory_order_relaxed);
}

void* raw_alloc(size_t bytes) noexcept { return g_alloc.load(std::memory_order_relaxed)(bytes); }
void raw_free(void* p) noexcept { g_free.load(std::memory_order_relaxed)(p); }

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
}  // namespace

void advise_huge_pages(void* p, size_t n) noexcept {
#ifdef MADV_HUGEPAGE
  if (n < kOwnMapping) return;
  const auto from = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
  const auto to = (reinterpret_cast<uintptr_t>(p) + n) & ~(uintptr_t{kHugePage} - 1);
  if (to > from) (void)::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}

}  // namespace orvex
