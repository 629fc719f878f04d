// The index's forward byte searches, each failure remembered per byte value.
//
// The walk searches from the end of each construct onwards, so its searches
// for a byte never cover the same bytes twice, except after a search that
// found nothing: the walk then goes on from an earlier place and may look
// for the same byte again. A failed search has proved that the byte does
// not occur from its start to the end of the document; a later search for
// that byte from there on answers at once. Without this, a million
// unterminated declarations, each looking for a '>' that never comes, would
// search the rest of the document a million times.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "simd/scan.h"

namespace orvex::index {

class SearchMemo {
 public:
  SearchMemo(const uint8_t* d, size_t len) noexcept : d_(d), len_(len) { none_from_.fill(simd::npos); }
  SearchMemo(const SearchMemo&) = delete;
  SearchMemo& operator=(const SearchMemo&) = delete;

  // Offset of the first `c` at or after `from`, or simd::npos.
  size_t find(uint8_t c, size_t from) noexcept {
    const uint8_t slot = kSlot[c];
    if (from >= none_from_[slot]) return simd::npos;
    const size_t r = simd::find_byte(d_, len_, from, c);
    if (r == simd::npos) [[unlikely]] {
      if (slot != 0) none_from_[slot] = from;
      if (from < len_) failed_ += len_ - from;
    }
    return r;
  }

  // Bytes that failed searches looked at: the searches that run past the
  // construct they serve.
  uint64_t failed_bytes() const noexcept { return failed_; }

 private:
  // The bytes the walk may search for in vain have a slot each; slot 0
  // (every other byte) remembers nothing.
  static constexpr std::array<uint8_t, 256> kSlot = [] {
    std::array<uint8_t, 256> t{};
    uint8_t n = 0;
    for (uint8_t c : {'>', '-', ']', '?', '"', '\''}) t[c] = ++n;
    return t;
  }();

  const uint8_t* d_;
  size_t len_;
  uint64_t failed_ = 0;
  std::array<size_t, 8> none_from_;  // per slot: no such byte from here to the end
};

}  // namespace orvex::index
