// Where the reader's bulk memory comes from (node blocks, child lists): the
// interpreter layer installs its raw allocator, which needs no interpreter
// (the reader allocates detached) and which tracemalloc sees; plain malloc
// until then.
#pragma once

#include <cstddef>

namespace orvex {

struct RawMemory {
  void* (*alloc)(size_t);
  void (*free)(void*);
};
void set_raw_memory(RawMemory m) noexcept;
void* raw_alloc(size_t bytes) noexcept;
void raw_free(void* p) noexcept;

}  // namespace orvex
