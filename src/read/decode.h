// Entity and character references in element text and attribute values.
//
// The common case costs only a scan: input that needs no change is reported as
// unchanged and the caller keeps a view into the document instead of a copy.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "errors.h"
#include "result.h"
#include "storage/shared_str.h"

namespace orvex::read {

enum class DecodeMode : uint8_t {
  Text,       // references only; tabs and line breaks stay as written
  Attribute,  // references, and TAB, LF, CR, CR LF each become one space
};

// `decoded` is empty when the input is its own value (no allocation was made).
struct Decoded {
  std::optional<SharedStr> decoded;
  bool unchanged() const noexcept { return !decoded.has_value(); }
};

// Decodes `bytes`, whose first byte lies at document offset `base`. Errors
// carry the offset of the '&' that starts the faulty reference.
Result<Decoded, ReadError> decode(std::string_view bytes, uint64_t base, DecodeMode mode);

// Decodes document bytes [start, end) of `buf` into a SharedStr: a view of
// them (borrowed: the caller keeps the document alive) when unchanged, else
// the owned decoded string.
Result<SharedStr, ReadError> decode_range(const SourceBuffer* buf, size_t start, size_t end, DecodeMode mode);

}  // namespace orvex::read
