// Node.search_by_name / search_by_attr / search_by_text / search: one
// pre-order visit of the subtree, with an explicit stack so that depth costs
// heap memory, never native stack.
#include <string_view>
#include <vector>

#include "py/signals.h"
#include "py/node.h"
#include "py/search_type.h"

namespace orvex::py {

namespace {

// How deep to go: unlimited, or `remaining` more levels below the start.
// A negative depth counts down from below zero and never reaches zero, so
// it is simply unlimited.
struct DepthLimit {
  bool limited = false;
  int32_t remaining = 0;
};

bool convert_depth(PyObject* slot, DepthLimit* out) {
  if (is_default(slot)) return true;
  int32_t d;
  if (!conv_i32(slot, "depth", &d)) return false;
  if (d >= 0) *out = {true, d};
  return true;
}

struct NameMatch {
  std::string_view want;
  bool operator()(const NodeRecord& r) const { return r.name.sv() == want; }
};
struct AttrMatch {
  std::string_view want;
  // One hash lookup with the map's own key; an empty map is never probed.
  bool operator()(const NodeRecord& r) const { return !r.attrs.empty() && r.attrs.find(want); }
};
struct TextMatch {
  std::string_view want;
  bool operator()(const NodeRecord& r) const { return r.text && r.text->sv() == want; }
};

// A node whose children are being visited: the next child to visit and the
// depth left for those children.
struct Frame {
  const ChildList* children;
  size_t next;
  int32_t remaining;
};

// Every node visited is reachable from `start`, which the caller holds, and
// records never change, so no visited node can go away during the visit and
// matches are collected as borrowed pointers until the list is built.
template <class Match>
PyObject* visit(PyObject* start, Match match, DepthLimit depth) {
  std::vector<Node*> found;
  std::vector<Frame> stack;

  // Examines one node and, when its children are to be visited, pushes them.
  auto examine = [&](Node* node, int32_t remaining) {
    const NodeRecord& rec = node->rec;
    if (match(rec)) found.push_back(node);
    if (rec.children.empty()) return;
    if (depth.limited) {
      if (remaining == 0) return;
      stack.push_back({&rec.children, 0, remaining - 1});
    } else {
      stack.push_back({&rec.children, 0, 0});
    }
  };

  examine(as_node(start), depth.remaining);
  SignalChecks signals;
  while (!stack.empty()) {
    if (!signals.step()) return nullptr;
    Frame& top = stack.back();
    if (top.next == top.children->size()) {
      stack.pop_back();
      continue;
    }
    Node* child = (*top.children)[top.next++];
    examine(child, top.remaining);  // may reallocate the stack: `top` is dead here
  }

  Ref list(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < found.size(); ++i) {
    PyObject* o = object_of(found[i]);
    if (o == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), o);
  }
  return list.release();
}

PyObject* run(PyObject* self, SearchKind kind, std::string_view value, DepthLimit depth) {
  switch (kind) {
    case SearchKind::Tag: return visit(self, NameMatch{value}, depth);
    case SearchKind::Attr: return visit(self, AttrMatch{value}, depth);
    case SearchKind::Text: return visit(self, TextMatch{value}, depth);
  }
  PyErr_SetString(PyExc_SystemError, "orvex: unknown search kind");
  return nullptr;
}

const char* const kNameParams[] = {"name", "depth"};
const char* const kAttrParams[] = {"key", "depth"};
const char* const kTextParams[] = {"text", "depth"};
const char* const kSearchParams[] = {"by", "value", "depth"};

const FuncDesc kByName = {"Node.search_by_name()", kNameParams, 2, 1};
const FuncDesc kByAttr = {"Node.search_by_attr()", kAttrParams, 2, 1};
const FuncDesc kByText = {"Node.search_by_text()", kTextParams, 2, 1};
const FuncDesc kSearch = {"Node.search()", kSearchParams, 3, 2};

// The three single-kind methods share everything but their description.
PyObject* search_one_kind(const FuncDesc& desc, SearchKind kind, PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[2];
    if (!bind_fast(desc, args, nargs, kwnames, slots)) return nullptr;
    std::string_view value;
    if (!conv_text(slots[0], desc.params[0], &value)) return nullptr;
    DepthLimit depth;
    if (!convert_depth(slots[1], &depth)) return nullptr;
    return run(self, kind, value, depth);
  });
}

}  // namespace

PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return search_one_kind(kByName, SearchKind::Tag, self, args, nargs, kwnames);
}

PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return search_one_kind(kByAttr, SearchKind::Attr, self, args, nargs, kwnames);
}

PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return search_one_kind(kByText, SearchKind::Text, self, args, nargs, kwnames);
}

PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[3];
    if (!bind_fast(kSearch, args, nargs, kwnames, slots)) return nullptr;
    SearchKind by;
    if (!conv_search_kind(slots[0], "by", &by)) return nullptr;
    std::string_view value;
    if (!conv_text(slots[1], "value", &value)) return nullptr;
    DepthLimit depth;
    if (!convert_depth(slots[2], &depth)) return nullptr;
    return run(self, by, value, depth);
  });
}

}  // namespace orvex::py
