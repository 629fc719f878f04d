// How much more memory this process may take, under every limit in force:
// the machine's available memory, the address-space and data-segment
// limits (RLIMIT_AS, RLIMIT_DATA), and the memory.max of the process's
// cgroup (v2) and of each cgroup above it. write_string asks before it
// builds a large document, so that a document it cannot hold is refused
// with MemoryError instead of ending in an out-of-memory kill.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace orvex {

enum class MemoryLimit : uint8_t {
  None,          // nothing limits (or nothing could be read)
  Available,     // the machine's available memory (MemAvailable)
  AddressSpace,  // RLIMIT_AS, less the address space in use
  DataSegment,   // RLIMIT_DATA, less the data segment in use
  Cgroup,        // a cgroup's memory.max, less what its members use
};

// The tightest limit: what it leaves, and which it is.
struct Headroom {
  uint64_t bytes = UINT64_MAX;
  MemoryLimit limit = MemoryLimit::None;
  std::string cgroup;  // the cgroup's directory, for MemoryLimit::Cgroup

  void consider(uint64_t left, MemoryLimit which, std::string_view group = {});
};

// The machine's memory (what stands in when MemAvailable cannot be read)
// and the soft limits of the process (UINT64_MAX for none).
struct ProcessLimits {
  uint64_t physical = UINT64_MAX;
  uint64_t address_space = UINT64_MAX;
  uint64_t data = UINT64_MAX;
};

// Reads a small text file whole (from /proc or a cgroup directory);
// nullopt when it does not exist or cannot be read.
using ReadText = std::function<std::optional<std::string>(const std::string& path)>;

// The headroom given the files as `read` sees them.
Headroom memory_headroom(const ReadText& read, const ProcessLimits& limits);
// This process's headroom now.
Headroom memory_headroom();
// The machine's physical memory in bytes (UINT64_MAX when unknown), asked
// once per process.
uint64_t physical_memory() noexcept;

// What write_string must be granted at once for `output` bytes of UTF-8
// whose widest character class is `widest` (0 ASCII ... 3 beyond U+FFFF,
// see widest_class): the output buffer and the str made from it, which is
// allocated for one character per byte at 1, 1, 2 or 4 bytes each. Both
// exist together while the one is decoded into the other. Saturates.
uint64_t write_string_peak(uint64_t output, uint8_t widest) noexcept;
// The same for the str alone, once the output already exists.
uint64_t str_allocation(uint64_t output, uint8_t widest) noexcept;

// The parsers, for the tests.
// "Key:   123 kB" lines (/proc/meminfo, /proc/self/status): the value in bytes.
std::optional<uint64_t> kib_field(std::string_view text, std::string_view key);
// "key 123" lines (memory.stat).
std::optional<uint64_t> number_field(std::string_view text, std::string_view key);
// The cgroup v2 path of /proc/self/cgroup ("0::/path").
std::optional<std::string> cgroup2_path(std::string_view proc_cgroup);
// Where the cgroup v2 hierarchy is mounted (from /proc/self/mountinfo): the
// directory of the hierarchy's `root` cgroup.
struct Cgroup2Mount {
  std::string root;
  std::string mount_point;
};
std::optional<Cgroup2Mount> cgroup2_mount(std::string_view mountinfo);
// What one cgroup leaves: memory.max less memory.current, where the
// inactive page cache (memory.stat inactive_file) counts as free, since the
// kernel reclaims it before it runs out. nullopt when it has no limit.
std::optional<uint64_t> cgroup_left(std::string_view max, std::string_view current, std::string_view stat);

}  // namespace orvex
