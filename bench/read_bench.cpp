// The reader's core on files, without the interpreter: the structural index
// alone, then index and tree builder together (records made and freed), in
// MB/s of input.
//   read_bench file root_tag [repetitions (default 7)]
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "index/structural.h"
#include "read/tree_builder.h"
#include "simd/simd.h"

namespace {

double seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

template <class F>
double best(int reps, F&& f) {
  double b = 1e30;
  for (int i = 0; i < reps; ++i) {
    const double t0 = seconds();
    f();
    const double t = seconds() - t0;
    b = t < b ? t : b;
  }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: read_bench file root_tag [repetitions]\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string doc = ss.str();
  const int reps = argc > 3 ? std::atoi(argv[3]) : 7;
  orvex::SourceHandle buf(orvex::SourceBuffer::copy_of(doc.data(), doc.size()));
  const double mb = double(doc.size()) / 1e6;
  orvex::index::StructuralIndex chunk;
  const double t_index = best(reps, [&] {
    auto source = orvex::index::make_construct_source(doc.data(), doc.size(),
                                                      orvex::index::choose_build(doc.data(), doc.size()));
    while (source->next(chunk, 2048).value()) {
    }
  });
  bool ok = true;
  const double t_build = best(reps, [&] {
    auto r = orvex::read::build_tree(buf.get(), argv[2]);
    ok = ok && r.ok();
  });
  std::printf("%s (%s): index %.0f MB/s, index + build + free %.0f MB/s%s\n", argv[1], orvex::simd::backend_name(),
              mb / t_index, mb / t_build, ok ? "" : " (FAILED)");
  return ok ? 0 : 1;
}
