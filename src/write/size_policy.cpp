#include "write/size_policy.h"

#include <algorithm>

namespace orvex {

std::string SizeRefusal::message() const {
  switch (kind) {
    case Kind::TooManyElements:
      return "the tree has too many elements to write (shared nodes count once per place)";
    case Kind::TooLarge:
      return "the XML document would be too large to write (indent " + std::to_string(indent) + ")";
    case Kind::IndentTooLarge:
      return "indent " + std::to_string(indent) +
             " would need more bytes of indentation than this machine has memory";
    case Kind::ExceedsMemory:
      return "the XML document would be larger than this machine's memory";
    case Kind::NoHeadroom: break;
  }
  std::string limit;
  switch (headroom.limit) {
    case MemoryLimit::AddressSpace: limit = "the address-space limit (RLIMIT_AS) leaves"; break;
    case MemoryLimit::DataSegment: limit = "the data-segment limit (RLIMIT_DATA) leaves"; break;
    case MemoryLimit::Cgroup: limit = "the memory limit of the cgroup " + headroom.cgroup + " leaves"; break;
    case MemoryLimit::Available:
    case MemoryLimit::None: limit = "this machine has available"; break;
  }
  return std::string(what) + " needs " + std::to_string(need) + " bytes of memory at once, more than " + limit +
         " (" + std::to_string(headroom.bytes) + " bytes)";
}

uint64_t max_elements() noexcept { return physical_memory() / 2 / sizeof(Node); }

std::optional<SizeRefusal> check_headroom(uint64_t need, const char* what) {
  Headroom h = memory_headroom();
  if (need <= h.bytes) return std::nullopt;
  SizeRefusal r;
  r.kind = SizeRefusal::Kind::NoHeadroom;
  r.need = need;
  r.headroom = std::move(h);
  r.what = what;
  return r;
}

namespace {

// The document's least size, or why it must not be written.
Result<uint64_t, SizeRefusal> measured(const NodeRecord& root, const WriteOptions& options, bool in_memory) {
  const DocumentMeasure m = measure_document(root, options, max_elements());
  SizeRefusal r;
  r.indent = options.indent;
  if (m.too_many_elements) {
    r.kind = SizeRefusal::Kind::TooManyElements;
    return fail(std::move(r));
  }
  auto checked = check_output_size(m, physical_memory(), in_memory);
  if (checked.ok()) return checked.value();
  switch (checked.error()) {
    case SizeProblem::TooLarge: r.kind = SizeRefusal::Kind::TooLarge; break;
    case SizeProblem::IndentTooLarge: r.kind = SizeRefusal::Kind::IndentTooLarge; break;
    case SizeProblem::ExceedsMemory: r.kind = SizeRefusal::Kind::ExceedsMemory; break;
  }
  return fail(std::move(r));
}

// Every document that the size rules would refuse outgrows this budget:
// each element but the root takes a line feed and at least three bytes of
// tags, and a document above the machine's memory is refused. Below it the
// memory limits are not asked (reading them costs more than writing a small
// document): the call then needs at most about twice the budget, and an
// allocation refused under a tight limit is a MemoryError as well.
size_t uncounted_budget() noexcept {
  constexpr uint64_t kUncounted = uint64_t{64} << 20;
  uint64_t b = std::min(kUncounted, physical_memory());
  uint64_t per_elements;
  if (!__builtin_mul_overflow(max_elements(), uint64_t{4}, &per_elements)) b = std::min(b, per_elements);
  return static_cast<size_t>(b);
}

}  // namespace

void StringSizeCheck::arm(MemorySink& sink) noexcept { sink.set_budget(uncounted_budget(), &StringSizeCheck::run, this); }

bool StringSizeCheck::run(void* ctx, uint64_t* size) {
  auto* self = static_cast<StringSizeCheck*>(ctx);
  self->counted_ = true;
  auto least = measured(self->root_, self->options_, /*in_memory=*/true);
  if (!least.ok()) {
    self->refusal_ = std::move(least.error());
    return false;
  }
  // Whatever its characters, the output and a str of at least one byte
  // per character exist at once (the least the call can need).
  self->refusal_ = check_headroom(write_string_peak(least.value(), 0));
  if (self->refusal_) return false;
  *size = least.value();
  return true;
}

bool StringSizeCheck::allows_str(uint64_t output, uint64_t length, uint8_t widest) {
  // The first check counted a str of one byte per byte of output.
  const uint64_t str = str_allocation(length, widest);
  if (!counted_ || str <= str_allocation(output, 0)) return true;
  refusal_ = check_headroom(str);
  return !refusal_;
}

std::optional<SizeRefusal> check_file_size(const NodeRecord& root, const WriteOptions& options) {
  auto least = measured(root, options, /*in_memory=*/false);
  if (least.ok()) return std::nullopt;
  return std::move(least.error());
}

}  // namespace orvex
