// Memory for the reader, kept for the next read instead of given back.
//
// A read of a large document takes tens of megabytes: node blocks, child
// lists, the file's bytes. Freed with the tree, most of it would go back to
// the system (the allocator trims the free top of its heap, and large
// buffers are mappings of their own), and the next read would fault every
// page in afresh, zeroed: a tenth of the time of a read that follows the
// release of another. Freed blocks are kept instead, by size class (powers
// of two from 4 KiB to 2 MiB), up to a limit, and one large buffer besides;
// beyond that memory is freed as before.
#pragma once

#include <cstddef>

namespace orvex {

struct PoolBlock {
  void* data = nullptr;
  size_t bytes = 0;  // what the block holds: at least what was asked for
};

// A block of at least `bytes`; null data when memory is short.
PoolBlock pool_take(size_t bytes) noexcept;
// Gives a block back (it must come from pool_take, with its size).
void pool_give(PoolBlock block) noexcept;

// What the pool keeps now, in bytes, and freeing it all (for the tests).
size_t pool_kept() noexcept;
void pool_trim() noexcept;

}  // namespace orvex
