#include "read/scanner.h"

#include <array>
#include <string>

#include "index/char_class.h"
#include "simd/scan.h"
#include "read/decode.h"
#include "read/whitespace.h"

namespace orvex::read {

namespace {

using index::TagKind;

// One pass over a value from `from`: where its closing quote is (npos when
// there is none), the first '<' before it, and whether decoding has work.
struct ValueScan {
  size_t close = simd::npos;
  size_t first_lt = simd::npos;
  bool decodes = false;
};
inline ValueScan scan_value(const char* r, size_t n, size_t from, char quote) noexcept {
  using V = simd::Vec;
  ValueScan v;
  // At a byte of InValue: true when it is the closing quote.
  const auto stop = [&](size_t at) {
    if (r[at] == quote) {
      v.close = at;
      return true;
    }
    if (r[at] == '<') {
      if (v.first_lt == simd::npos) v.first_lt = at;
    } else if (ValueDecodes::contains(r[at])) {
      v.decodes = true;
    }
    return false;
  };
  size_t j = from;
  // Long values (path data, URLs) 16 bytes at a time; short ones byte by byte.
  for (; n - j >= 16; j += 16) {
    for (uint32_t m = InValue::match(V::load(reinterpret_cast<const uint8_t*>(r + j))).bits(); m != 0; m &= m - 1)
      if (stop(j + static_cast<size_t>(__builtin_ctz(m)))) return v;
  }
  for (; j < n; ++j)
    if (InValue::contains(r[j]) && stop(j)) return v;
  return v;
}

Failure<ReadError> malformed(uint64_t offset, std::string message) {
  return fail(ReadError::malformed(offset, std::move(message)));
}

std::string quoted(const char* before, std::string_view name, const char* after) {
  std::string s(before);
  s.append(name);
  s.append(after);
  return s;
}

}  // namespace

void KeyHashCache::next_generation() noexcept {
  if (++gen_ == 0) {  // after 2^32 generations a number would recur
    for (Slot& s : slots_) s = Slot{};
    gen_ = 1;
  }
}

uint64_t KeyHashCache::miss(std::string_view name, Slot& s) noexcept {
  const uint64_t h = hash_key_bytes(key_, name);
  if (!name.empty() && name.size() <= kMaxName) {  // longer names are hashed every time
    std::memcpy(s.bytes, name.data(), name.size());
    s.hash = h;
    s.len = static_cast<uint32_t>(name.size());
    s.gen = gen_;
  }
  return h;
}

Result<Unit, ReadError> Scanner::scan_attributes(Span region, AttrMap& attrs, MapKey key, BlockArena* arena) const {
  const char* r = data_ + region.start;
  const uint64_t r0 = region.start;
  const size_t n = static_cast<size_t>(region.size());
  // Every attribute needs an '=': sizing the table for that many spares the
  // rehashes of a growing map on attribute-heavy tags.
  if (n >= 4) {
    const size_t eq = simd::count<'='>(reinterpret_cast<const uint8_t*>(r), n)[0];
    attrs.reserve(eq < 64 ? eq : 64, key, arena);
  }
  size_t i = 0;
  size_t prev_end = 0;  // just past the previous attribute's closing quote
  for (;;) {
    while (i < n && has_class(r[i], kMarkupSpace)) ++i;
    if (i == n) return Unit{};
    if (i == prev_end) return malformed(r0 + prev_end, "expected whitespace before attribute");

    const size_t name_start = i;
    while (i < n && !has_class(r[i], kEndsAttrName)) ++i;
    if (i == name_start) return malformed(r0 + i, "expected attribute name");
    const std::string_view name(r + name_start, i - name_start);

    while (i < n && has_class(r[i], kMarkupSpace)) ++i;
    if (i == n || r[i] != '=')
      return malformed(r0 + name_start, quoted("attribute '", name, "' has no value"));
    ++i;
    while (i < n && has_class(r[i], kMarkupSpace)) ++i;
    const size_t q = i;
    if (q == n || (r[q] != '"' && r[q] != '\''))
      return malformed(r0 + q, quoted("value of attribute '", name, "' is not quoted"));

    const ValueScan scanned = scan_value(r, n, q + 1, r[q]);
    if (scanned.close == simd::npos) return malformed(r0 + q + 1, "unterminated attribute value");
    if (scanned.first_lt != simd::npos)
      return malformed(r0 + scanned.first_lt, "'<' is not allowed in attribute values");

    const uint64_t value_start = r0 + q + 1;
    const uint64_t value_end = r0 + scanned.close;
    // Without '&', TAB, LF or CR the value is its own decoding: a view.
    SharedStr value;
    if (scanned.decodes) [[unlikely]] {
      auto decoded = decode_range(doc_, value_start, value_end, DecodeMode::Attribute);
      if (!decoded) return fail(std::move(decoded).error());
      value = std::move(decoded).value();
    } else {
      value = SharedStr::borrowed_view(doc_, value_start, value_end);
    }
    // Checked after decoding, so a faulty value of a repeated attribute is
    // reported as the value's fault. A rejected element is discarded whole,
    // so the replaced value does not matter.
    if (!attrs.insert_hashed(key_hashes_.hash(key, name),
                             SharedStr::borrowed_view(doc_, r0 + name_start, r0 + name_start + name.size()),
                             std::move(value)))
      return malformed(r0 + name_start, quoted("duplicate attribute '", name, "'"));

    prev_end = scanned.close + 1;
    i = prev_end;
  }
}

Result<std::string_view, ReadError> Scanner::check_end_tag_tail(const index::Construct& c) const {
  const std::string_view name = name_of(c);
  const uint64_t tail = c.start + 2 + name.size();
  if (!all_unicode_space(bytes(tail, c.end))) return malformed(c.start, quoted("malformed end tag </", name, ">"));
  return name;
}

Failure<ReadError> Scanner::no_element_name(const index::Construct& c) const {
  return malformed(c.start, "expected element name after '<'");
}

Failure<ReadError> Scanner::unterminated_markup(const index::Construct& c) const {
  return malformed(c.start, "unterminated markup");
}

Result<Unit, ReadError> Scanner::check_comment(const index::Construct& c) const {
  const uint64_t s = c.start, e = c.end;
  if (e < len_ && e >= s + 6 && data_[e] == '>' && data_[e - 1] == '-' && data_[e - 2] == '-')
    return Unit{};
  return malformed(s, "unterminated comment");
}

Result<Span, ReadError> Scanner::check_cdata(const index::Construct& c) const {
  const uint64_t s = c.start, e = c.end;
  if (e < len_ && e >= 2 && data_[e] == '>' && data_[e - 1] == ']' && data_[e - 2] == ']') {
    uint64_t content_start = s + 9;
    uint64_t content_end = e - 2 < content_start ? content_start : e - 2;
    return Span{content_start, content_end};
  }
  return malformed(s, "unterminated CDATA section");
}

Result<Unit, ReadError> Scanner::check_processing_instruction(const index::Construct& c) const {
  const uint64_t s = c.start, e = c.end;
  if (e < len_ && e >= 1 && data_[e - 1] == '?' && data_[e] == '>') return Unit{};
  return malformed(s, "unterminated processing instruction");
}

}  // namespace orvex::read
