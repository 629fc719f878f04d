// The reference decoder against a plain, obviously-correct one written from
// the rules: the five predefined entities, decimal and hexadecimal character
// references with one optional '+', and (for attribute values) TAB, LF, CR and
// CR LF each turned into one space.
//
// Input: one selector byte (mode and base offset), then the text, which must
// be valid UTF-8 (decoding only ever sees slices of a checked document).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common.h"
#include "read/decode.h"

using namespace orvex;

namespace {

struct Expected {
  bool unchanged = false;
  std::string value;
  std::optional<ReadError> error;
};

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::optional<uint32_t> char_ref(std::string_view name) {
  // name starts with '#'
  std::string_view digits = name.substr(1);
  int radix = 10;
  if (!digits.empty() && digits[0] == 'x') { radix = 16; digits.remove_prefix(1); }
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (radix == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (radix == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    v = v * radix + d;
    if (v > 0xFFFFFFFFull) return std::nullopt;
  }
  if (v == 0 || (v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF) return std::nullopt;
  return static_cast<uint32_t>(v);
}

Expected reference(std::string_view s, uint64_t base, bool attr) {
  Expected r;
  bool needs = s.find('&') != std::string_view::npos;
  if (attr && s.find_first_of("\t\n\r") != std::string_view::npos) needs = true;
  if (!needs) { r.unchanged = true; return r; }
  for (size_t i = 0; i < s.size();) {
    char c = s[i];
    if (attr && (c == '\t' || c == '\n' || c == '\r')) {
      r.value += ' ';
      i += (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ? 2 : 1;
    } else if (c == '&') {
      size_t semi = s.find(';', i + 1);
      if (semi == std::string_view::npos) {
        r.error = ReadError::malformed(base + i, "unterminated entity reference");
        return r;
      }
      std::string_view name = s.substr(i + 1, semi - i - 1);
      if (name == "lt") r.value += '<';
      else if (name == "gt") r.value += '>';
      else if (name == "amp") r.value += '&';
      else if (name == "quot") r.value += '"';
      else if (name == "apos") r.value += '\'';
      else if (name.empty() || name[0] != '#') {
        r.error = ReadError{ReadError::Kind::UnknownEntity, base + i, std::string(name)};
        return r;
      } else if (auto cp = char_ref(name)) {
        append_utf8(r.value, *cp);
      } else {
        r.error = ReadError::malformed(base + i, "invalid character reference '&" + std::string(name) + ";'");
        return r;
      }
      i = semi + 1;
    } else {
      r.value += c;
      ++i;
    }
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool attr = data[0] & 1;
  const uint64_t base = data[0] >> 1;
  std::string_view s(reinterpret_cast<const char*>(data + 1), size - 1);
  if (!text::is_valid_utf8(s.data(), s.size())) return 0;

  const Expected want = reference(s, base, attr);
  auto got = read::decode(s, base, attr ? read::DecodeMode::Attribute : read::DecodeMode::Text);
  if (want.error) {
    FUZZ_CHECK(!got.ok());
    FUZZ_CHECK(got.error().kind == want.error->kind);
    FUZZ_CHECK(got.error().offset == want.error->offset);
    FUZZ_CHECK(got.error().message() == want.error->message());
    return 0;
  }
  FUZZ_CHECK(got.ok());
  FUZZ_CHECK(got.value().unchanged() == want.unchanged);
  if (!want.unchanged) {
    FUZZ_CHECK(got.value().decoded->sv() == want.value);
    FUZZ_CHECK(want.value.size() <= s.size());
  }

  // decode_range over a document holding the same bytes gives the same value.
  SourceHandle buf(SourceBuffer::copy_of(s.data(), s.size()));
  {
    auto ranged = read::decode_range(buf.get(), 0, s.size(),
                                     attr ? read::DecodeMode::Attribute : read::DecodeMode::Text);
    FUZZ_CHECK(ranged.ok());
    FUZZ_CHECK(ranged.value().sv() == (want.unchanged ? std::string(s) : want.value));
    FUZZ_CHECK(ranged.value().is_borrowed() == want.unchanged || s.empty());
  }
  FUZZ_CHECK(buf->holders() == 1);
  return 0;
}
