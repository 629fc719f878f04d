#include "storage/raw_memory.h"

#include <atomic>
#include <cstdlib>

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

}  // namespace orvex
