// The writer: random record trees are written, read back with the tree
// builder and compared with what was written.
//
// The input drives a small tree-building program (open a child, close it,
// set a text, add an attribute, add a leaf). Names and keys come from an
// alphabet the reader takes back as names; texts and values from pieces rich
// in what must be escaped, whitespace the reader trims, and multi-byte
// characters. Checks:
//  - the output is valid UTF-8 and at least as long as the size estimate;
//  - both index builds give the same index of it;
//  - reading it back gives the same tree (texts trimmed as the reader does);
//  - the file sink writes exactly the memory sink's bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common.h"
#include "index/structural.h"
#include "read/tree_builder.h"
#include "record_forest.h"
#include "write/sinks.h"
#include "write/writer.h"

using namespace orvex;

namespace {

class Program {
 public:
  Program(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool done() const { return n_ == 0; }
  uint8_t next() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }

 private:
  const uint8_t* p_;
  size_t n_;
};

const char* const kNamePieces[] = {"a", "b", "Z", "_", ":", ".", "-", "7", "\xC3\xA9", "\xE4\xB8\xAD", "x"};
const std::string kTextPieces[] = {
    "a", "Z", " ", "\t", "\n", "\r", "\r\n", "&", "<", ">", "\"", "'", "\xC3\xA9",
    "\xC2\xA0" /* U+00A0 */, "\xC2\x85" /* U+0085 */, "\xE2\x80\xA8" /* U+2028 */,
    "\xF0\x9F\x98\x80", "]]>", "&amp;", "\x01", std::string(1, '\0'), "\x0c", "<!--", "?>", "x y",
};

std::string make_name(Program& prog) {
  std::string s = (prog.next() & 1) ? "n" : "\xC3\xA9";
  for (int k = prog.next() % 5; k > 0; --k) s += kNamePieces[prog.next() % std::size(kNamePieces)];
  return s;
}

std::string make_text(Program& prog) {
  std::string s;
  for (int k = prog.next() % 10; k > 0; --k) s += kTextPieces[prog.next() % std::size(kTextPieces)];
  return s;
}

constexpr size_t kMaxDepth = 24;

// The tree a program describes: open a child, close it, set a text, add an
// attribute, add a leaf.
Node* make_tree(Program& prog, testutil::Forest& forest) {
  struct Open {
    Node* node;
    std::vector<Node*> kids;
  };
  Node* root = forest.node(make_name(prog));
  std::vector<Open> path{{root, {}}};
  auto close = [&] {
    testutil::Forest::set_children(path.back().node, path.back().kids);
    path.pop_back();
  };
  size_t steps = 0;
  while (!prog.done() && ++steps < 2000) {
    Open& e = path.back();
    switch (prog.next() % 8) {
      case 0: case 1: case 2: {
        Node* child = forest.node(make_name(prog));
        e.kids.push_back(child);
        // Deep nesting is covered elsewhere; here it would only make the
        // indentation (quadratic in depth) dominate every run.
        if (path.size() <= kMaxDepth) path.push_back({child, {}});
        break;
      }
      case 3:
        if (path.size() > 1) close();
        break;
      case 4:
        e.node->rec.text = SharedStr::owned(make_text(prog));
        break;
      case 5: case 6:
        e.node->rec.attrs.insert(SharedStr::owned(make_name(prog)), SharedStr::owned(make_text(prog)));
        break;
      default:
        e.kids.push_back(forest.node(make_name(prog)));
        break;
    }
  }
  while (!path.empty()) close();
  return root;
}

std::string through_file_sink(const Node* tree, uint64_t indent) {
  int fd = memfd_create("orvex-fuzz", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  {
    FileSink sink(fd);
    FUZZ_CHECK(write_document(sink, tree->rec, {indent, false}));
    FUZZ_CHECK(sink.flush());
  }
  off_t n = lseek(fd, 0, SEEK_END);
  std::string out(static_cast<size_t>(n), '\0');
  FUZZ_CHECK(pread(fd, out.data(), out.size(), 0) == n);
  close(fd);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint64_t indent = data[0] % 5;
  const bool via_file = data[1] % 8 == 0;
  Program prog(data + 2, size - 2);
  testutil::Forest forest;
  const Node* tree = make_tree(prog, forest);

  const DocumentMeasure m = measure_document(tree->rec, {indent, false}, UINT64_MAX);
  auto least = check_output_size(m, UINT64_MAX, true);
  FUZZ_CHECK(least.ok());

  MemorySink sink;
  FUZZ_CHECK(write_document(sink, tree->rec, {indent, false}));
  const std::string_view out = sink.bytes();
  FUZZ_CHECK(text::is_valid_utf8(out.data(), out.size()));
  FUZZ_CHECK(out.size() >= least.value());
  FUZZ_CHECK(out.size() <= 6 * least.value());  // a reference is at most six bytes
  FUZZ_CHECK(out.back() == '>');
  if (via_file) FUZZ_CHECK(through_file_sink(tree, indent) == out);

  auto seq = index::build_structural_index(out.data(), out.size(), index::Build::Sequential);
  auto bmp = index::build_structural_index(out.data(), out.size(), index::Build::Bitmap);
  FUZZ_CHECK(seq.ok() && bmp.ok());
  FUZZ_CHECK(seq.value() == bmp.value());

  SourceHandle buf(SourceBuffer::copy_of(out.data(), out.size()));
  {
    auto back = read::build_tree(buf.get(), tree->rec.name.sv());
    if (!back.ok()) {
      std::fprintf(stderr, "re-read failed: %s\n--- written:\n%.*s\n",
                   back.error().message().c_str(), static_cast<int>(out.size()), out.data());
    }
    FUZZ_CHECK(back.ok());
    fuzz::check_reader_tree(back.value().root());
    FUZZ_CHECK(fuzz::same_tree(tree, back.value().root(), fuzz::reread_text));
  }
  FUZZ_CHECK(buf->holders() == 1);
  return 0;
}
