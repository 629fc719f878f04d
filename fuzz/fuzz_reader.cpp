// Reader core: both index builds, the scanner, the decoder and the tree
// builder on arbitrary bytes.
//
// Input: one selector byte, then the document. Checks:
//  - neither build crashes, and each returns a structurally sound index;
//  - the builds agree: when both accept a document their indexes are
//    identical; where only one accepts it, the document is one of the three
//    malformed shapes on which they are allowed to differ (a '<' in the last
//    byte, an unterminated comment / CDATA section / processing instruction,
//    a declaration with no later '>');
//  - the entry operation returns what the build it prefers returns;
//  - on valid UTF-8 the tree builder never crashes on either index, gives
//    the same result on both, and a tree it returns is sound, survives a
//    write and re-read unchanged, and holds exactly its views of the buffer;
//  - the flat form the module wraps gives the same tree or the same error.
#include <cstdint>
#include <cstring>
#include <string>

#include "common.h"
#include "index/builds.h"
#include "read/flat_tree.h"
#include "read/tree_builder.h"
#include "write/serializer.h"
#include "write/sinks.h"

using namespace orvex;
using orvex::fuzz::check_index;

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

void check_builds_agree(const index::IndexResult& seq, const index::IndexResult& bmp,
                        const char* d, size_t len) {
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

std::string pick_root(uint8_t sel, const index::StructuralIndex& idx, const char* d) {
  // Mostly the first or a later element's name, so real trees get built.
  std::vector<std::string_view> names;
  for (size_t i = 0; i < idx.size() && names.size() < 8; ++i)
    if (idx.kind[i] == index::TagKind::Start || idx.kind[i] == index::TagKind::Empty)
      names.emplace_back(d + idx.name_offset[i], idx.name_len[i]);
  if (names.empty() || (sel & 7) == 7) return "a";
  return std::string(names[(sel & 7) % names.size()]);
}

void write_and_reread(const PlainElement& tree, uint8_t sel) {
  PlainElement copy = fuzz::clone(tree);
  MemorySink sink;
  FUZZ_CHECK(serialize(sink, copy, sel >> 6));
  std::string_view out = sink.bytes();
  FUZZ_CHECK(read::is_valid_utf8(out.data(), out.size()));
  SourceHandle buf(SourceBuffer::copy_of(out.data(), out.size()));
  auto again = read::build_tree(buf.get(), tree.name.sv());
  if (!again.ok()) {
    std::fprintf(stderr, "re-read failed: %s\n--- written:\n%.*s\n", again.error().message().c_str(),
                 static_cast<int>(out.size()), out.data());
  }
  FUZZ_CHECK(again.ok());
  auto keep = [](const OptStr& t) -> std::optional<std::string> {
    return t ? std::optional<std::string>(std::string(t->sv())) : std::nullopt;
  };
  FUZZ_CHECK(fuzz::same_tree(tree, again.value(), keep));
}

// The flat pre-order form as a PlainElement tree of owned strings.
PlainElement unflatten(const read::FlatTree& t) {
  auto owned_map = [&](const read::FlatElement& e) {
    AttrMap m;
    if (e.attrs)
      for (const auto& kv : t.maps[e.attrs - 1])
        m.insert(SharedStr::owned(kv.key.sv()), SharedStr::owned(kv.value.sv()));
    return m;
  };
  auto make = [&](const read::FlatElement& e) {
    PlainElement p(SharedStr::owned(t.name_of(e).sv()), owned_map(e));
    if (e.text) p.text = SharedStr::owned(t.texts[e.text - 1].sv());
    return p;
  };
  FUZZ_CHECK(!t.elements.empty());
  PlainElement root = make(t.elements[0]);
  struct Open { PlainElement* el; uint64_t left; };
  std::vector<Open> open{{&root, t.elements[0].children}};
  for (size_t i = 1; i < t.elements.size(); ++i) {
    while (!open.empty() && open.back().left == 0) open.pop_back();
    FUZZ_CHECK(!open.empty());
    Open& parent = open.back();
    --parent.left;
    parent.el->children.reserve(parent.el->children.size() + 1);
    parent.el->children.push_back(make(t.elements[i]));
    PlainElement* child = &parent.el->children.back();
    open.push_back({child, t.elements[i].children});
  }
  while (!open.empty() && open.back().left == 0) open.pop_back();
  FUZZ_CHECK(open.empty());
  return root;
}

void compare_flat(SourceBuffer* buf, const std::string& root, const read::TreeResult& tree) {
  auto flat = read::build_flat_tree(buf, root);
  FUZZ_CHECK(flat.ok() == tree.ok());
  if (!tree.ok()) {
    FUZZ_CHECK(flat.error().message() == tree.error().message());
    return;
  }
  auto keep = [](const OptStr& t) -> std::optional<std::string> {
    return t ? std::optional<std::string>(std::string(t->sv())) : std::nullopt;
  };
  FUZZ_CHECK(fuzz::same_tree(tree.value(), unflatten(flat.value()), keep));
}

void read_tree(const char* d, size_t len, uint8_t sel, const index::IndexResult& seq,
               const index::IndexResult& bmp) {
  SourceHandle buf(SourceBuffer::copy_of(d, len));
  const index::StructuralIndex* any = seq.ok() ? &seq.value() : bmp.ok() ? &bmp.value() : nullptr;
  const std::string root = any ? pick_root(sel, *any, d) : std::string("a");
  {
    auto via_entry = read::build_tree(buf.get(), root);
    std::optional<read::TreeResult> via_seq, via_bmp;
    if (seq.ok()) via_seq.emplace(read::build_tree_from_index(buf.get(), seq.value(), root));
    if (bmp.ok() && !(seq.ok() && seq.value() == bmp.value()))
      via_bmp.emplace(read::build_tree_from_index(buf.get(), bmp.value(), root));

    compare_flat(buf.get(), root, via_entry);
    if (via_entry.ok()) {
      fuzz::check_reader_tree(via_entry.value());
      FUZZ_CHECK(via_entry.value().name.sv() == root);
      write_and_reread(via_entry.value(), sel);
    }
    // Both builds accepted the document differently only where the builds
    // are documented to differ, which the reader rejects either way.
    if (via_seq && via_bmp) FUZZ_CHECK(!via_seq->ok() && !via_bmp->ok());
  }
  // Every view of the document has been released with the trees.
  FUZZ_CHECK(buf->holders() == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t sel = data[0];
  const char* d = reinterpret_cast<const char*>(data + 1);
  const size_t len = size - 1;

  auto seq = index::build_sequential_index(d, len);
  auto bmp = index::build_bitmap_index(d, len);
  if (seq.ok()) check_index(seq.value(), len, true);
  if (bmp.ok()) check_index(bmp.value(), len, false);
  check_builds_agree(seq, bmp, d, len);
  auto chosen = index::build_structural_index(d, len);
  FUZZ_CHECK(same_outcome(chosen, index::prefers_bitmap_build(d, len) ? bmp : seq));

  if (read::is_valid_utf8(d, len)) read_tree(d, len, sel, seq, bmp);
  return 0;
}
