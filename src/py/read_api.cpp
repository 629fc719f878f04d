// The module functions read_string and read_file: bind the arguments, then
// parse and build the node records with the interpreter released, and make
// them Node objects once attached again.
#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py/detached.h"
#include "py/node.h"
#include "read/file_source.h"
#include "text/utf8.h"
#include "storage/block_pool.h"
#include "read/tree_builder.h"

namespace orvex::py {

namespace {

const char* const kReadStringParams[] = {"xml_string", "root_tag"};
const char* const kReadFileParams[] = {"file_path", "root_tag"};
const FuncDesc kReadString{"read_string()", kReadStringParams, 2, 2};
const FuncDesc kReadFile{"read_file()", kReadFileParams, 2, 2};

// What the detached phase of a read hands back.
struct Parsed {
  std::optional<OsError> os_error;
  std::optional<read::BuildResult> built;
};

// Attached: makes every record of a read a Node object and returns the root
// (a new reference; each other node is referenced once, by its parent).
PyObject* commit(read::BuiltTree& tree) {
  PyObject* root = take_records(tree.slabs(), tree.root());
  if (root == nullptr) return nullptr;  // the tree frees its blocks
  (void)tree.release();  // the nodes' now
  return root;
}

// After re-attaching: raises the error, or makes the nodes.
PyObject* finish(Parsed& p) {
  if (p.os_error) return raise_os_error(*p.os_error);
  if (!*p.built) return raise_read_error(p.built->error());
  return commit(p.built->value());
}

// The UTF-8 of a str that is not ASCII, encoded while detached into a block
// of the document's own: the interpreter's UTF-8 would stay cached with the
// str, doubling its memory for as long as the str lives, and is made one
// character at a time. Null for a str holding a lone surrogate.
SourceBuffer* encode_document(PyObject* str) {
  const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
  const int kind = PyUnicode_KIND(str);
  const void* chars = PyUnicode_DATA(str);
  const PoolBlock block = pool_take(std::max<size_t>(text::utf8_room(n, kind), 1));
  if (block.data == nullptr) throw std::bad_alloc();
  auto* out = static_cast<char*>(block.data);
  size_t len;
  switch (kind) {
    case PyUnicode_1BYTE_KIND: len = text::encode_utf8(static_cast<const uint8_t*>(chars), n, out); break;
    case PyUnicode_2BYTE_KIND: len = text::encode_utf8(static_cast<const uint16_t*>(chars), n, out); break;
    default: len = text::encode_utf8(static_cast<const uint32_t*>(chars), n, out); break;
  }
  if (len == text::kLoneSurrogate) {
    pool_give(block);
    return nullptr;
  }
  return SourceBuffer::adopt_block(block.data, block.bytes, len);
}

// The interpreter's own UnicodeEncodeError for a str that cannot be UTF-8,
// labelled for the argument.
PyObject* raise_unencodable(PyObject* str, const char* param) {
  Py_ssize_t n;
  if (PyUnicode_AsUTF8AndSize(str, &n) == nullptr) label(param);
  else PyErr_SetString(PyExc_SystemError, "orvex: a str with a lone surrogate encoded");
  return nullptr;
}

// root_tag failed its conversion; the document's own fault, a str that
// cannot be UTF-8, is the one reported, as arguments are converted in order.
// Anything else met while finding that out (a MemoryError) is raised as it is.
PyObject* report_unencodable_first(PyObject* xml, bool ascii) {
  if (ascii) return nullptr;
  Ref root_error = fetch_raised();
  Py_ssize_t n;
  if (PyUnicode_AsUTF8AndSize(xml, &n) != nullptr) {
    restore_raised(std::move(root_error));
    return nullptr;
  }
  if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) label("xml_string");
  return nullptr;
}

}  // namespace

PyObject* read_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[2] = {nullptr, nullptr};
    if (!bind_fast(kReadString, args, nargs, kwnames, slots)) return nullptr;
    PyObject* const xml = slots[0];
    if (!PyUnicode_Check(xml)) {
      set_type_mismatch(xml, "str");
      label("xml_string");
      return nullptr;
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(xml) < 0) {
      label("xml_string");
      return nullptr;
    }
#endif
    const bool ascii = PyUnicode_IS_ASCII(xml);
    std::string_view root;
    if (!conv_text(slots[1], "root_tag", &root)) return report_unencodable_first(xml, ascii);
    std::string root_tag(root);
    // An ASCII str is its own UTF-8: the buffer views it and keeps it alive.
    SourceHandle doc;
    if (ascii)
      doc = SourceHandle(SourceBuffer::over_python(Py_NewRef(xml), static_cast<const char*>(PyUnicode_DATA(xml)),
                                                   static_cast<size_t>(PyUnicode_GET_LENGTH(xml))));
    Parsed p;
    // The str stays alive (the caller holds it) and unchanged while detached.
    Detached detached;
    detached.run([&] {
      if (!ascii) doc = SourceHandle(encode_document(xml));
      if (doc.get() != nullptr) p.built.emplace(read::build_tree(doc.get(), root_tag));
      doc.reset();  // from here on the node blocks hold the buffer
    });
    if (!p.built) return raise_unencodable(xml, "xml_string");
    return finish(p);
  });
}

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[2] = {nullptr, nullptr};
    if (!bind_fast(kReadFile, args, nargs, kwnames, slots)) return nullptr;
    std::string path;
    std::string_view root;
    if (!conv_path(slots[0], "file_path", &path)) return nullptr;
    if (!conv_text(slots[1], "root_tag", &root)) return nullptr;
    const std::string root_tag(root);

    Parsed p;
    Detached detached;
    detached.run([&] {
      auto doc = read::read_file_source(path, detached.interrupts());
      if (!doc) p.os_error = doc.error();
      else p.built.emplace(read::build_tree(doc->get(), root_tag));
    });
    if (detached.raise_kept()) return nullptr;  // a signal handler's exception
    return finish(p);
  });
}

}  // namespace orvex::py
