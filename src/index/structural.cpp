#include "index/structural.h"

#include <algorithm>

#include "index/walk.h"
#include "simd/scan.h"

namespace orvex::index {

std::string IndexError::text() const {
  if (kind == Kind::Overrun) return "unexpected end of document";
  return "Unclosed tag at byte " + std::to_string(offset);
}

Build choose_build(const char* data, size_t len) noexcept {
  const size_t head = std::min<size_t>(len, 4096);
  const auto [lt, dq] = simd::count<'<', '"'>(reinterpret_cast<const uint8_t*>(data), head);
  return double(dq) / double(std::max<uint64_t>(lt, 1)) > 5.0 ? Build::Bitmap : Build::Sequential;
}

std::unique_ptr<ConstructSource> make_construct_source(const char* data, size_t len, Build build) {
  const auto* d = reinterpret_cast<const uint8_t*>(data);
  return build == Build::Bitmap ? make_bitmap_source(d, len) : make_sequential_source(d, len);
}

IndexResult build_structural_index(const char* data, size_t len, Build build, uint64_t* examined) {
  auto source = make_construct_source(data, len, build);
  StructuralIndex whole;
  whole.constructs.reserve(len / 128);
  whole.text.reserve(len / 256);
  auto r = source->next(whole, SIZE_MAX);
  if (examined != nullptr) *examined = source->bytes_examined();
  if (!r) return fail(r.error());
  return whole;
}

IndexResult build_structural_index(const char* data, size_t len) {
  return build_structural_index(data, len, choose_build(data, len));
}

}  // namespace orvex::index
