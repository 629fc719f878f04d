// The readable multi-line text form of a node: str(node) and __to_string.
#include <algorithm>
#include <string>
#include <map>
#include <vector>

#include "py/signals.h"
#include "py/node.h"
#include "py/py_str.h"
#include "saturating.h"
#include "write/memory_limits.h"
#include "write/size_policy.h"

namespace orvex::py {

namespace {

const char* const kToStringParams[] = {"spacing"};
const FuncDesc kToStringDesc = {"Node.__to_string()", kToStringParams, 1, 0};

// The size of a node's text form at indentation k is lines * k + bytes:
// every line carries the indentation once. Its own lines are the name's,
// "Attributes:" and one per attribute, the text's and "Children:"; each
// child's block adds, at k + 2, its own size, the parent's k spaces before
// its first line, and two line feeds. Saturating counts.
struct FormSize {
  uint64_t lines = 0;
  uint64_t bytes = 0;
  uint64_t height = 1;  // levels, the node's own included
};

FormSize own_size(const NodeRecord& r) noexcept {
  FormSize s;
  s.lines = 1;
  s.bytes = 6 + r.name.size();  // "Name: "
  if (!r.attrs.empty()) {
    s.lines += 1 + r.attrs.size();
    s.bytes += 12;  // "\nAttributes:"
    for (const auto& e : r.attrs) s.bytes = saturating_add(s.bytes, 3 + e.key.size() + e.value.size());  // "\n", ": "
  }
  if (r.text) {
    s.lines += 1;
    s.bytes = saturating_add(s.bytes, 7 + r.text->size());  // "\nText: "
  }
  if (!r.children.empty()) {
    s.lines += 1;
    s.bytes += 10;  // "\nChildren:"
  }
  return s;
}

void add_child(FormSize& parent, const FormSize& c) noexcept {
  parent.lines = saturating_add(parent.lines, saturating_add(1, c.lines));
  parent.bytes = saturating_add(parent.bytes, saturating_add(saturating_add(2, saturating_mul(2, c.lines)), c.bytes));
  parent.height = std::max(parent.height, c.height + 1);
}

// Whether a node may stand in more than one place: only one whose object
// is referenced more than once can (a node without an object has only its
// parent).
bool maybe_shared(const Node* n) noexcept {
  const PyObject* o = existing_object(n);
  return o != nullptr && Py_REFCNT(o) > 1;
}

// The size of the whole form, found without writing it, in time linear in
// the distinct nodes and their child lists: a node that others share is
// sized once.
FormSize form_size(PyObject* root) {
  struct Frame {
    const Node* node;
    size_t next;
    FormSize size;
  };
  std::map<const Node*, FormSize> shared;
  std::vector<Frame> stack;
  stack.push_back({as_node(root), 0, own_size(record_of(root))});
  for (;;) {
    Frame& f = stack.back();
    const ChildList& kids = f.node->rec.children;
    if (f.next < kids.size()) {
      const Node* c = kids[f.next++];
      if (maybe_shared(c)) {
        if (auto it = shared.find(c); it != shared.end()) {
          add_child(f.size, it->second);
          continue;
        }
      }
      stack.push_back({c, 0, own_size(c->rec)});  // invalidates `f`
      continue;
    }
    const FormSize done = f.size;
    const Node* node = f.node;
    stack.pop_back();
    if (stack.empty()) return done;
    if (maybe_shared(node)) shared.emplace(node, done);
    add_child(stack.back().size, done);
  }
}

// Forms up to this size are made without asking the memory limits (reading
// them costs more than a small form).
constexpr uint64_t kUnchecked = uint64_t{64} << 20;

// The output grows with the square of the depth (every line carries its
// indentation), so very deep trees are refused the way Python refuses to
// repr deeply nested containers. A form larger than the memory limits leave
// is refused before it is made.
bool check_size(PyObject* root, size_t spacing, uint64_t* bytes) {
  const FormSize s = form_size(root);
  if (s.height > static_cast<uint64_t>(Py_GetRecursionLimit())) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while getting the str of a Node");
    return false;
  }
  *bytes = saturating_add(saturating_mul(s.lines, spacing), s.bytes);
  if (*bytes <= kUnchecked) return true;
  // The bytes and the str made from them exist at once.
  if (auto refused = check_headroom(write_string_peak(*bytes, 0), "the text form of the node")) {
    raise_refusal(refused);
    return false;
  }
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
  SignalChecks signals;
  while (!stack.empty()) {
    if (!signals.step()) return false;
    Frame& f = stack.back();
    if (f.next_child == f.rec->children.size()) {
      stack.pop_back();
      if (!stack.empty()) out += '\n';  // closes the parent's child block
      continue;
    }
    const NodeRecord& child = record_of(f.rec->children[f.next_child++]);
    const size_t parent_indent = f.indent;
    out += '\n';
    out.append(parent_indent, ' ');
    write_header(out, child, parent_indent + 2);
    stack.push_back({&child, 0, parent_indent + 2});
  }
  return true;
}

PyObject* render(PyObject* self, size_t spacing) {
  uint64_t bytes;
  if (!check_size(self, spacing, &bytes)) return nullptr;
  std::string out;
  out.reserve(static_cast<size_t>(bytes));
  if (!text_form(self, spacing, out)) return nullptr;
  return str_from_utf8(out.data(), out.size(), LargeStr{});
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
