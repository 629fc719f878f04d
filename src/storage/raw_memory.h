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

// Asks for transparent huge pages for the whole 2 MiB pages within
// [p, p + n) of a fresh allocation of at least kOwnMapping bytes: memory
// about to be written from start to end (a large str being filled) then
// takes a fault per 2 MiB instead of one per 4 KiB, which is most of the
// time it takes to fill fresh memory. Smaller allocations are left alone:
// the C library may place them in its heap, where the advice would outlive
// them and make every later fault there compact memory for a huge page.
// Only advice, never an error.
void advise_huge_pages(void* p, size_t n) noexcept;
// The C library maps an allocation of this size or more on its own (the
// largest threshold glibc's malloc may choose or be set to on 64 bits).
inline constexpr size_t kOwnMapping = size_t{32} << 20;

}  // namespace orvex
