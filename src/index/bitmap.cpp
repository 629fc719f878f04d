// The bitmap build: the document is classified, 64 bytes at a time, into
// masks of '<', '>', '"' and '\''; candidates are then found by jumping from
// bit to bit instead of looking at bytes.
#include <algorithm>
#include <cstring>
#include <memory>

#include "index/walk.h"
#include "simd/bitmask.h"
#include "simd/classify.h"
#include "simd/scan.h"

namespace orvex::index {

using simd::BlockBits;
using simd::npos;

namespace {

using Field = uint64_t BlockBits::*;

// The masks of a window of blocks, classified as the walk reaches them. A
// window of a fixed size is reused rather than masks for the whole document
// allocated: fresh memory costs a page fault per 4 KiB, which would cost more
// than the classification itself. A search that runs past the window
// continues with the vector byte search, which gives the same answer.
class Bitmaps {
 public:
  static constexpr size_t kWindowBlocks = 1024;  // 64 KiB of input, 32 KiB of masks

  Bitmaps(const uint8_t* d, size_t len, SearchMemo& find)
      : d_(d), len_(len), blocks_((len + 63) / 64), find_(find),
        masks_(new BlockBits[std::max<size_t>(1, std::min(kWindowBlocks, blocks_))]) {}

  // Makes the block holding pos (< len) part of the window.
  void cover(size_t pos) noexcept {
    const size_t w = pos / 64;
    if (w >= first_ && w < first_ + count_) return;
    first_ = w;
    count_ = std::min(kWindowBlocks, blocks_ - w);
    const size_t bytes = std::min(len_ - 64 * w, 64 * count_);
    simd::classify(d_ + 64 * w, bytes, masks_.get());
    classified_ += bytes;
  }

  // First set bit of field F (the mask of byte C) at or after pos, or npos.
  template <Field F, uint8_t C>
  size_t next(size_t pos) const noexcept {
    if (pos >= len_) return npos;
    size_t w = pos / 64;
    if (w < first_ || w >= first_ + count_) return find_.find(C, pos);
    uint64_t m = masks_[w - first_].*F & (~uint64_t(0) << (pos % 64));
    while (m == 0) {
      if (++w == first_ + count_) return find_.find(C, 64 * w);
      m = masks_[w - first_].*F;
    }
    return 64 * w + simd::lowest_bit(m);
  }

  // Field F of the block holding pos. cover(pos) must have been called.
  template <Field F>
  uint64_t block(size_t pos) const noexcept {
    return masks_[pos / 64 - first_].*F;
  }

  uint64_t classified() const noexcept { return classified_; }

 private:
  const uint8_t* d_;
  size_t len_;
  size_t blocks_;
  SearchMemo& find_;  // past the window
  uint64_t classified_ = 0;
  size_t first_ = 0;  // window: blocks first_ .. first_ + count_ - 1
  size_t count_ = 0;
  std::unique_ptr<BlockBits[]> masks_;
};

constexpr Field kLt = &BlockBits::lt;
constexpr Field kGt = &BlockBits::gt;
constexpr Field kDq = &BlockBits::dq;
constexpr Field kSq = &BlockBits::sq;

// Scans the attributes of a start or empty-element tag from c (just past its
// name) to the '>' that ends it, with the sequential build's rules: a quote
// skips to one past its partner, or skips itself and the next byte when it
// has none; "/>" ends an empty-element tag.
//
// Blocks holding one kind of quote go without branches: consecutive quotes
// pair up, so the prefix XOR of the quote mask, complemented when a value is
// carried in from the previous block, marks the bytes inside values, and the
// first '>' outside them ends the tag. Blocks holding both kinds (or the
// other kind inside a carried value) are resolved quote by quote, each
// partner found through its mask.
TagClose close_start_tag(Bitmaps& bm, const uint8_t* d, size_t len, size_t c) noexcept {
  size_t plain = c;       // bytes from here on were scanned outside quotes
  uint64_t carried = 0;   // all ones while a value stays open across blocks
  bool carried_dq = false;
  size_t open_at = 0;     // where that value opened
  auto close_at = [&](size_t x) {
    const bool empty = x > plain && d[x - 1] == '/';
    return TagClose{true, x, empty ? TagKind::Empty : TagKind::Start};
  };
  // Moves c past the value opened at `open` (a quote without a partner skips
  // itself and the byte after it).
  auto skip_value = [&](size_t open) {
    const size_t r = d[open] == '"' ? bm.next<kDq, '"'>(open + 1) : bm.next<kSq, '\''>(open + 1);
    c = r == npos ? open + 2 : r + 1;
    plain = c;
    carried = 0;
  };
  for (;;) {
    while (c < len) {
      bm.cover(c);
      const size_t base = c & ~size_t(63);
      const uint64_t from_c = ~uint64_t(0) << (c % 64);
      const uint64_t gt = bm.block<kGt>(c) & from_c;
      const uint64_t dq = bm.block<kDq>(c) & from_c;
      const uint64_t sq = bm.block<kSq>(c) & from_c;
      const bool one_kind = carried == 0 ? (dq == 0 || sq == 0) : carried_dq ? sq == 0 : dq == 0;
      if (one_kind) {
        const uint64_t q = dq | sq;
        const uint64_t inside = simd::prefix_xor(q) ^ carried;
        const uint64_t outside_gt = gt & ~inside;
        if (outside_gt != 0) return close_at(base + simd::lowest_bit(outside_gt));
        // The top bit of `inside` says whether a value is still open; if
        // this block holds quotes, its last quote opened that value.
        carried = uint64_t(0) - (inside >> 63);
        open_at = q != 0 ? base + simd::highest_bit(q | 1) : open_at;
        carried_dq = q != 0 ? dq != 0 : carried_dq;
        c = base + 64;
      } else if (carried != 0) {
        skip_value(open_at);
      } else {
        const size_t x = base + simd::lowest_bit(gt | dq | sq);
        if (d[x] == '>') return close_at(x);
        skip_value(x);
      }
    }
    if (carried == 0) return {false, 0, TagKind::Start};
    skip_value(open_at);  // the value never closed: resume just after its quote
  }
}

class BitmapCandidates {
 public:
  static constexpr MalformedRules kRules = kBitmapRules;

  BitmapCandidates(const uint8_t* d, size_t len, SearchMemo& find) : d_(d), len_(len), bm_(d, len, find) {}

  size_t next_lt(size_t p) noexcept {
    bm_.cover(p);
    return bm_.next<kLt, '<'>(p);
  }
  size_t next_gt(size_t p) noexcept { return bm_.next<kGt, '>'>(p); }
  TagClose close_start_tag(size_t c) noexcept { return orvex::index::close_start_tag(bm_, d_, len_, c); }
  uint64_t examined() const noexcept { return bm_.classified(); }

 private:
  const uint8_t* d_;
  size_t len_;
  Bitmaps bm_;
};

}  // namespace

std::unique_ptr<ConstructSource> make_bitmap_source(const uint8_t* d, size_t len) {
  return std::make_unique<Walk<BitmapCandidates>>(d, len);
}

}  // namespace orvex::index
