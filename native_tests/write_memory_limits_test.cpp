// The memory headroom of a process, computed from /proc and cgroup files
// given as text: the tightest of available memory, RLIMIT_AS, RLIMIT_DATA
// and the memory.max of the process's cgroup and of every cgroup above it.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "write/memory_limits.h"

namespace orvex {
namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

TEST(MemoryLimits, Parsers) {
  const std::string meminfo = "MemTotal:       24683752 kB\nMemFree: 1 kB\nMemAvailable:   2048 kB\n";
  EXPECT_EQ(kib_field(meminfo, "MemAvailable"), 2048u * 1024);
  EXPECT_EQ(kib_field(meminfo, "MemTotal"), 24683752ull * 1024);
  EXPECT_FALSE(kib_field(meminfo, "Mem").has_value());
  EXPECT_FALSE(kib_field(meminfo, "SwapTotal").has_value());

  const std::string stat = "anon 100\nfile 50\nactive_file 20\ninactive_file 30\n";
  EXPECT_EQ(number_field(stat, "inactive_file"), 30u);
  EXPECT_EQ(number_field(stat, "file"), 50u);
  EXPECT_FALSE(number_field(stat, "shmem").has_value());

  EXPECT_EQ(cgroup2_path("12:memory:/v1/path\n0::/user.slice/app.scope\n"), "/user.slice/app.scope");
  EXPECT_FALSE(cgroup2_path("4:memory:/only/v1\n").has_value());

  const auto mount = cgroup2_mount(
      "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw\n"
      "41 31 0:38 /ns /sys/fs/cgroup/my\\040unified rw,relatime shared:9 - cgroup2 cgroup2 rw\n");
  ASSERT_TRUE(mount.has_value());
  EXPECT_EQ(mount->root, "/ns");
  EXPECT_EQ(mount->mount_point, "/sys/fs/cgroup/my unified");
  EXPECT_FALSE(cgroup2_mount("35 31 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n").has_value());

  // memory.max less what is used, the inactive page cache counting as free.
  EXPECT_FALSE(cgroup_left("max\n", "100\n", "").has_value());
  EXPECT_EQ(cgroup_left("1000\n", "400\n", "inactive_file 100\n"), 700u);
  EXPECT_EQ(cgroup_left("1000\n", "1500\n", "inactive_file 100\n"), 0u);
  EXPECT_EQ(cgroup_left("1000\n", "50\n", "inactive_file 100\n"), 1000u);
}

// A process in /a/b/c of a cgroup2 hierarchy mounted at /cg.
struct FakeFiles {
  std::map<std::string, std::string> files = {
      {"/proc/meminfo", "MemAvailable: 8388608 kB\n"},  // 8 GiB
      {"/proc/self/status", "VmSize:  102400 kB\nVmData:   51200 kB\n"},
      {"/proc/self/cgroup", "0::/a/b/c\n"},
      {"/proc/self/mountinfo", "41 31 0:38 / /cg rw - cgroup2 cgroup2 rw\n"},
  };
  void cgroup(const std::string& dir, const std::string& max, uint64_t current) {
    files[dir + "/memory.max"] = max + "\n";
    files[dir + "/memory.current"] = std::to_string(current) + "\n";
  }
  ReadText reader() const {
    return [this](const std::string& path) -> std::optional<std::string> {
      auto it = files.find(path);
      if (it == files.end()) return std::nullopt;
      return it->second;
    };
  }
};

TEST(MemoryLimits, TheTightestLimitWins) {
  FakeFiles fs;
  Headroom h = memory_headroom(fs.reader(), {});
  EXPECT_EQ(h.bytes, 8192 * kMiB);
  EXPECT_EQ(h.limit, MemoryLimit::Available);

  // Physical memory stands in when it is less than MemAvailable claims (or
  // when MemAvailable is missing).
  EXPECT_EQ(memory_headroom(fs.reader(), {4096 * kMiB}).bytes, 4096 * kMiB);
  fs.files.erase("/proc/meminfo");
  EXPECT_EQ(memory_headroom(fs.reader(), {}).limit, MemoryLimit::None);
  EXPECT_EQ(memory_headroom(fs.reader(), {4096 * kMiB}).bytes, 4096 * kMiB);

  // Address space and data segment: the limit less what is in use.
  h = memory_headroom(fs.reader(), {UINT64_MAX, 1024 * kMiB, UINT64_MAX});
  EXPECT_EQ(h.limit, MemoryLimit::AddressSpace);
  EXPECT_EQ(h.bytes, 924 * kMiB);
  h = memory_headroom(fs.reader(), {UINT64_MAX, 1024 * kMiB, 512 * kMiB});
  EXPECT_EQ(h.limit, MemoryLimit::DataSegment);
  EXPECT_EQ(h.bytes, 462 * kMiB);
  h = memory_headroom(fs.reader(), {UINT64_MAX, 64 * kMiB, UINT64_MAX});
  EXPECT_EQ(h.bytes, 0u);  // already beyond the limit
}

TEST(MemoryLimits, EveryCgroupAboveTheProcessLimitsIt) {
  FakeFiles fs;
  fs.cgroup("/cg/a/b/c", "max", 100 * kMiB);
  fs.cgroup("/cg/a/b", std::to_string(2048 * kMiB), 1000 * kMiB);
  fs.cgroup("/cg/a", std::to_string(4096 * kMiB), 3500 * kMiB);
  Headroom h = memory_headroom(fs.reader(), {});
  EXPECT_EQ(h.limit, MemoryLimit::Cgroup);
  EXPECT_EQ(h.cgroup, "/cg/a");
  EXPECT_EQ(h.bytes, 596 * kMiB);

  fs.cgroup("/cg/a/b/c", std::to_string(300 * kMiB), 100 * kMiB);
  h = memory_headroom(fs.reader(), {});
  EXPECT_EQ(h.cgroup, "/cg/a/b/c");
  EXPECT_EQ(h.bytes, 200 * kMiB);

  // Mounted with a root of its own (a cgroup namespace): paths below it.
  fs.files["/proc/self/mountinfo"] = "41 31 0:38 /a /cg rw - cgroup2 cgroup2 rw\n";
  fs.files["/proc/self/cgroup"] = "0::/a/b\n";
  fs.cgroup("/cg/b", std::to_string(10 * kMiB), kMiB);
  h = memory_headroom(fs.reader(), {});
  EXPECT_EQ(h.cgroup, "/cg/b");
  EXPECT_EQ(h.bytes, 9 * kMiB);
  fs.files["/proc/self/cgroup"] = "0::/elsewhere\n";  // outside the mount: unknown
  EXPECT_EQ(memory_headroom(fs.reader(), {}).limit, MemoryLimit::Available);
}

TEST(MemoryLimits, PeakOfWriteString) {
  EXPECT_EQ(write_string_peak(1000, 0), 1000 + 1000 + str_allocation(0, 0));
  EXPECT_EQ(str_allocation(1000, 1), str_allocation(1000, 0));
  EXPECT_EQ(str_allocation(1000, 2) - str_allocation(0, 2), 2000u);
  EXPECT_EQ(str_allocation(1000, 3) - str_allocation(0, 3), 4000u);
  EXPECT_EQ(write_string_peak(UINT64_MAX / 3, 3), UINT64_MAX);
}

}  // namespace
}  // namespace orvex
