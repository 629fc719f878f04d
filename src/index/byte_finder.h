// The index's forward byte searches, each one remembered per byte value.
//
// A search that found nothing between its start and its result has proved
// that range empty of its byte; a later search for the same byte that
// starts inside that range gets the same answer at once, without looking at
// those bytes again. The index walk searches for each byte from increasing
// offsets, so every byte of a document is examined at most once per byte
// value searched for, and an index build stays linear in its input whatever
// the input: a million unterminated declarations, each looking for a '>'
// that never comes, cost one search instead of a million.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "simd/search.h"

namespace orvex::index {

class ByteFinder {
 public:
  ByteFinder(const uint8_t* d, size_t len) noexcept : d_(d), len_(len) {}
  ByteFinder(const ByteFinder&) = delete;
  ByteFinder& operator=(const ByteFinder&) = delete;

  // Offset of the first `c` at or after `from`, or simd::npos.
  size_t find(uint8_t c, size_t from) noexcept {
    if (from >= len_) return simd::npos;
    Memo& m = memo_[kSlot[c]];
    // "None" is npos, above every offset: it answers every later start.
    if (kSlot[c] != 0 && from >= m.from && from <= m.found) return m.found;
    const size_t r = simd::find_byte(d_, len_, from, c);
    examined_ += (r == simd::npos ? len_ : r + 1) - from;
    m = {from, r};
    return r;
  }

  // Counts bytes that a scan outside find() looked at.
  void count(size_t n) noexcept { examined_ += n; }
  uint64_t examined() const noexcept { return examined_; }

 private:
  struct Memo {
    size_t from = simd::npos;
    size_t found = simd::npos;
  };
  // The bytes the walk searches for have a slot each; slot 0 is never
  // consulted (any other byte is searched afresh every time).
  static constexpr std::array<uint8_t, 256> kSlot = [] {
    std::array<uint8_t, 256> t{};
    uint8_t n = 0;
    for (uint8_t c : {'<', '>', '-', ']', '?', '"', '\''}) t[c] = ++n;
    return t;
  }();

  const uint8_t* d_;
  size_t len_;
  uint64_t examined_ = 0;
  std::array<Memo, 8> memo_{};
};

}  // namespace orvex::index
