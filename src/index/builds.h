// The two builds of the structural index and the rule that picks one. The
// reader calls only build_structural_index(); tests and benchmarks call the
// builds directly to hold them against each other.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/structural.h"

namespace orvex::index {

// Jumps from one '<' to the next with a vector byte search.
IndexResult build_sequential_index(const char* data, size_t len);

// Classifies the document once into masks of '<', '>', '"' and '\'' and
// walks them. Quotes count only inside start and empty-element tags, as in
// the sequential build, whose index it gives on every well-formed document;
// it differs only on three kinds of malformed input (see bitmap.cpp).
IndexResult build_bitmap_index(const char* data, size_t len);

// True when the first 4096 bytes hold more than five '"' per '<'.
bool prefers_bitmap_build(const char* data, size_t len) noexcept;

}  // namespace orvex::index
