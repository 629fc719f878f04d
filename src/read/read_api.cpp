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

// Wraps the tree into Node objects, every element after its children, with
// an explicit stack instead of recursion so that any depth is safe. Names,
// attribute maps and texts move over unchanged: views stay views. On failure
// every Node made so far is released and nullptr returned.
PyObject* wrap_tree(PlainElement&& root) {
  struct Frame {
    PlainElement* el;
    size_t next_child;  // children below this index are wrapped
    size_t base;        // where this element's wrapped children start in `made`
  };
  std::vector<Frame> stack;
  // Wrapped children waiting for their parent, one strong reference each.
  std::vector<PyObject*> made;
  struct ReleaseMade {
    std::vector<PyObject*>& v;
    ~ReleaseMade() {
      for (PyObject* o : v) Py_DECREF(o);
    }
  } guard{made};

  stack.push_back({&root, 0, 0});
  for (;;) {
    Frame& f = stack.back();
    if (f.next_child < f.el->children.size()) {
      PlainElement* child = &f.el->children[f.next_child++];
      stack.push_back({child, 0, made.size()});
      continue;
    }
    PlainElement& el = *f.el;
    NodeRecord rec;
    rec.source = std::move(el.source);
    rec.name = std::move(el.name);
    rec.attrs = std::move(el.attrs);
    rec.text = std::move(el.text);
    rec.children.assign(made.begin() + static_cast<std::ptrdiff_t>(f.base), made.end());
    made.resize(f.base);  // the references now belong to the record
    // The children are moved-out shells now; free them early to keep the
    // peak memory of wrapping low.
    std::vector<PlainElement>().swap(el.children);
    Ref node(wrap_record(std::move(rec)));
    if (!node) return nullptr;
    stack.pop_back();
    if (stack.empty()) return node.release();
    made.push_back(node.get());
    node.release();
  }
}

// What the detached phase of a read hands back.
struct Parsed {
  std::optional<OsError> os_error;
  std::optional<read::TreeResult> tree;
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
      p.tree.emplace(read::build_tree(doc.get(), root_tag));
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
      else p.tree.emplace(read::build_tree(doc->get(), root_tag));
    }
    return finish(p);
  });
}

}  // namespace orvex::py
