// An unordered hash map from SharedStr keys, hashed with SipHash-1-3 under a
// per-map key. Iteration follows slot order, which depends on that key: it is
// neither insertion order nor sorted, and differs from map to map.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "storage/shared_str.h"
#include "storage/siphash.h"

namespace orvex {

template <class V>
class SipMap {
 public:
  struct Entry {
    SharedStr key;
    V value;
  };

  // A map with a fresh key from the calling thread's source.
  SipMap() noexcept : key_(next_map_key()) {}
  // A map with a given key (the reader uses one key for a whole document).
  explicit SipMap(MapKey key) noexcept : key_(key) {}

  SipMap(SipMap&& o) noexcept
      : key_(o.key_), meta_(o.meta_), slots_(o.slots_), cap_(o.cap_), size_(o.size_) {
    o.meta_ = nullptr; o.slots_ = nullptr; o.cap_ = 0; o.size_ = 0;
  }
  SipMap& operator=(SipMap&& o) noexcept {
    if (this != &o) {
      clear();
      key_ = o.key_; meta_ = o.meta_; slots_ = o.slots_; cap_ = o.cap_; size_ = o.size_;
      o.meta_ = nullptr; o.slots_ = nullptr; o.cap_ = 0; o.size_ = 0;
    }
    return *this;
  }
  SipMap(const SipMap&) = delete;
  SipMap& operator=(const SipMap&) = delete;
  ~SipMap() { clear(); }

  // A copy with the same key and every entry in the same slot, so that it
  // iterates in the same order. Views are shared, owned strings copied.
  SipMap clone() const {
    SipMap c(key_);
    if (cap_ == 0) return c;
    c.allocate(cap_);
    for (uint32_t i = 0; i < cap_; ++i) {
      if (meta_[i]) {
        new (&c.slots_[i]) Entry{slots_[i].key, slots_[i].value};
        c.meta_[i] = meta_[i];
        ++c.size_;
      }
    }
    return c;
  }

  MapKey map_key() const noexcept { return key_; }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  size_t capacity() const noexcept { return cap_; }

  void reserve(size_t n) {
    if (n == 0) return;
    size_t want = 4;
    while (want - want / 8 < n) want *= 2;
    if (want > cap_) rehash(static_cast<uint32_t>(want));
  }

  // Inserts the pair. When the key is present the stored key stays, the value
  // is replaced (the old one released) and false is returned.
  bool insert(SharedStr key, V value) {
    if (size_ + 1 > cap_ - cap_ / 8 || cap_ == 0) rehash(cap_ ? cap_ * 2 : 4);
    uint64_t h = hash_key_bytes(key_, key.sv());
    uint8_t tag = tag_of(h);
    uint32_t mask = cap_ - 1;
    for (uint32_t i = static_cast<uint32_t>(h) & mask;; i = (i + 1) & mask) {
      if (meta_[i] == 0) {
        new (&slots_[i]) Entry{std::move(key), std::move(value)};
        meta_[i] = tag;
        ++size_;
        return true;
      }
      if (meta_[i] == tag && slots_[i].key.sv() == key.sv()) {
        slots_[i].value = std::move(value);
        return false;
      }
    }
  }

  const V* find(std::string_view key) const noexcept {
    if (size_ == 0) return nullptr;
    uint64_t h = hash_key_bytes(key_, key);
    uint8_t tag = tag_of(h);
    uint32_t mask = cap_ - 1;
    // A small table may be full, so the probe is bounded by its size as well
    // as by the first empty slot.
    uint32_t i = static_cast<uint32_t>(h) & mask;
    for (uint32_t n = 0; n < cap_; ++n, i = (i + 1) & mask) {
      if (meta_[i] == 0) return nullptr;
      if (meta_[i] == tag && slots_[i].key.sv() == key) return &slots_[i].value;
    }
    return nullptr;
  }
  bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

  // Visits the entries in slot order.
  template <class F>
  void for_each(F&& f) const {
    for (uint32_t i = 0; i < cap_; ++i)
      if (meta_[i]) f(slots_[i].key, slots_[i].value);
  }

  class const_iterator {
   public:
    const_iterator(const SipMap* m, uint32_t i) : m_(m), i_(i) { skip(); }
    const Entry& operator*() const { return m_->slots_[i_]; }
    const Entry* operator->() const { return &m_->slots_[i_]; }
    const_iterator& operator++() { ++i_; skip(); return *this; }
    bool operator!=(const const_iterator& o) const { return i_ != o.i_; }
    bool operator==(const const_iterator& o) const { return i_ == o.i_; }

   private:
    void skip() { while (i_ < m_->cap_ && !m_->meta_[i_]) ++i_; }
    const SipMap* m_;
    uint32_t i_;
  };
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, cap_); }

  void clear() noexcept {
    for (uint32_t i = 0; i < cap_; ++i)
      if (meta_[i]) slots_[i].~Entry();
    ::operator delete(slots_);  // the tags share the slots' block
    slots_ = nullptr; meta_ = nullptr; cap_ = 0; size_ = 0;
  }

 private:
  // Slot tags: 0 marks an empty slot; occupied slots keep 7 bits of the hash
  // so most mismatching keys are rejected without comparing bytes.
  static uint8_t tag_of(uint64_t h) noexcept { return static_cast<uint8_t>(0x80 | (h >> 57)); }

  // One block per table: the slots, then one tag byte per slot.
  void allocate(uint32_t cap) {
    void* block = ::operator new(sizeof(Entry) * cap + cap);
    slots_ = static_cast<Entry*>(block);
    meta_ = reinterpret_cast<uint8_t*>(slots_ + cap);
    std::memset(meta_, 0, cap);
    cap_ = cap;
  }

  void rehash(uint32_t new_cap) {
    SipMap bigger(key_);
    bigger.allocate(new_cap);
    uint32_t mask = new_cap - 1;
    for (uint32_t i = 0; i < cap_; ++i) {
      if (!meta_[i]) continue;
      uint64_t h = hash_key_bytes(key_, slots_[i].key.sv());
      uint32_t j = static_cast<uint32_t>(h) & mask;
      while (bigger.meta_[j]) j = (j + 1) & mask;
      new (&bigger.slots_[j]) Entry(std::move(slots_[i]));
      bigger.meta_[j] = meta_[i];
      ++bigger.size_;
    }
    *this = std::move(bigger);
  }

  MapKey key_;
  uint8_t* meta_ = nullptr;
  Entry* slots_ = nullptr;
  uint32_t cap_ = 0;
  uint32_t size_ = 0;
};

// A node's attributes.
using AttrMap = SipMap<SharedStr>;

}  // namespace orvex
