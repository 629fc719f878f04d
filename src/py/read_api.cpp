// The module functions read_string and read_file: bind the arguments, then
// parse and build the node records with the interpreter released, and make
// them Node objects once attached again.
#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py/node.h"
#include "read/file_source.h"
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
// (a new reference; each other node is referenced once, by its parent). The
// records are complete already, so this is one short loop.
PyObject* commit(read::BuiltTree& tree) {
  PyTypeObject* type = node_type();
  PyObject* root = as_object(tree.root());
  for (NodeSlab* slab : tree.release()) {
    slab->live = slab->used;
    for (size_t i = 0; i < slab->used; ++i) PyObject_Init(as_object(slab->node(i)), type);
  }
  return root;
}

// After re-attaching: raises the error, or makes the nodes.
PyObject* finish(Parsed& p) {
  if (p.os_error) return raise_os_error(*p.os_error);
  if (!*p.built) return raise_read_error(p.built->error());
  return commit(p.built->value());
}

}  // namespace

PyObject* read_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[2] = {nullptr, nullptr};
    if (!bind_fast(kReadString, args, nargs, kwnames, slots)) return nullptr;
    std::string_view xml, root;
    if (!conv_text(slots[0], "xml_string", &xml)) return nullptr;
    if (!conv_text(slots[1], "root_tag", &root)) return nullptr;
    std::string root_tag(root);
    // The buffer views the str's own UTF-8 and keeps the str alive.
    SourceHandle doc(SourceBuffer::over_python(Py_NewRef(slots[0]), xml.data(), xml.size()));
    Parsed p;
    {
      Detached detached;
      p.built.emplace(read::build_tree(doc.get(), root_tag));
      doc.reset();  // from here on the node blocks hold the buffer
    }
    return finish(p);
  });
}

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[2] = {nullptr, nullptr};
    if (!bind_fast(kReadFile, args, nargs, kwnames, slots)) return nullptr;
    std::string_view path_view, root;
    if (!conv_text(slots[0], "file_path", &path_view)) return nullptr;
    if (!conv_text(slots[1], "root_tag", &root)) return nullptr;
    std::string path(path_view), root_tag(root);

    Parsed p;
    Detached detached;
    {
      auto doc = read::read_file_source(path, detached.interrupts());
      if (!doc) p.os_error = doc.error();
      else p.built.emplace(read::build_tree(doc->get(), root_tag));
    }
    detached.attach();
    if (detached.raise_kept()) return nullptr;  // a signal handler's exception
    return finish(p);
  });
}

}  // namespace orvex::py
