// The readable multi-line text form of a node: str(node) and __to_string.
#include <string>
#include <vector>

#include "py/node.h"

namespace orvex::py {

namespace {

const char* const kToStringParams[] = {"spacing"};
const FuncDesc kToStringDesc = {"Node.__to_string()", kToStringParams, 1, 0};

// The output grows with the square of the depth (every line carries its
// indentation), so very deep trees are refused the way Python refuses to
// repr deeply nested containers.
bool too_deep(size_t depth) {
  if (depth <= static_cast<size_t>(Py_GetRecursionLimit())) return false;
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while getting the str of a Node");
  return true;
}

void write_header(std::string& out, const NodeRecord& r, size_t indent) {
  const std::string pad(indent, ' ');
  out += pad;
  out += "Name: ";
  out += r.name.sv();
  if (!r.attrs.empty()) {
    out += '\n';
    out += pad;
    out += "Attributes:";
    for (const auto& e : r.attrs) {
      out += '\n';
      out += pad;
      out += e.key.sv();
      out += ": ";
      out += e.value.sv();
    }
  }
  if (r.text) {
    out += '\n';
    out += pad;
    out += "Text: ";
    out += r.text->sv();
  }
  if (!r.children.empty()) {
    out += '\n';
    out += pad;
    out += "Children:";
  }
}

// Each child block is "\n", the parent's indentation, the child's own form at
// two more spaces, "\n". Walked with an explicit stack, so depth costs no
// native stack.
bool text_form(PyObject* root, size_t spacing, std::string& out) {
  struct Frame {
    const NodeRecord* rec;
    size_t next_child;
    size_t indent;
  };
  std::vector<Frame> stack;
  write_header(out, record_of(root), spacing);
  stack.push_back({&record_of(root), 0, spacing});
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next_child == f.rec->children.size()) {
      stack.pop_back();
      if (!stack.empty()) out += '\n';  // closes the parent's child block
      continue;
    }
    const NodeRecord& child = record_of(f.rec->children[f.next_child++]);
    const size_t parent_indent = f.indent;
    if (too_deep(stack.size() + 1)) return false;
    out += '\n';
    out.append(parent_indent, ' ');
    write_header(out, child, parent_indent + 2);
    stack.push_back({&child, 0, parent_indent + 2});
  }
  return true;
}

PyObject* render(PyObject* self, size_t spacing) {
  std::string out;
  if (!text_form(self, spacing, out)) return nullptr;
  return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), nullptr);
}

}  // namespace

PyObject* node_str(PyObject* self) {
  return guarded([&] { return render(self, 0); });
}

PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[1];
    if (!bind_fast(kToStringDesc, args, nargs, kwnames, slot)) return nullptr;
    uint8_t spacing = 0;
    if (!is_default(slot[0]) && !conv_u8(slot[0], "spacing", &spacing)) return nullptr;
    return render(self, spacing);
  });
}

}  // namespace orvex::py
