// Memory kept for the next read or write instead of given back: the one
// place that decides what the library holds on to between calls.
//
// A read of a large document takes tens of megabytes: node blocks, child
// lists, the file's bytes; a large write_string an output buffer. Freed with
// the tree, most of it would go back to the system, and the next call would
// fault every page in afresh, zeroed: a tenth of the time of a read that
// follows the release of another. So freed blocks are kept by size class
// (powers of two from 4 KiB to 2 MiB; of those below 128 KiB each thread
// keeps a few for itself, where threads reading at once do not meet), with
// a few large blocks besides and the writer's last few output mappings (one
// for each of several threads reading or writing at once), all of it
// together at most kKeepAtMost bytes; the rest goes back at once. A service
// that reads one huge document keeps no more than that afterwards.
//
// fork() is safe at any moment (see prepare_process in storage/process.h):
// the lock is held across it, and a child drops what it inherited the first
// time it asks.
#pragma once

#include <cstddef>

namespace orvex {

// Everything kept, of every kind, together.
inline constexpr size_t kKeepAtMost = size_t{64} << 20;

struct PoolBlock {
  void* data = nullptr;
  size_t bytes = 0;  // what the block holds: at least what was asked for
};

// A block of at least `bytes`; null data when memory is short.
PoolBlock pool_take(size_t bytes) noexcept;
// Gives a block back (it must come from pool_take, with its size).
void pool_give(PoolBlock block) noexcept;

// A large output buffer of the writer's, a mapping of its own (see
// write/sinks.cpp): `room` usable bytes from `data`, of which the first
// `resident` have been written, which is what keeping it costs.
struct PoolMapping {
  void* map = nullptr;
  size_t map_size = 0;
  char* data = nullptr;
  size_t room = 0;
  size_t resident = 0;
};
// The smallest kept mapping with `room` bytes or more (taken out of the
// pool), else one with a null map.
PoolMapping pool_take_mapping(size_t room) noexcept;
// Keeps the mapping for a later writer, its pages handed to the system
// lazily (MADV_FREE); false when it is not kept (the caller unmaps it).
bool pool_keep_mapping(const PoolMapping& m) noexcept;

// What the pool keeps now, in bytes, and giving it all back (for the tests).
size_t pool_kept() noexcept;
void pool_trim() noexcept;

// fork() handling (storage/process.cpp installs these): the lock held across
// the fork, released in the parent, made anew in the child, where what was
// kept is dropped at the next use.
void pool_before_fork() noexcept;
void pool_after_fork_in_parent() noexcept;
void pool_after_fork_in_child() noexcept;

}  // namespace orvex
