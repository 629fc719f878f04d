// SipHash-1-3, keyed with two 64-bit words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvex {

struct MapKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
};

// SipHash-1-3 of `len` bytes.
uint64_t siphash13(MapKey key, const void* data, size_t len) noexcept;

// The hash of a map key string: SipHash-1-3 over its bytes followed by one
// 0xFF byte, so that no key's hash input is a prefix of another's.
uint64_t hash_key_bytes(MapKey key, std::string_view bytes) noexcept;

// A key for a new map: the calling thread's pair (drawn once from the OS random
// source), after which the first word of the thread's pair is incremented.
MapKey next_map_key() noexcept;
// After fork(), in the child: every thread draws a new pair at its next map.
void new_map_keys_after_fork() noexcept;

}  // namespace orvex
