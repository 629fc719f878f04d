// The bitmap build: the document is classified once, 64 bytes at a time,
// into masks of '<', '>', '"' and '\''; the walk then jumps from bit to bit
// instead of looking at bytes. Its constructs and text ranges are those of
// the sequential build.
//
// Quotes mean something only inside start and empty-element tags, after the
// name: a quote in character data ("don't"), a comment, a CDATA section, a
// processing instruction, an end tag or a declaration hides nothing. So the
// quote masks are raw, and quote state is tracked only while a start tag is
// being closed (see close_start_tag).
//
// On malformed input the builds differ only in three places, where this
// build keeps its own behaviour: a comment without "-->" ends at len - 2 (or
// just past "<!--" when fewer than three bytes follow it) instead of
// overrunning the input; a declaration without any later '>' is an unclosed
// tag instead of being skipped; a '<' in the last byte is dropped instead of
// being an unclosed tag.
#include <algorithm>
#include <cstring>
#include <memory>

#include "index/builds.h"
#include "index/scan_util.h"
#include "simd/bitmask.h"
#include "simd/classify.h"
#include "simd/search.h"

namespace orvex::index {

using namespace detail;
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

  Bitmaps(const uint8_t* d, size_t len)
      : d_(d), len_(len), blocks_((len + 63) / 64),
        masks_(new BlockBits[std::min(kWindowBlocks, blocks_)]) {}

  // Makes the block holding pos (< len) part of the window.
  void cover(size_t pos) noexcept {
    const size_t w = pos / 64;
    if (w >= first_ && w < first_ + count_) return;
    first_ = w;
    count_ = std::min(kWindowBlocks, blocks_ - w);
    simd::classify(d_ + 64 * w, std::min(len_ - 64 * w, 64 * count_), masks_.get());
  }

  // First set bit of field F (the mask of byte C) at or after pos, or npos.
  template <Field F, uint8_t C>
  size_t next(size_t pos) const noexcept {
    if (pos >= len_) return npos;
    size_t w = pos / 64;
    if (w < first_ || w >= first_ + count_) return simd::find_byte(d_, len_, pos, C);
    uint64_t m = masks_[w - first_].*F & (~uint64_t(0) << (pos % 64));
    while (m == 0) {
      if (++w == first_ + count_) return simd::find_byte(d_, len_, 64 * w, C);
      m = masks_[w - first_].*F;
    }
    return 64 * w + simd::lowest_bit(m);
  }

  // Field F of the block holding pos. cover(pos) must have been called.
  template <Field F>
  uint64_t block(size_t pos) const noexcept {
    return masks_[pos / 64 - first_].*F;
  }

 private:
  const uint8_t* d_;
  size_t len_;
  size_t blocks_;
  size_t first_ = 0;  // window: blocks first_ .. first_ + count_ - 1
  size_t count_ = 0;
  std::unique_ptr<BlockBits[]> masks_;
};

constexpr Field kLt = &BlockBits::lt;
constexpr Field kGt = &BlockBits::gt;
constexpr Field kDq = &BlockBits::dq;
constexpr Field kSq = &BlockBits::sq;

struct TagClose {
  bool found;
  size_t end;
  TagKind kind;
};

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

IndexError unclosed(size_t g) { return {IndexError::Kind::UnclosedTag, g}; }

}  // namespace

IndexResult build_bitmap_index(const char* data, size_t len) {
  const auto* d = reinterpret_cast<const uint8_t*>(data);
  Bitmaps bm(d, len);
  StructuralIndex ix;
  reserve_for(ix, len);
  size_t p = 0;
  size_t b = 0;  // end of the previous construct or declaration
  while (p < len) {
    bm.cover(p);
    const size_t g = bm.next<kLt, '<'>(p);
    if (g == npos) break;
    const size_t text_start = b == 0 ? 0 : b + 1;
    if (text_start < g) add_text(ix, len, text_start, g);
    if (g + 1 >= len) break;  // a '<' in the last byte is dropped

    size_t end;
    const uint8_t next = d[g + 1];
    if (next == '!') {
      if (g + 4 <= len && d[g + 2] == '-' && d[g + 3] == '-') {
        const size_t r = find_comment_close(d, len, g + 4);
        if (r != npos) {
          end = r + 2;
        } else {
          end = g + 6 >= len ? g + 4 : len - 2;
          add_construct(ix, len, g, end, TagKind::Comment);
          if (end >= len) break;
          b = end;
          p = b + 1;
          continue;
        }
        add_construct(ix, len, g, end, TagKind::Comment);
      } else if (g + 9 <= len && std::memcmp(d + g + 2, "[CDATA[", 7) == 0) {
        const CdataClose close = find_cdata_close(d, len, g + 9);
        if (close.found) {
          if (g + 9 < close.at) add_text(ix, len, g + 9, close.at);
          end = close.at + 2;
        } else {
          end = close.at;
        }
        add_construct(ix, len, g, end, TagKind::CData);
      } else {
        const size_t r = bm.next<kGt, '>'>(g);
        if (r == npos) return fail(unclosed(g));
        b = r;
        p = b + 1;
        continue;
      }
    } else if (next == '/') {
      const size_t m = g + 2;
      if (m == len) return fail(unclosed(g));
      const size_t k = skip_until(d, len, m, kEndsEndName);
      if (k == len) return fail(unclosed(g));
      end = bm.next<kGt, '>'>(k);
      if (end == npos) return fail(unclosed(g));
      add_construct(ix, len, g, end, TagKind::End, m, k - m);
    } else if (next == '?') {
      const size_t m = g + 2;
      const size_t k = skip_until(d, len, m, kEndsPiName);
      end = k + 1 < len ? pi_end(d, len, k) : k;
      add_construct(ix, len, g, end, TagKind::ProcessingInstruction, m, k - m);
    } else {
      const size_t k = skip_until(d, len, g + 1, kEndsStartName);
      if (k == len) return fail(unclosed(g));
      const TagClose close = close_start_tag(bm, d, len, k);
      if (!close.found) return fail(unclosed(g));
      end = close.end;
      add_construct(ix, len, g, end, close.kind, g + 1, k - g - 1);
    }
    b = end;
    p = b + 1;
    if (p > len) return fail(IndexError{IndexError::Kind::Overrun, len});
  }
  return ix;
}

}  // namespace orvex::index
