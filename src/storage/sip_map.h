// An unordered hash map from SharedStr keys, hashed with SipHash-1-3 under a
// per-map key. Iteration follows slot order, which depends on that key: it is
// neither insertion order nor sorted, and differs from map to map.
//
// The map itself is one pointer (a node has one per element): the key lives
// in the table, which an empty map does not have. The reader gives every map
// of a document the one key it drew for the read; other maps draw a fresh
// key when they first need a table.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "storage/shared_str.h"
#include "storage/siphash.h"

namespace orvex {

// A region of memory that hash tables may be placed in, owned and freed
// whole by someone else (the reader's node blocks). A table placed here is
// never freed by its map.
struct BlockArena {
  char* next = nullptr;
  char* end = nullptr;

  // `bytes` (rounded up to 8) from the region, or null when it is used up.
  void* take(size_t bytes) noexcept {
    bytes = (bytes + 7) & ~size_t{7};
    if (static_cast<size_t>(end - next) < bytes) return nullptr;
    void* p = next;
    next += bytes;
    return p;
  }
};

template <class V>
class SipMap {
 public:
  struct Entry {
    SharedStr key;
    V value;
  };

  SipMap() noexcept = default;

  SipMap(SipMap&& o) noexcept : bits_(o.bits_) { o.bits_ = 0; }
  SipMap& operator=(SipMap&& o) noexcept {
    if (this != &o) {
      clear();
      bits_ = o.bits_;
      o.bits_ = 0;
    }
    return *this;
  }
  SipMap(const SipMap&) = delete;
  SipMap& operator=(const SipMap&) = delete;
  ~SipMap() { clear(); }

  // A copy with the same key and every entry in the same slot, so that it
  // iterates in the same order. Its strings are owned copies.
  SipMap clone() const {
    SipMap c;
    const uint32_t cap = cap_();
    if (cap == 0) return c;
    c.allocate(cap, table()->key);
    for (uint32_t i = 0; i < cap; ++i) {
      if (meta()[i]) {
        new (&c.slots()[i]) Entry{slots()[i].key, slots()[i].value};
        c.meta()[i] = meta()[i];
        ++c.table()->size;
        c.bits_ |= kOwnsStrings;
      }
    }
    return c;
  }

  // The key of the table (an empty map has none and answers a zero key).
  MapKey map_key() const noexcept { return bits_ ? table()->key : MapKey{}; }
  size_t size() const noexcept { return bits_ ? table()->size : 0; }
  bool empty() const noexcept { return size() == 0; }
  size_t capacity() const noexcept { return cap_(); }

  // Room for n entries. A first table uses `key` (a fresh key when none is
  // given) and may be placed in `arena` when it has room (otherwise, and for
  // any later growth, tables are allocated).
  void reserve(size_t n, std::optional<MapKey> key = std::nullopt, BlockArena* arena = nullptr) {
    if (n == 0) return;
    size_t want = 4;
    while (want - want / 8 < n) want *= 2;
    if (want <= cap_()) return;
    if (bits_ == 0) allocate(static_cast<uint32_t>(want), key ? *key : next_map_key(), arena);
    else rehash(static_cast<uint32_t>(want));
  }

  // Inserts the pair. When the key is present the stored key stays, the value
  // is replaced (the old one released) and false is returned.
  bool insert(SharedStr key, V value) {
    if (bits_ == 0) allocate(4, next_map_key());
    const uint64_t h = hash_key_bytes(table()->key, key.sv());  // before the key is moved on
    return insert_hashed(h, std::move(key), std::move(value));
  }

  // insert() with the key's hash under this map's key already computed
  // (hash_key_bytes(map_key(), key)), for callers that hash many maps' keys
  // under one map key and remember the results. The map must have its table
  // (reserve() first).
  bool insert_hashed(uint64_t h, SharedStr&& key, V&& value) {
    {
      const uint32_t cap = table()->cap;
      if (table()->size + 1 > cap - cap / 8) rehash(cap * 2);
    }
    if (key.owns_bytes() || value_owns_bytes(value)) bits_ |= kOwnsStrings;
    uint8_t tag = tag_of(h);
    uint32_t mask = table()->cap - 1;
    uint8_t* m = meta();
    Entry* e = slots();
    for (uint32_t i = static_cast<uint32_t>(h) & mask;; i = (i + 1) & mask) {
      if (m[i] == 0) {
        new (&e[i]) Entry{std::move(key), std::move(value)};
        m[i] = tag;
        ++table()->size;
        return true;
      }
      if (m[i] == tag && e[i].key.sv() == key.sv()) {
        e[i].value = std::move(value);
        return false;
      }
    }
  }

