// Structural index throughput of both builds on generated documents, next to
// memchr() finding every '<' of the same buffer, and whether the density rule
// sends each corpus to the faster build.
//   index_bench [megabytes per corpus (default 48)] [repetitions (default 5)]
// Documents are generated from fixed seeds, so runs are comparable.
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "index/structural.h"
#include "simd/simd.h"

namespace {

struct Rng {
  uint64_t s;
  uint64_t next() {
    s += 0x9E3779B97F4A7C15ull;
    uint64_t z = s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  size_t below(size_t n) { return size_t(next() % n); }
  const char* pick(std::initializer_list<const char*> xs) { return *(xs.begin() + below(xs.size())); }
};

std::string words(Rng& r, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += r.pick({"the", "quick", "brown", "fox", "jumps", "over", "lazy", "dog", "data", "value",
                 "record", "orbit", "signal", "north", "system", "élan", "naïve"});
  }
  return s;
}

// Many small elements with 1-3 attributes and short text.
std::string record_like(size_t bytes) {
  Rng r{1};
  std::string d = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<records>\n";
  for (uint64_t id = 0; d.size() < bytes; ++id) {
    d += "  <record id=\"" + std::to_string(id) + "\"";
    if (r.below(2)) d += std::string(" type=\"") + r.pick({"a", "b", "c"}) + "\"";
    if (r.below(3) == 0) d += " active='true'";
    d += ">\n    <name>" + words(r, 1 + r.below(2)) + "</name>\n";
    d += "    <value unit=\"kg\">" + std::to_string(r.below(100000)) + "." + std::to_string(r.below(10)) + "</value>\n";
    if (r.below(2)) d += "    <note>" + words(r, 2 + r.below(6)) + "</note>\n";
    d += "  </record>\n";
  }
  return d + "</records>\n";
}

// SVG-like: every element carries 5-10 double-quoted attributes.
std::string attribute_heavy(size_t bytes) {
  Rng r{2};
  std::string d = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\"600\" viewBox=\"0 0 800 600\">\n";
  static const char* kAttrs[] = {"fill", "stroke", "stroke-width", "opacity", "transform", "class", "id", "stroke-linecap", "fill-rule", "style"};
  while (d.size() < bytes) {
    d += "  <path d=\"M " + std::to_string(r.below(800)) + " " + std::to_string(r.below(600));
    for (size_t k = 2 + r.below(6); k > 0; --k)
      d += std::string(" ") + r.pick({"L", "C", "Q"}) + " " + std::to_string(r.below(800)) + " " + std::to_string(r.below(600));
    d += "\"";
    for (size_t k = 0, n = 4 + r.below(6); k < n; ++k)
      d += std::string(" ") + kAttrs[k] + "=\"" + r.pick({"#3a6ea5", "none", "1.5", "0.8", "translate(10,20)", "shape", "round", "evenodd", "fill:red;stroke:blue"}) + "\"";
    d += r.below(4) ? "/>\n" : "><title>shape</title></path>\n";
  }
  return d + "</svg>\n";
}

// Long paragraphs with entities, apostrophes and now and then CDATA.
std::string text_heavy(size_t bytes) {
  Rng r{3};
  std::string d = "<?xml version=\"1.0\"?>\n<book>\n";
  while (d.size() < bytes) {
    d += "<chapter title=\"" + words(r, 3) + "\">\n";
    for (size_t p = 3 + r.below(5); p > 0; --p) {
      d += "<p>";
      for (size_t s = 20 + r.below(40); s > 0; --s) {
        d += words(r, 4 + r.below(10));
        d += r.pick({". ", ", ", " &amp; ", " &lt;em&gt; ", " don't ", " &#8212; ", "; ", " it's "});
        if (r.below(30) == 0) d += "<em>" + words(r, 2) + "</em> ";
      }
      d += "</p>\n";
      if (r.below(6) == 0) d += "<![CDATA[ if (a < b && c > d) { return x; } ]]>\n";
    }
    d += "</chapter>\n";
  }
  return d + "</book>\n";
}

// Best of `reps` runs, in processor time of this process (user and system,
// so page faults count): on a machine shared with other work, wall time
// mostly measures the neighbours.
double best_seconds(int reps, const std::function<void()>& f) {
  double best = 1e30;
  for (int i = 0; i < reps; ++i) {
    const std::clock_t t0 = std::clock();
    f();
    const double s = double(std::clock() - t0) / CLOCKS_PER_SEC;
    if (s < best) best = s;
  }
  return best;
}

volatile size_t g_sink;

double memchr_gbs(const std::string& d, int reps) {
  double s = best_seconds(reps, [&] {
    size_t n = 0;
    const char* p = d.data();
    const char* end = p + d.size();
    while ((p = static_cast<const char*>(std::memchr(p, '<', size_t(end - p)))) != nullptr) ++n, ++p;
    g_sink = n;
  });
  return double(d.size()) / s / 1e9;
}

// The index handed out in chunks of 2048 constructs, as the reader takes it.
double build_gbs(const std::string& d, int reps, orvex::index::Build build) {
  bool ok = true;
  orvex::index::StructuralIndex chunk;
  double s = best_seconds(reps, [&] {
    auto source = orvex::index::make_construct_source(d.data(), d.size(), build);
    size_t n = 0;
    for (;;) {
      auto r = source->next(chunk, 2048);
      ok = ok && r.ok();
      n += chunk.size();
      if (!r.ok() || !r.value()) break;
    }
    g_sink = n;
  });
  if (!ok) {
    std::fprintf(stderr, "index build failed on a generated corpus\n");
    std::exit(1);
  }
  return double(d.size()) / s / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mb = argc > 1 ? size_t(std::atol(argv[1])) : 48;
  const int reps = argc > 2 ? std::atoi(argv[2]) : 5;
  struct Corpus {
    const char* name;
    std::string doc;
  };
  std::vector<Corpus> corpora;
  corpora.push_back({"record-like", record_like(mb << 20)});
  corpora.push_back({"attribute-heavy", attribute_heavy(mb << 20)});
  corpora.push_back({"text-heavy", text_heavy(mb << 20)});

  std::printf("backend: %s, best of %d runs (processor time); GB/s, in brackets the ratio to memchr\n\n",
              orvex::simd::backend_name(), reps);
  std::printf("%-16s %6s %8s %16s %16s %9s %8s\n", "corpus", "MB", "memchr<", "sequential", "bitmap",
              "rule", "faster?");
  for (const Corpus& c : corpora) {
    const double base = memchr_gbs(c.doc, reps);
    const double seq = build_gbs(c.doc, reps, orvex::index::Build::Sequential);
    const double bit = build_gbs(c.doc, reps, orvex::index::Build::Bitmap);
    const bool rule_bitmap =
        orvex::index::choose_build(c.doc.data(), c.doc.size()) == orvex::index::Build::Bitmap;
    const bool right = rule_bitmap == (bit > seq);
    std::printf("%-16s %6.1f %8.2f %8.2f (%4.2f) %8.2f (%4.2f) %9s %8s\n", c.name, double(c.doc.size()) / 1e6, base,
                seq, seq / base, bit, bit / base, rule_bitmap ? "bitmap" : "seq", right ? "yes" : "no");
  }
  return 0;
}
