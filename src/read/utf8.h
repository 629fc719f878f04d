// UTF-8 validation of file contents (strings from the interpreter are valid
// already). Rejects overlong forms, surrogates and values above U+10FFFF.
#pragma once

#include <cstddef>

namespace orvex::read {

bool is_valid_utf8(const char* data, size_t len) noexcept;

}  // namespace orvex::read
