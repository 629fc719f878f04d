// Reader core: both index builds, the index handed out in chunks, the
// scanner, the decoder and the tree builder the module ships, on arbitrary
// bytes.
//
// Input: one selector byte, then the document. Checks:
//  - neither build crashes, each returns a structurally sound index, and the
//    work each does stays linear in the input;
//  - handed out a few constructs at a time, each build gives the same index
//    as in one piece;
//  - the builds agree: when both accept a document their indexes are
//    identical; where only one accepts it, the document is one of the three
//    malformed shapes on which they are allowed to differ (a '<' in the last
//    byte, an unterminated comment / CDATA section / processing instruction,
//    a declaration with no later '>');
//  - on valid UTF-8 the tree builder never crashes with either build, gives
//    the same result with both wherever their indexes agree, and a tree it
//    returns is sound, written by the
//    writer's walk and read again gives the same tree, and holds exactly its
//    blocks' counts of the buffer.
#include <cstdint>
#include <cstring>
#include <string>

#include "common.h"
#include "index/structural.h"
#include "read/tree_builder.h"
#include "write/sinks.h"
#include "write/writer.h"

using namespace orvex;
using orvex::fuzz::check_index;
using index::Build;

namespace {

bool same_outcome(const index::IndexResult& a, const index::IndexResult& b) {
  if (a.ok() != b.ok()) return false;
  return a.ok() ? a.value() == b.value() : a.error() == b.error();
}

// A declaration ("<!" not followed by "--" or "[CDATA[") with no '>' after it.
bool has_open_declaration(const char* d, size_t len) {
  for (size_t g = 0; g + 1 < len; ++g) {
    if (d[g] != '<' || d[g + 1] != '!') continue;
    std::string_view rest(d + g, len - g);
    if (rest.starts_with("<!--") || rest.starts_with("<![CDATA[")) continue;
    if (!std::memchr(d + g, '>', len - g)) return true;
  }
  return false;
}

void check_builds_agree(const index::IndexResult& seq, const index::IndexResult& bmp, const char* d, size_t len) {
  if (seq.ok() && bmp.ok()) {
    FUZZ_CHECK(seq.value() == bmp.value());
    return;
  }
  if (seq.ok()) {
    // Only the bitmap build rejects a declaration that never closes.
    FUZZ_CHECK(bmp.error().kind == index::IndexError::Kind::UnclosedTag);
    FUZZ_CHECK(has_open_declaration(d, len));
    return;
  }
  if (bmp.ok()) {
    // The sequential build overruns unterminated comments, CDATA sections and
    // processing instructions, and rejects a '<' in the last byte.
    const auto& e = seq.error();
    FUZZ_CHECK(e.kind == index::IndexError::Kind::Overrun ||
               (e.kind == index::IndexError::Kind::UnclosedTag && e.offset + 1 == len));
  }
}

// The index of a build, whole, with its work checked.
index::IndexResult whole_index(const char* d, size_t len, Build b) {
  uint64_t examined = 0;
  auto r = index::build_structural_index(d, len, b, &examined);
  FUZZ_CHECK(examined <= 8 * len + 64);
  if (r.ok()) check_index(r.value(), len, b == Build::Sequential);
  return r;
}

// The same index handed out `max` constructs at a time, joined.
index::IndexResult chunked_index(const char* d, size_t len, Build b, size_t max) {
  auto source = index::make_construct_source(d, len, b);
  index::StructuralIndex whole, chunk;
  for (;;) {
    auto r = source->next(chunk, max);
    if (!r) return fail(r.error());
    FUZZ_CHECK(chunk.size() <= max);
    whole.constructs.insert(whole.constructs.end(), chunk.constructs.begin(), chunk.constructs.end());
    whole.text.insert(whole.text.end(), chunk.text.begin(), chunk.text.end());
    if (!r.value()) return whole;
  }
}

std::string pick_root(uint8_t sel, const index::StructuralIndex& idx, const char* d) {
  // Mostly the first or a later element's name, so real trees get built.
  std::vector<std::string_view> names;
  for (const index::Construct& c : idx.constructs) {
    if (names.size() == 8) break;
    if (c.kind() == index::TagKind::Start || c.kind() == index::TagKind::Empty)
      names.emplace_back(d + c.name_start(), c.name_len);
  }
  if (names.empty() || (sel & 7) == 7) return "a";
  return std::string(names[(sel & 7) % names.size()]);
}

void write_and_reread(const read::BuiltTree& tree, uint8_t sel) {
  MemorySink sink;
  FUZZ_CHECK(write_document(sink, tree.root()->rec, {uint64_t(sel >> 6), false}));
  std::string_view out = sink.bytes();
  FUZZ_CHECK(text::is_valid_utf8(out.data(), out.size()));
  SourceHandle buf(SourceBuffer::copy_of(out.data(), out.size()));
  auto again = read::build_tree(buf.get(), tree.root()->rec.name.sv());
  if (!again.ok()) {
    std::fprintf(stderr, "re-read failed: %s\n--- written:\n%.*s\n", again.error().message().c_str(),
                 static_cast<int>(out.size()), out.data());
  }
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(fuzz::same_records(tree.root(), again.value().root()));
}

void read_tree(const char* d, size_t len, uint8_t sel, const index::IndexResult& seq, const index::IndexResult& bmp) {
  SourceHandle buf(SourceBuffer::copy_of(d, len));
  const index::StructuralIndex* any = seq.ok() ? &seq.value() : bmp.ok() ? &bmp.value() : nullptr;
  const std::string root = any ? pick_root(sel, *any, d) : std::string("a");
  {
    auto via_seq = read::build_tree(buf.get(), root, Build::Sequential);
    auto via_bmp = read::build_tree(buf.get(), root, Build::Bitmap);
    if (via_seq.ok() && via_bmp.ok()) {
      FUZZ_CHECK(fuzz::same_records(via_seq.value().root(), via_bmp.value().root()));
    } else if (seq.ok() && bmp.ok()) {
      // Identical indexes: the same error.
      FUZZ_CHECK(!via_seq.ok() && !via_bmp.ok());
      FUZZ_CHECK(via_seq.error().message() == via_bmp.error().message());
    }
    for (auto* r : {&via_seq, &via_bmp}) {
      if (!r->ok()) continue;
      const read::BuiltTree& t = r->value();
      fuzz::check_reader_tree(t.root());
      FUZZ_CHECK(t.root()->rec.name.sv() == root);
      FUZZ_CHECK(buf->holders() >= 1 + t.slabs().size());
    }
    if (via_seq.ok()) write_and_reread(via_seq.value(), sel);
  }
  // Every count of the document has been given back with the trees.
  FUZZ_CHECK(buf->holders() == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t sel = data[0];
  const char* d = reinterpret_cast<const char*>(data + 1);
  const size_t len = size - 1;

  auto seq = whole_index(d, len, Build::Sequential);
  auto bmp = whole_index(d, len, Build::Bitmap);
  check_builds_agree(seq, bmp, d, len);
  const size_t max = 1 + (sel >> 5);  // 1 to 8 constructs per chunk
  FUZZ_CHECK(same_outcome(chunked_index(d, len, Build::Sequential, max), seq));
  FUZZ_CHECK(same_outcome(chunked_index(d, len, Build::Bitmap, max), bmp));
  auto chosen = index::build_structural_index(d, len);
  FUZZ_CHECK(same_outcome(chosen, index::choose_build(d, len) == Build::Bitmap ? bmp : seq));

  if (text::is_valid_utf8(d, len)) read_tree(d, len, sel, seq, bmp);
  return 0;
}
