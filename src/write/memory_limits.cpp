#include "write/memory_limits.h"

#include "saturating.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <limits>
#include <vector>


namespace orvex {

void Headroom::consider(uint64_t left, MemoryLimit which, std::string_view group) {
  if (left >= bytes) return;
  bytes = left;
  limit = which;
  cgroup.assign(group);
}

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

// Calls `f` with each line (without its line feed) until it returns false.
template <class F>
void each_line(std::string_view text, F&& f) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (!f(line) || end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

std::optional<uint64_t> parse_number(std::string_view s) {
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end == s.data()) return std::nullopt;
  return v;
}

// Undoes mountinfo's octal escapes (a space is "\040").
std::string unescape(std::string_view s) {
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && octal(s[i + 1]) && octal(s[i + 2]) && octal(s[i + 3])) {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<std::string_view> split_spaces(std::string_view line) {
  std::vector<std::string_view> out;
  while (!line.empty()) {
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    const size_t end = line.find(' ');
    out.push_back(line.substr(0, end));
    if (end == std::string_view::npos) break;
    line.remove_prefix(end);
  }
  return out;
}

}  // namespace

std::optional<uint64_t> kib_field(std::string_view text, std::string_view key) {
  std::optional<uint64_t> found;
  each_line(text, [&](std::string_view line) {
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ':') return true;
    std::string_view value = trim(line.substr(key.size() + 1));
    const bool kib = value.size() > 3 && value.substr(value.size() - 3) == " kB";
    if (kib) value = trim(value.substr(0, value.size() - 3));
    if (auto v = parse_number(value)) found = kib ? saturating_mul(*v, 1024) : *v;
    return false;
  });
  return found;
}

std::optional<uint64_t> number_field(std::string_view text, std::string_view key) {
  std::optional<uint64_t> found;
  each_line(text, [&](std::string_view line) {
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ' ') return true;
    found = parse_number(trim(line.substr(key.size() + 1)));
    return false;
  });
  return found;
}

std::optional<std::string> cgroup2_path(std::string_view proc_cgroup) {
  std::optional<std::string> found;
  each_line(proc_cgroup, [&](std::string_view line) {
    if (line.substr(0, 3) != "0::") return true;
    found = std::string(line.substr(3));
    return false;
  });
  return found;
}

std::optional<Cgroup2Mount> cgroup2_mount(std::string_view mountinfo) {
  // "id parent major:minor root mount-point options [optional...] - fstype source super-options"
  std::optional<Cgroup2Mount> found;
  each_line(mountinfo, [&](std::string_view line) {
    const std::vector<std::string_view> f = split_spaces(line);
    size_t dash = 6;
    while (dash < f.size() && f[dash] != "-") ++dash;
    if (f.size() < 5 || dash + 1 >= f.size() || f[dash + 1] != "cgroup2") return true;
    found = Cgroup2Mount{unescape(f[3]), unescape(f[4])};
    return false;
  });
  return found;
}

std::optional<uint64_t> cgroup_left(std::string_view max, std::string_view current, std::string_view stat) {
  const std::optional<uint64_t> limit = parse_number(trim(max));
  if (!limit) return std::nullopt;  // "max": no limit at this level
  const uint64_t used = parse_number(trim(current)).value_or(0);
  const uint64_t reclaimable = std::min(number_field(stat, "inactive_file").value_or(0), used);
  const uint64_t holding = used - reclaimable;
  return *limit > holding ? *limit - holding : 0;
}

