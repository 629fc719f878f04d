// write_string and write_file: bind the arguments while attached, then
// write straight from the Node records and do all file I/O detached. Both
// count a document only once their output grows large (see
// write/size_policy.h); the refusal of one too large is raised here.
#include <algorithm>
#include <cstring>
#include <string>

#include "py/detached.h"
#include "py/node.h"
#include "py/py_str.h"
#include "write/file_output.h"
#include "write/memory_limits.h"
#include "write/sinks.h"
#include "write/size_policy.h"
#include "write/writer.h"

namespace orvex::py {

namespace {

const char* const kStringParams[] = {"node", "indent", "default_xml_def"};
const FuncDesc kStringDesc = {"write_string()", kStringParams, 3, 1};
const char* const kFileParams[] = {"node", "file_path", "indent", "default_xml_def"};
const FuncDesc kFileDesc = {"write_file()", kFileParams, 4, 2};

bool convert_options(PyObject* indent, PyObject* declaration, WriteOptions* out) {
  if (!is_default(indent) && !conv_u64(indent, "indent", &out->indent)) return false;
  if (!is_default(declaration) && !conv_bool(declaration, "default_xml_def", &out->declaration))
    return false;
  return true;
}

// The width of the str follows from the output's largest byte, which the
// sink keeps as it goes, looking at the bytes of each step while they are
// still in the cache (a pass over a large output afterwards would read it
// all from memory once more, only to read it again to decode it).
constexpr size_t kScanStep = size_t{256} << 10;

// The result of write_string, made at its final size: made for as many
// characters as bytes and cut afterwards, every call would ask the C
// library for more than the last call gave back, and a large str would then
// come from fresh pages each time (a fault per page, a third of the time to
// write a 10 MB document), never from the memory just released. A counted
// document is checked once more now that its str's width is known, and the
// pages of its output go back to the system as they are decoded: what is
// resident stays near one copy of the document instead of two. A smaller
// one keeps them, so that the sink's buffer, kept for the next call, is
// written again without a fault and a zeroed page per page.
struct DocumentStr {
  MemorySink& sink;
  StringSizeCheck& check;

  static bool allow(void* self, size_t length, uint8_t widest) {
    auto* d = static_cast<DocumentStr*>(self);
    if (d->check.allows_str(d->sink.size(), length, widest)) return true;
    raise_refusal(d->check.refusal());
    return false;
  }
  static void decoded(void* self, size_t bytes) {
    auto* d = static_cast<DocumentStr*>(self);
    if (d->check.counted()) d->sink.give_back(bytes);
  }

  PyObject* make() {
    return str_from_utf8(sink.data(), sink.size(),
                         LargeStr{sink.max_byte(), &DocumentStr::allow, &DocumentStr::decoded, this,
                                  "invariant: the XML writer only emits valid UTF-8"});
  }
};

}  // namespace

PyObject* write_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[3];
    if (!bind_fast(kStringDesc, args, nargs, kwnames, slot)) return nullptr;
    if (!conv_node(slot[0], "node")) return nullptr;
    WriteOptions s;
    if (!convert_options(slot[1], slot[2], &s)) return nullptr;

    // The caller holds the root for the call, and with it every record below.
    const NodeRecord& root = record_of(slot[0]);
    StringSizeCheck check(root, s);
    MemorySink sink;
    check.arm(sink);
    sink.scan_as_written(kScanStep);
    Detached detached;
    const bool written = detached.run([&] { return write_document(sink, root, s); });
    if (!written) return raise_refusal(check.refusal());
    return DocumentStr{sink, check}.make();
  });
}

PyObject* write_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[4];
    if (!bind_fast(kFileDesc, args, nargs, kwnames, slot)) return nullptr;
    if (!conv_node(slot[0], "node")) return nullptr;
    std::string path;
    if (!conv_path(slot[1], "file_path", &path)) return nullptr;
    WriteOptions s;
    if (!convert_options(slot[2], slot[3], &s)) return nullptr;

    const NodeRecord& root = record_of(slot[0]);
    Detached detached;
    auto written = detached.run([&] { return write_to_file(path, root, s, detached.interrupts()); });
    if (detached.raise_kept()) return nullptr;  // a signal handler's exception
    if (written.ok()) Py_RETURN_NONE;
    if (written.error().refusal) return raise_refusal(written.error().refusal);
    return raise_os_error(written.error().error);
  });
}

}  // namespace orvex::py
