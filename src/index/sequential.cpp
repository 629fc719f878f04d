// The sequential build: from each construct's end, a vector search for the
// next '<', then a dispatch on the byte after it. Quotes matter only inside
// start and empty-element tags, where they hide '>' and "/>".
#include <cstring>

#include "index/builds.h"
#include "index/scan_util.h"
#include "simd/search.h"

namespace orvex::index {

using namespace detail;

namespace {

// Where a start or empty-element tag ends, scanning its attributes from c.
struct TagClose {
  bool found;
  size_t end;
  TagKind kind;
};

TagClose close_start_tag(const uint8_t* d, size_t len, size_t c) noexcept {
  while (c < len) {
    const uint8_t ch = d[c];
    if (!(kByteClass[ch] & kInTagSpecial)) {
      ++c;
    } else if (ch == '>') {
      return {true, c, TagKind::Start};
    } else if (ch == '/') {
      if (c + 1 < len && d[c + 1] == '>') return {true, c + 1, TagKind::Empty};
      ++c;
    } else {
      // An unmatched quote skips itself and the byte after it.
      size_t r = simd::find_byte_with<simd::Vec>(d, len, c + 1, ch);
      c = r == simd::npos ? c + 2 : r + 1;
    }
  }
  return {false, 0, TagKind::Start};
}

IndexError unclosed(size_t g) { return {IndexError::Kind::UnclosedTag, g}; }

}  // namespace

IndexResult build_sequential_index(const char* data, size_t len) {
  const auto* d = reinterpret_cast<const uint8_t*>(data);
  StructuralIndex ix;
  reserve_for(ix, len);
  size_t p = 0;
  size_t b = 0;  // end of the previous construct or declaration
  while (p < len) {
    const size_t g = simd::find_byte_with<simd::Vec>(d, len, p, '<');
    if (g == simd::npos) break;
    const size_t text_start = b == 0 ? 0 : b + 1;
    if (text_start < g) add_text(ix, len, text_start, g);
    if (g + 1 >= len) return fail(unclosed(g));

    size_t end;
    const uint8_t next = d[g + 1];
    if (next == '!') {
      if (g + 4 <= len && d[g + 2] == '-' && d[g + 3] == '-') {
        size_t r = find_comment_close(d, len, g + 4);
        end = r == simd::npos ? len : r + 2;
        add_construct(ix, len, g, end, TagKind::Comment);
      } else if (g + 9 <= len && std::memcmp(d + g + 2, "[CDATA[", 7) == 0) {
        CdataClose close = find_cdata_close(d, len, g + 9);
        if (close.found) {
          if (g + 9 < close.at) add_text(ix, len, g + 9, close.at);
          end = close.at + 2;
        } else {
          end = close.at;
        }
        add_construct(ix, len, g, end, TagKind::CData);
      } else {
        // A declaration (<!DOCTYPE ...> and the like): skipped, no construct.
        size_t r = simd::find_byte_with<simd::Vec>(d, len, g, '>');
        b = r == simd::npos ? g : r;
        p = b + 1;
        continue;
      }
    } else if (next == '/') {
      const size_t m = g + 2;
      if (m == len) return fail(unclosed(g));
      const size_t k = skip_until(d, len, m, kEndsEndName);
      if (k == len) return fail(unclosed(g));
      end = simd::find_byte_with<simd::Vec>(d, len, k, '>');
      if (end == simd::npos) return fail(unclosed(g));
      add_construct(ix, len, g, end, TagKind::End, m, k - m);
    } else if (next == '?') {
      const size_t m = g + 2;
      const size_t k = skip_until(d, len, m, kEndsPiName);
      end = k + 1 < len ? pi_end(d, len, k) : k;
      add_construct(ix, len, g, end, TagKind::ProcessingInstruction, m, k - m);
    } else {
      const size_t k = skip_until(d, len, g + 1, kEndsStartName);
      if (k == len) return fail(unclosed(g));
      TagClose close = close_start_tag(d, len, k);
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