namespace {

// The directory of the process's cgroup and that of the hierarchy's root,
// or nullopt when they cannot be found.
struct CgroupDirs {
  std::string own;
  std::string top;
};

std::optional<CgroupDirs> cgroup_directories(const ReadText& read) {
  const auto cgroup = read("/proc/self/cgroup");
  const auto mountinfo = read("/proc/self/mountinfo");
  if (!cgroup || !mountinfo) return std::nullopt;
  const auto path = cgroup2_path(*cgroup);
  auto mount = cgroup2_mount(*mountinfo);
  if (!path || !mount) return std::nullopt;
  std::string_view rel = *path;
  if (mount->root != "/") {
    if (rel.substr(0, mount->root.size()) != mount->root) return std::nullopt;
    rel.remove_prefix(mount->root.size());
    if (!rel.empty() && rel.front() != '/') return std::nullopt;
  }
  while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
  std::string& top = mount->mount_point;
  while (top.size() > 1 && top.back() == '/') top.pop_back();
  if (top == "/") return CgroupDirs{rel.empty() ? top : std::string(rel), top};
  return CgroupDirs{top + std::string(rel), top};
}

}  // namespace

Headroom memory_headroom(const ReadText& read, const ProcessLimits& limits) {
  Headroom h;
  if (const auto meminfo = read("/proc/meminfo")) {
    if (const auto available = kib_field(*meminfo, "MemAvailable")) h.consider(*available, MemoryLimit::Available);
  }
  h.consider(limits.physical, MemoryLimit::Available);

  if (limits.address_space != UINT64_MAX || limits.data != UINT64_MAX) {
    const std::string status = read("/proc/self/status").value_or("");
    const uint64_t size = kib_field(status, "VmSize").value_or(0);
    const uint64_t data = kib_field(status, "VmData").value_or(0);
    if (limits.address_space != UINT64_MAX)
      h.consider(limits.address_space > size ? limits.address_space - size : 0, MemoryLimit::AddressSpace);
    if (limits.data != UINT64_MAX) h.consider(limits.data > data ? limits.data - data : 0, MemoryLimit::DataSegment);
  }

  // The process's cgroup and every one above it, up to the hierarchy's
  // root (which has no limit files of its own): each limit applies.
  if (auto dirs = cgroup_directories(read)) {
    for (std::string& dir = dirs->own;;) {
      const auto max = read(dir + "/memory.max");
      const auto current = read(dir + "/memory.current");
      if (max && current) {
        if (const auto left = cgroup_left(*max, *current, read(dir + "/memory.stat").value_or("")))
          h.consider(*left, MemoryLimit::Cgroup, dir);
      }
      const size_t slash = dir.rfind('/');
      if (dir.size() <= dirs->top.size() || slash == std::string::npos || slash < dirs->top.size()) break;
      dir.resize(slash);
    }
  }
  return h;
}

namespace {

std::optional<std::string> read_text(const std::string& path) {
  int fd;
  do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buf, static_cast<size_t>(got));
    if (text.size() > (size_t{1} << 20)) break;  // these files are small; a huge one is not one of them
  }
  ::close(fd);
  return text;
}

uint64_t soft_limit(int resource) {
  struct rlimit rl;
  if (::getrlimit(resource, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  return static_cast<uint64_t>(rl.rlim_cur);
}

}  // namespace

namespace {

uint64_t query_physical_memory() noexcept {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return std::numeric_limits<uint64_t>::max();
  uint64_t bytes;
  if (__builtin_mul_overflow(static_cast<uint64_t>(pages), static_cast<uint64_t>(page), &bytes))
    return std::numeric_limits<uint64_t>::max();
  return bytes;
}

}  // namespace

// Asked once per process: the query is a system call, and every write asks
// (a document of a few hundred bytes is written in about a microsecond).
uint64_t physical_memory() noexcept {
  static const uint64_t bytes = query_physical_memory();
  return bytes;
}

Headroom memory_headroom() {
  return memory_headroom(read_text, {physical_memory(), soft_limit(RLIMIT_AS), soft_limit(RLIMIT_DATA)});
}

uint64_t str_allocation(uint64_t output, uint8_t widest) noexcept {
  static constexpr uint64_t kCharBytes[4] = {1, 1, 2, 4};
  constexpr uint64_t kHeader = 64;  // the str object's own fields
  return saturating_add(saturating_mul(output, kCharBytes[widest & 3]), kHeader);
}

uint64_t write_string_peak(uint64_t output, uint8_t widest) noexcept {
  return saturating_add(output, str_allocation(output, widest));
}

}  // namespace orvex