  const V* find(std::string_view key) const noexcept {
    if (size() == 0) return nullptr;
    uint64_t h = hash_key_bytes(table()->key, key);
    uint8_t tag = tag_of(h);
    const uint32_t cap = table()->cap;
    const uint32_t mask = cap - 1;
    const uint8_t* m = meta();
    const Entry* e = slots();
    // A small table may be full, so the probe is bounded by its size as well
    // as by the first empty slot.
    uint32_t i = static_cast<uint32_t>(h) & mask;
    for (uint32_t n = 0; n < cap; ++n, i = (i + 1) & mask) {
      if (m[i] == 0) return nullptr;
      if (m[i] == tag && e[i].key.sv() == key) return &e[i].value;
    }
    return nullptr;
  }

  // Visits the entries in slot order.
  template <class F>
  void for_each(F&& f) const {
    const uint32_t cap = cap_();
    for (uint32_t i = 0; i < cap; ++i)
      if (meta()[i]) f(slots()[i].key, slots()[i].value);
  }

  class const_iterator {
   public:
    const_iterator(const SipMap* m, uint32_t i) : m_(m), i_(i) { skip(); }
    const Entry& operator*() const { return m_->slots()[i_]; }
    const Entry* operator->() const { return &m_->slots()[i_]; }
    const_iterator& operator++() { ++i_; skip(); return *this; }
    bool operator!=(const const_iterator& o) const { return i_ != o.i_; }
    bool operator==(const const_iterator& o) const { return i_ == o.i_; }

   private:
    void skip() {
      const uint32_t cap = m_->cap_();
      while (i_ < cap && !m_->meta()[i_]) ++i_;
    }
    const SipMap* m_;
    uint32_t i_;
  };
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, cap_()); }

  // A table of views in someone else's memory (the reader's maps, mostly)
  // is dropped without being looked at.
  void clear() noexcept {
    if (bits_ & kOwnsStrings) {
      const uint32_t cap = table()->cap;
      for (uint32_t i = 0; i < cap; ++i)
        if (meta()[i]) slots()[i].~Entry();
    }
    if (bits_ & kOwnsTable) ::operator delete(table());
    bits_ = 0;
  }

 private:
  // One block per table: this header, the slots, then one tag byte per slot.
  // An empty map has no block, so the map itself is just a pointer, with
  // what its clearing has to do in its low bits.
  struct Table {
    MapKey key;
    uint32_t cap;
    uint32_t size;
  };
  static constexpr uintptr_t kOwnsTable = 1;    // allocated, not placed in an arena
  static constexpr uintptr_t kOwnsStrings = 2;  // some entry owns bytes
  static constexpr uintptr_t kFlags = 3;
  static_assert(alignof(Table) > kFlags);

  template <class T>
  static bool value_owns_bytes(const T& v) noexcept {
    if constexpr (std::is_same_v<T, SharedStr>) return v.owns_bytes();
    else return false;
  }
  static_assert(sizeof(Table) % alignof(Entry) == 0);

  // Slot tags: 0 marks an empty slot; occupied slots keep 7 bits of the hash
  // so most mismatching keys are rejected without comparing bytes.
  static uint8_t tag_of(uint64_t h) noexcept { return static_cast<uint8_t>(0x80 | (h >> 57)); }

  Table* table() const noexcept { return reinterpret_cast<Table*>(bits_ & ~kFlags); }
  uint32_t cap_() const noexcept { return bits_ ? table()->cap : 0; }
  Entry* slots() const noexcept { return reinterpret_cast<Entry*>(table() + 1); }
  uint8_t* meta() const noexcept { return reinterpret_cast<uint8_t*>(slots() + table()->cap); }

  void allocate(uint32_t cap, MapKey key, BlockArena* arena = nullptr) {
    const size_t bytes = sizeof(Table) + sizeof(Entry) * cap + cap;
    void* block = arena != nullptr ? arena->take(bytes) : nullptr;
    const bool external = block != nullptr;
    if (!external) block = ::operator new(bytes);
    bits_ = reinterpret_cast<uintptr_t>(block) | (external ? 0 : kOwnsTable);
    table()->key = key;
    table()->cap = cap;
    table()->size = 0;
    std::memset(meta(), 0, cap);
  }

  void rehash(uint32_t new_cap) {
    SipMap bigger;
    bigger.allocate(new_cap, table()->key);
    bigger.bits_ |= bits_ & kOwnsStrings;
    const uint32_t mask = new_cap - 1;
    const uint32_t cap = cap_();
    for (uint32_t i = 0; i < cap; ++i) {
      if (!meta()[i]) continue;
      uint64_t h = hash_key_bytes(table()->key, slots()[i].key.sv());
      uint32_t j = static_cast<uint32_t>(h) & mask;
      while (bigger.meta()[j]) j = (j + 1) & mask;
      new (&bigger.slots()[j]) Entry(std::move(slots()[i]));
      bigger.meta()[j] = meta()[i];
      ++bigger.table()->size;
    }
    *this = std::move(bigger);
  }

  uintptr_t bits_ = 0;  // the table, and the flags above
};

// A node's attributes.
using AttrMap = SipMap<SharedStr>;

}  // namespace orvex
