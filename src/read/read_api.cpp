// The module functions read_string and read_file: bind the arguments, parse
// with the interpreter released, then turn the PlainElement tree into Node
// objects.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "entities/node.h"
#include "read/file_source.h"
#include "read/tree_builder.h"

namespace orvex::py {

namespace {

const char* const kReadStringParams[] = {"xml_string", "root_tag"};
const char* const kReadFileParams[] = {"file_path", "root_tag"};
const FuncDesc kReadString{"read_string()", kReadStringParams, 2, 2};
const FuncDesc kReadFile{"read_file()", kReadFileParams, 2, 2};

// Wraps the flat tree into Node objects from the back, so every element
// comes after all of its descendants and finds its children on top of the
// stack of wrapped nodes, first child topmost (see read/flat_tree.h). No
// recursion, so any depth is safe. Names, attribute maps and texts move over
// unchanged: views stay views. On failure every Node made so far and the
// elements not yet wrapped are released and nullptr returned.
PyObject* wrap_tree(read::FlatTree&& tree) {
  // Wrapped nodes waiting for their parent, one strong reference each.
  std::vector<PyObject*> made;
  struct ReleaseMade {
    std::vector<PyObject*>& v;
    ~ReleaseMade() {
      for (PyObject* o : v) Py_DECREF(o);
    }
  } guard{made};

  // One holder count per record, taken in one atomic step rather than one
  // per record; the counts of records never made go back at the end.
  auto& els = tree.elements;
  tree.retain_for(els.size());
  struct ReleaseUnused {
    read::FlatTree& t;
    ~ReleaseUnused() {
      for (size_t k = 0; k < t.elements.size(); ++k) t.source->release();
    }
  } unused{tree};
  while (!els.empty()) {
    read::FlatElement& el = els.back();
    NodeRecord rec(tree.map_key);
    rec.source = tree.adopt();
    rec.name = tree.name_of(el);
    if (el.attrs) rec.attrs = std::move(tree.maps[el.attrs - 1]);
    if (el.text) rec.text = std::move(tree.texts[el.text - 1]);
    const size_t k = el.children;
    rec.children.assign(made.rbegin(), made.rbegin() + static_cast<std::ptrdiff_t>(k));
    made.resize(made.size() - k);  // the references now belong to the record
    els.pop_back();
    Ref node(wrap_record(std::move(rec)));
    if (!node) return nullptr;
    made.push_back(node.release());
  }
  PyObject* root = made.back();
  made.pop_back();
  return root;
}

// What the detached phase of a read hands back.
struct Parsed {
  std::optional<OsError> os_error;
  std::optional<read::FlatResult> tree;
};

// After re-attaching: raises the error, or wraps the tree.
PyObject* finish(Parsed& p) {
  if (p.os_error) return raise_os_error(*p.os_error);
  if (!*p.tree) return raise_read_error(p.tree->error());
  return wrap_tree(std::move(*p.tree).value());
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
    SourceHandle doc(SourceBuffer::over_python(slots[0], xml.data(), xml.size()));
    Py_INCREF(slots[0]);
    Parsed p;
    {
      Detached detached;
      p.tree.emplace(read::build_flat_tree(doc.get(), root_tag));
      doc.reset();  // from here on the tree's views hold the buffer
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
    {
      Detached detached;
      auto doc = read::read_file_source(path);
      if (!doc) p.os_error = doc.error();
      else p.tree.emplace(read::build_flat_tree(doc->get(), root_tag));
    }
    return finish(p);
  });
}

}  // namespace orvex::py
