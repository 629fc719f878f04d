#include "write/writer.h"

#include <limits>

namespace orvex {

template bool write_document<MemorySink>(MemorySink&, const NodeRecord&, const WriteOptions&);
template bool write_document<CountingSink>(CountingSink&, const NodeRecord&, const WriteOptions&);

DocumentMeasure measure_document(const NodeRecord& root, const WriteOptions& options, uint64_t max_elements) {
  // Running out of memory on the walk (its stack of open elements) is a
  // MemoryError, not a verdict on the document's size.
  CountingSink count(max_elements);
  (void)write_document(count, root, options);
  DocumentMeasure m;
  m.bytes = count.bytes();
  m.spaces = count.spaces();
  m.saturated = count.saturated();
  m.too_many_elements = count.too_many_elements();
  return m;
}

Result<uint64_t, SizeProblem> check_output_size(const DocumentMeasure& m, uint64_t memory, bool in_memory) noexcept {
  constexpr uint64_t kMaxSize = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  uint64_t total;
  if (m.saturated || __builtin_add_overflow(m.bytes, m.spaces, &total) || total > kMaxSize)
    return fail(SizeProblem::TooLarge);
  if (m.spaces > memory) return fail(SizeProblem::IndentTooLarge);
  if (in_memory && total > memory) return fail(SizeProblem::ExceedsMemory);
  return total;
}

}  // namespace orvex
