#include "read/scanner.h"

#include <array>
#include <string>

#include "read/byte_search.h"
#include "read/decode.h"
#include "read/whitespace.h"

namespace orvex::read {

namespace {

using index::TagKind;

// Bytes that end an attribute name: attribute whitespace, quotes and '='.
// Everything else, '<', '>', '/', '&' and non-ASCII bytes included, may appear.
constexpr std::array<bool, 256> make_name_ends() {
  std::array<bool, 256> t{};
  for (unsigned char c : {' ', '\t', '\n', '\r', '\f', '"', '\'', '='}) t[c] = true;
  return t;
}
constexpr std::array<bool, 256> kEndsAttrName = make_name_ends();
inline bool ends_attr_name(char c) noexcept { return kEndsAttrName[static_cast<uint8_t>(c)]; }


// Bytes an attribute value's scan must look at: both quotes (one of them
// closes the value), '<' (not allowed) and the bytes that make attribute
// decoding change the value ('&', TAB, LF, CR).
enum : uint8_t { kQuote = 1, kLt = 2, kDecodes = 4 };
constexpr std::array<uint8_t, 256> make_value_classes() {
  std::array<uint8_t, 256> t{};
  t['"'] = t['\''] = kQuote;
  t['<'] = kLt;
  t['&'] = t['\t'] = t['\n'] = t['\r'] = kDecodes;
  return t;
}
constexpr std::array<uint8_t, 256> kValueClass = make_value_classes();

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
  size_t j = from;
  // Long values (path data, URLs) 16 bytes at a time; short ones byte by byte.
  while (n - j >= 16) {
    const V b = V::load(reinterpret_cast<const uint8_t*>(r + j));
    uint32_t m = (b.eq(static_cast<uint8_t>(quote)) | b.eq('<') | b.eq('&') | b.eq('\t') | b.eq('\n') |
                  b.eq('\r')).bits();
    for (; m != 0; m &= m - 1) {
      const size_t at = j + static_cast<size_t>(__builtin_ctz(m));
      if (r[at] == quote) {
        v.close = at;
        return v;
      }
      if (r[at] == '<') {
        if (v.first_lt == simd::npos) v.first_lt = at;
      } else {
        v.decodes = true;
      }
    }
    j += 16;
  }
  for (; j < n; ++j) {
    const uint8_t cls = kValueClass[static_cast<uint8_t>(r[j])];
    if (cls == 0) continue;
    if (r[j] == quote) {
      v.close = j;
      return v;
    }
    if (cls == kLt) {
      if (v.first_lt == simd::npos) v.first_lt = j;
    } else if (cls == kDecodes) {
      v.decodes = true;
    }
  }
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

Result<PlainElement, ReadError> Scanner::scan_start_tag(size_t i, MapKey map_key) const {
  auto nr = element_name(i);
  if (!nr) return fail(std::move(nr).error());
  PlainElement el(view(nr->name), AttrMap(map_key));
  el.source = hold();
  auto scanned = scan_attributes(nr->region, el.attrs);
  if (!scanned) return fail(std::move(scanned).error());
  return el;
}

Result<Unit, ReadError> Scanner::scan_attributes(Span region, AttrMap& attrs, BlockArena* arena) const {
  const char* r = data_ + region.start;
  const uint64_t r0 = region.start;
  const size_t n = static_cast<size_t>(region.size());
  // Every attribute needs an '=': sizing the table for that many spares the
  // rehashes of a growing map on attribute-heavy tags.
  if (n >= 4) {
    size_t eq = count_byte(r, r + n, '=');
    attrs.reserve(eq < 64 ? eq : 64, arena);
  }
  size_t i = 0;
  size_t prev_end = 0;  // just past the previous attribute's closing quote
  for (;;) {
    while (i < n && is_attr_space(r[i])) ++i;
    if (i == n) return Unit{};
    if (i == prev_end) return malformed(r0 + prev_end, "expected whitespace before attribute");

    const size_t name_start = i;
    while (i < n && !ends_attr_name(r[i])) ++i;
    if (i == name_start) return malformed(r0 + i, "expected attribute name");
    const std::string_view name(r + name_start, i - name_start);

    while (i < n && is_attr_space(r[i])) ++i;
    if (i == n || r[i] != '=')
      return malformed(r0 + name_start, quoted("attribute '", name, "' has no value"));
    ++i;
    while (i < n && is_attr_space(r[i])) ++i;
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
      auto decoded = decode_range(doc_, value_start, value_end, DecodeMode::Attribute, true);
      if (!decoded) return fail(std::move(decoded).error());
      value = std::move(decoded).value();
    } else {
      value = SharedStr::borrowed_view(doc_, value_start, value_end);
    }
    // Checked after decoding, so a faulty value of a repeated attribute is
    // reported as the value's fault. A rejected element is discarded whole,
    // so the replaced value does not matter.
    if (!attrs.insert_hashed(key_hashes_.hash(attrs.map_key(), name),
                             view({r0 + name_start, r0 + (name_start + name.size())}), std::move(value)))
      return malformed(r0 + name_start, quoted("duplicate attribute '", name, "'"));

    prev_end = scanned.close + 1;
    i = prev_end;
  }
}

Result<std::string_view, ReadError> Scanner::check_end_tag_tail(size_t i) const {
  const uint64_t start = idx_.tag_start[i];
  const std::string_view name = name_of(i);
  uint64_t tail = start + 2 + name.size();
  uint64_t end = idx_.tag_end[i];
  if (!all_unicode_space(bytes(tail, end))) return malformed(start, quoted("malformed end tag </", name, ">"));
  return name;
}

Failure<ReadError> Scanner::no_element_name(size_t i) const {
  return malformed(idx_.tag_start[i], "expected element name after '<'");
}

Failure<ReadError> Scanner::unterminated_markup(size_t i) const {
  return malformed(idx_.tag_start[i], "unterminated markup");
}

Result<Unit, ReadError> Scanner::check_comment(size_t i) const {
  const uint64_t s = idx_.tag_start[i], e = idx_.tag_end[i];
  if (e < len_ && e >= s + 6 && data_[e] == '>' && data_[e - 1] == '-' && data_[e - 2] == '-')
    return Unit{};
  return malformed(s, "unterminated comment");
}

Result<Span, ReadError> Scanner::check_cdata(size_t i) const {
  const uint64_t s = idx_.tag_start[i], e = idx_.tag_end[i];
  if (e < len_ && e >= 2 && data_[e] == '>' && data_[e - 1] == ']' && data_[e - 2] == ']') {
    uint64_t content_start = s + 9;
    uint64_t content_end = e - 2 < content_start ? content_start : e - 2;
    return Span{content_start, content_end};
  }
  return malformed(s, "unterminated CDATA section");
}

Result<Unit, ReadError> Scanner::check_processing_instruction(size_t i) const {
  const uint64_t s = idx_.tag_start[i], e = idx_.tag_end[i];
  if (e < len_ && e >= 1 && data_[e - 1] == '?' && data_[e] == '>') return Unit{};
  return malformed(s, "unterminated processing instruction");
}

Result<Unit, ReadError> Scanner::check_text(const index::TextRange& range) const {
  const char* b = data_ + range.start;
  if (const char* lt = find_byte(b, data_ + range.end, '<'))
    return malformed(static_cast<uint64_t>(lt - data_), "unexpected '<'");
  return Unit{};
}

}  // namespace orvex::read
