#include "read/decode.h"

#include <memory>
#include <string>

#include "index/char_class.h"
#include "simd/scan.h"
#include "text/utf8.h"

namespace orvex::read {

namespace {

// A character reference's number: an optional '+' then digits of the radix,
// fitting in 32 bits. Leading zeros are fine. nullopt when invalid.
std::optional<uint32_t> parse_number(std::string_view s, uint32_t radix) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    uint32_t d;
    if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0');
    else if (radix == 16 && c >= 'a' && c <= 'f') d = static_cast<uint32_t>(c - 'a' + 10);
    else if (radix == 16 && c >= 'A' && c <= 'F') d = static_cast<uint32_t>(c - 'A' + 10);
    else return std::nullopt;
    v = v * radix + d;
    if (v > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

// The character for the reference name between '&' and ';'. Writes it at
// `out` and returns its length, or the error for the reference at `amp`.
Result<size_t, ReadError> resolve(std::string_view name, uint64_t amp, char* out) {
  char c = 0;
  if (name == "lt") c = '<';
  else if (name == "gt") c = '>';
  else if (name == "amp") c = '&';
  else if (name == "quot") c = '"';
  else if (name == "apos") c = '\'';
  if (c) {
    *out = c;
    return size_t{1};
  }
  if (name.empty() || name.front() != '#')
    return fail(ReadError{ReadError::Kind::UnknownEntity, amp, std::string(name)});

  std::string_view digits = name.substr(1);
  uint32_t radix = 10;
  if (!digits.empty() && digits.front() == 'x') {
    digits.remove_prefix(1);
    radix = 16;
  }
  std::optional<uint32_t> v = parse_number(digits, radix);
  if (!v || *v == 0 || (*v >= 0xD800 && *v <= 0xDFFF) || *v > 0x10FFFF)
    return fail(ReadError::malformed(amp, "invalid character reference '&" + std::string(name) + ";'"));
  return text::encode_code_point(out, *v);
}

// The first byte in [p, end) that may make decoding change the input: '&',
// and in attribute values TAB, LF and CR; nullptr when there is none.
const char* first_change(const char* p, const char* end, DecodeMode mode) noexcept {
  return mode == DecodeMode::Attribute ? simd::find_member<ValueDecodes>(p, end) : simd::find_byte(p, end, '&');
}

// The slow path, entered at `first`: the first byte that may need a change.
// The output never outgrows the input (every reference is longer than the
// character it yields), so one allocation of the input's size suffices.
Result<Decoded, ReadError> decode_from(std::string_view in, const char* first, uint64_t base,
                                       DecodeMode mode) {
  const char* p = in.data();
  const char* end = p + in.size();
  std::unique_ptr<char[]> buf(new char[in.size()]);
  char* out = buf.get();
  const char* run = p;  // start of the bytes not yet copied
  const char* at = first;
  while (at) {
    std::memcpy(out, run, static_cast<size_t>(at - run));
    out += at - run;
    if (*at == '&') {
      const char* semi = simd::find_byte(at + 1, end, ';');
      uint64_t amp = base + static_cast<uint64_t>(at - p);
      if (!semi) return fail(ReadError::malformed(amp, "unterminated entity reference"));
      auto r = resolve(std::string_view(at + 1, static_cast<size_t>(semi - at - 1)), amp, out);
      if (!r) return fail(std::move(r).error());
      out += r.value();
      run = semi + 1;
    } else {
      // TAB, LF or CR in an attribute value: one space; CR LF counts as one.
      *out++ = ' ';
      run = at + 1;
      if (*at == '\r' && run < end && *run == '\n') ++run;
    }
    at = first_change(run, end, mode);
  }
  std::memcpy(out, run, static_cast<size_t>(end - run));
  out += end - run;
  size_t len = static_cast<size_t>(out - buf.get());
  return Decoded{SharedStr::adopt(buf.release(), len)};
}

}  // namespace

Result<Decoded, ReadError> decode(std::string_view bytes, uint64_t base, DecodeMode mode) {
  const char* p = bytes.data();
  const char* end = p + bytes.size();
  const char* first = first_change(p, end, mode);
  if (!first) return Decoded{};
  return decode_from(bytes, first, base, mode);
}

Result<SharedStr, ReadError> decode_range(const SourceBuffer* buf, size_t start, size_t end, DecodeMode mode) {
  auto r = decode(std::string_view(buf->data() + start, end - start), start, mode);
  if (!r) return fail(std::move(r).error());
  if (r->unchanged()) return SharedStr::borrowed_view(buf, start, end);
  return std::move(*r->decoded);
}

}  // namespace orvex::read
