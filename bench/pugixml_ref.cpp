// The native reference of bench/run.py: pugixml parsing the same files, with
// no interpreter and no Python objects. Built by run.py at bench time where
// Debian's libpugixml-dev is installed:
//   g++ -O2 -std=c++17 pugixml_ref.cpp -lpugixml -o pugixml_ref
//
//   pugixml_ref [--wall] [--keep-heap] REPEAT LIST
// LIST names one file per line. Each file is loaded once untimed (it warms
// the page cache and the allocator, as run.py's untimed first call does),
// then REPEAT times with load_file(path, parse_default), the previous
// document freed before the clock starts; the median of a file's loads
// counts and the medians of all files are added up. The clock is the
// process's processor time, or elapsed time with --wall.
// By default glibc maps large blocks afresh and hands the freed heap back to
// the system, so each load of a large document faults its memory in again
// (on a 50 MiB document that is two thirds of the time). --keep-heap tells
// glibc to take every block from the heap and never give it back: the loads
// then measure pugixml's parse itself. Prints
//   seconds <sum of medians>
//   rss_before_kib <VmRSS before the first load>
//   peak_kib <VmHWM at the end>
//   rss_end_kib <VmRSS at the end, the last document still held>
//   version <pugixml version>
// REPEAT 0 loads each file once and keeps the last one: the peak-memory run.
#include <malloc.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace {

long status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') {
      return std::strtol(line.c_str() + n + 1, nullptr, 10);
    }
  }
  return -1;
}

double now(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

bool load(pugi::xml_document& doc, const std::string& path) {
  const pugi::xml_parse_result result = doc.load_file(path.c_str(), pugi::parse_default);
  if (!result) {
    std::fprintf(stderr, "%s: %s at offset %lld\n", path.c_str(), result.description(),
                 static_cast<long long>(result.offset));
  }
  return bool(result);
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
  clockid_t clock = CLOCK_PROCESS_CPUTIME_ID;
  for (; arg < argc && argv[arg][0] == '-'; ++arg) {
    if (std::strcmp(argv[arg], "--wall") == 0) {
      clock = CLOCK_MONOTONIC;
    } else if (std::strcmp(argv[arg], "--keep-heap") == 0) {
      mallopt(M_MMAP_MAX, 0);  // large blocks from the heap too, which is
      mallopt(M_TRIM_THRESHOLD, 1 << 30);  // then never given back
    } else {
      break;
    }
  }
  if (argc - arg != 2) {
    std::fprintf(stderr, "usage: %s [--wall] [--keep-heap] REPEAT LIST\n", argv[0]);
    return 2;
  }
  const int repeat = std::atoi(argv[arg]);
  std::ifstream list(argv[arg + 1]);
  std::vector<std::string> paths;
  for (std::string line; std::getline(list, line);) {
    if (!line.empty()) paths.push_back(line);
  }

  const long rss_before = status_kib("VmRSS");
  pugi::xml_document doc;
  double total = 0;
  std::vector<double> times;
  for (const std::string& path : paths) {
    if (!load(doc, path)) return 1;
    times.clear();
    for (int i = 0; i < repeat; ++i) {
      doc.reset();  // freeing the previous document is not timed
      const double t0 = now(clock);
      const bool ok = load(doc, path);
      times.push_back(now(clock) - t0);
      if (!ok) return 1;
    }
    if (!times.empty()) {
      std::sort(times.begin(), times.end());
      const size_t mid = times.size() / 2;
      total += times.size() % 2 ? times[mid] : (times[mid - 1] + times[mid]) / 2;
    }
  }
  std::printf("seconds %.9f\nrss_before_kib %ld\npeak_kib %ld\nrss_end_kib %ld\nversion %d.%d\n", total,
              rss_before, status_kib("VmHWM"), status_kib("VmRSS"), PUGIXML_VERSION / 1000,
              PUGIXML_VERSION % 1000 / 10);
  return 0;
}
