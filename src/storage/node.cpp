#include "storage/node.h"

#include <atomic>
#include <cstdlib>

namespace orvex {

namespace {
std::atomic<void* (*)(size_t)> g_alloc{&std::malloc};
std::atomic<void (*)(void*)> g_free{&std::free};
}  // namespace

void set_node_memory(NodeMemory m) noexcept {
  g_alloc.store(m.alloc, std::memory_order_relaxed);
  g_free.store(m.free, std::memory_order_relaxed);
}

void* alloc_node_memory(size_t bytes) noexcept { return g_alloc.load(std::memory_order_relaxed)(bytes); }
void free_node_memory(void* p) noexcept { g_free.load(std::memory_order_relaxed)(p); }

}  // namespace orvex
