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
#include "write/utf8_chars.h"
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

// The result of write_string: one decoding copy (see write/utf8_chars.h);
// all-ASCII output by plain copies. Output that is not ASCII has its
// characters counted first, so the str is made at its final size: made for
// as many characters as bytes and cut afterwards, every call would ask the
// C library for more than the last call gave back, and a large str would
// then come from fresh pages each time (a fault per page, a third of the
// time to write a 10 MB document), never from the memory just released.
// The decoding checks the sequences as it goes: output that does not decode
// means the writer itself is broken.
//
// The output is copied a chunk at a time. For a document large enough to
// have been counted, the pages of each chunk go back to the system once it
// is copied: what is resident stays near one copy of the document instead
// of two. A smaller one keeps them, so that the sink's buffer, kept for the
// next call, is written again without a fault and a zeroed page per page.
// A counted document is checked once more here, now that its str's width is
// known.
PyObject* document_str(MemorySink& sink, StringSizeCheck& check) {
  const char* const p = sink.data();
  const size_t n = sink.size();
  const uint8_t widest = widest_of_max_byte(sink.max_byte());
  const size_t length = widest == 0 ? n : count_chars(p, n);
  if (!check.allows_str(n, length, widest)) return raise_refusal(check.refusal());
  Ref str(PyUnicode_New(static_cast<Py_ssize_t>(length), kWidestChar[widest]));
  if (!str) return nullptr;
  constexpr size_t kChunk = size_t{16} << 20;
  size_t done = 0;
  size_t chars = 0;
  auto copy = [&](auto* out) {
    while (done < n) {
      size_t end = std::min(n, done + kChunk);
      // Never split a character (valid UTF-8 has at most three continuation bytes).
      for (int k = 0; k < 3 && end < n && (static_cast<uint8_t>(p[end]) & 0xC0) == 0x80; ++k) --end;
      size_t got;
      if (widest == 0) {
        std::memcpy(out + chars, p + done, end - done);
        got = end - done;
      } else {
        got = decode_utf8(p + done, end - done, out + chars, length - chars);
        if (got == kNotDecoded) return false;
      }
      chars += got;
      done = end;
      if (check.counted()) sink.give_back(done);
    }
    return true;
  };
  void* data = PyUnicode_DATA(str.get());
  advise_huge_pages(data, length * PyUnicode_KIND(str.get()));
  bool decoded;
  switch (PyUnicode_KIND(str.get())) {
    case PyUnicode_1BYTE_KIND: decoded = copy(static_cast<Py_UCS1*>(data)); break;
    case PyUnicode_2BYTE_KIND: decoded = copy(static_cast<Py_UCS2*>(data)); break;
    default: decoded = copy(static_cast<Py_UCS4*>(data)); break;
  }
  if (!decoded || chars != length) {
    PyErr_SetString(PyExc_SystemError, "invariant: the XML writer only emits valid UTF-8");
    return nullptr;
  }
  return str.release();
}

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
    return document_str(sink, check);
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
