#include "index/structural.h"

#include <algorithm>

#include "index/builds.h"
#include "simd/search.h"

namespace orvex::index {

std::string IndexError::text() const {
  if (kind == Kind::Overrun) return "unexpected end of document";
  return "Unclosed tag at byte " + std::to_string(offset);
}

bool prefers_bitmap_build(const char* data, size_t len) noexcept {
  const size_t head = std::min<size_t>(len, 4096);
  simd::ByteCounts n = simd::count_two(reinterpret_cast<const uint8_t*>(data), head, '<', '"');
  return double(n.b) / double(std::max<uint64_t>(n.a, 1)) > 5.0;
}

IndexResult build_structural_index(const char* data, size_t len) {
  if (prefers_bitmap_build(data, len)) return build_bitmap_index(data, len);
  return build_sequential_index(data, len);
}

}  // namespace orvex::index
