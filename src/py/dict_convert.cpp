// Node.to_dict and Node.from_dict. Both walk with explicit stacks: a tree a
// million levels deep costs heap memory, never native stack.
#include <array>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "py/node_map.h"
#include "py/py_str.h"

namespace orvex::py {

namespace {

constexpr std::array<std::string_view, 4> kFieldNames = {"name", "attrs", "children", "text"};

// The four field names as interned strs, made once per process.
PyObject* g_field_keys[4] = {};

PyObject* field_key(Field f) { return g_field_keys[static_cast<size_t>(f)]; }

}  // namespace

bool make_dict_keys() {
  for (size_t i = 0; i < std::size(g_field_keys); ++i) {
    if (g_field_keys[i] == nullptr) g_field_keys[i] = PyUnicode_InternFromString(kFieldNames[i].data());
    if (g_field_keys[i] == nullptr) return false;
  }
  return true;  // kept for the life of the process
}

Field field_of(std::string_view key) {
  for (int i = 0; i < 4; ++i)
    if (key == kFieldNames[i]) return static_cast<Field>(i);
  return Field::Other;
}

std::array<Field, 4> fresh_node_map_order() {
  // The keys are views into one process-wide buffer, so making a map costs
  // no string copies.
  static SourceBuffer* const names = SourceBuffer::copy_of("nameattrschildrentext", 21);
  static constexpr size_t kBounds[5] = {0, 4, 9, 17, 21};
  SipMap<Field> map;
  for (int i = 0; i < 4; ++i)
    map.insert(SharedStr::borrowed_view(names, kBounds[i], kBounds[i + 1]), static_cast<Field>(i));
  std::array<Field, 4> order{};
  size_t n = 0;
  map.for_each([&](const SharedStr&, Field f) { order[n++] = f; });
  return order;
}

// ------------------------------------------------------------------ to_dict

namespace {

// Pauses the cycle collector while a tree of dicts and lists is built: each
// element adds two tracked containers, and without the pause the collector's
// passes over the growing, cycle-free result take most of the time. The
// previous state comes back on every way out, exceptions included. A build
// without the global lock has no per-call switch that other threads would not
// see, so it keeps the collector running.
class CollectorPause {
 public:
  CollectorPause() noexcept {
#ifndef Py_GIL_DISABLED
    was_enabled_ = PyGC_Disable() != 0;
#endif
  }
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_ = false;
};

// The orders of one to_dict call. The four keys come in the order of one
// newly keyed node map; the entries of each "attrs" dict in the slot order of
// the node's attribute map, started at a slot chosen afresh for the call.
// Neither order means anything, and both change from call to call, without a
// hash map being made per element.
struct CallOrder {
  std::array<Field, 4> fields = fresh_node_map_order();
  uint64_t attr_start = hash_key_bytes(next_map_key(), {});
};

// Element names and attribute keys repeat throughout a document. Within one
// call, a short ASCII name or key equal to one made recently is handed out
// again instead of being made anew: equal strs, one object, whose hash the
// dicts then find already computed. The table is direct-mapped, so a lookup
// is one hash of a few bytes and one comparison; it holds a reference to each
// str it keeps and gives them back when the call ends.
class NameStrs {
 public:
  PyObject* get(const SharedStr& bytes) {
    const size_t n = bytes.size();
    const char* p = bytes.data();
    if (n == 0 || n > kMaxLength || !all_ascii(p, n)) return str_from_utf8(bytes);
    uint32_t h = static_cast<uint32_t>(n) * 0x9E3779B1u;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<uint8_t>(p[i])) * 0x01000193u;
    Ref& slot = slots_[(h >> 16) & (kSlots - 1)];
    if (slot && static_cast<size_t>(PyUnicode_GET_LENGTH(slot.get())) == n &&
        std::memcmp(PyUnicode_DATA(slot.get()), p, n) == 0)
      return Py_NewRef(slot.get());
    PyObject* made = str_from_ascii(p, n);
    if (made == nullptr) return nullptr;
    slot = Ref(Py_NewRef(made));
    return made;
  }

 private:
  static constexpr size_t kMaxLength = 64;
  static constexpr size_t kSlots = 512;
  Ref slots_[kSlots];
};

// A new dict of the attributes.
PyObject* attrs_dict(const AttrMap& attrs, uint64_t start_seed, NameStrs& names) {
  Ref dict(PyDict_New());
  if (!dict || attrs.empty()) return dict.release();
  const auto cap = static_cast<uint32_t>(attrs.capacity());
  const auto start = static_cast<uint32_t>(start_seed % cap);
  auto add = [&](AttrMap::const_iterator it, AttrMap::const_iterator end) {
    for (; it != end; ++it) {
      Ref k(names.get(it->key));
      if (!k) return false;
      Ref v(str_from_utf8(it->value));
      if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return false;
    }
    return true;
  };
  const AttrMap::const_iterator middle(&attrs, start);
  if (!add(middle, attrs.end()) || !add(attrs.begin(), AttrMap::const_iterator(&attrs, start)))
    return nullptr;
  return dict.release();
}

// The dict of one node, with its "children" list allocated at full length
// but not yet filled; `*children` receives that list (borrowed from the dict).
PyObject* node_dict(const NodeRecord& rec, const CallOrder& order, NameStrs& names,
                    PyObject** children) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (Field f : order.fields) {
    Ref value;
    switch (f) {
      case Field::Name: value = Ref(names.get(rec.name)); break;
      case Field::Attrs: value = Ref(attrs_dict(rec.attrs, order.attr_start, names)); break;
      case Field::Children:
        value = Ref(PyList_New(static_cast<Py_ssize_t>(rec.children.size())));
        *children = value.get();
        break;
      case Field::Text:
        value = rec.text ? Ref(str_from_utf8(*rec.text)) : Ref(Py_NewRef(Py_None));
        break;
      case Field::Other: break;
    }
    if (f == Field::Other) continue;
    if (!value || PyDict_SetItem(dict.get(), field_key(f), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

// A "children" list being filled: the node's children and the next to convert.
struct Pending {
  const ChildList* children;
  PyObject* list;  // borrowed: owned by the dict that holds it
  size_t next;
};

PyObject* to_dict(PyObject* self) {
  CollectorPause pause;
  const CallOrder order;
  NameStrs names;
  PyObject* list = nullptr;
  const NodeRecord& root_rec = record_of(self);
  // Until filled, a list holds null items; releasing it then is safe.
  Ref root(node_dict(root_rec, order, names, &list));
  if (!root) return nullptr;
  std::vector<Pending> stack;
  if (!root_rec.children.empty()) stack.push_back({&root_rec.children, list, 0});
  while (!stack.empty()) {
    Pending& top = stack.back();
    if (top.next == top.children->size()) {
      stack.pop_back();
      continue;
    }
    const size_t i = top.next++;
    PyObject* target = top.list;
    const NodeRecord& rec = record_of((*top.children)[i]);
    PyObject* dict = node_dict(rec, order, names, &list);  // may invalidate `top`
    if (dict == nullptr) return nullptr;
    PyList_SET_ITEM(target, static_cast<Py_ssize_t>(i), dict);
    if (!rec.children.empty()) stack.push_back({&rec.children, list, 0});
  }
  return root.release();
}

// ---------------------------------------------------------------- from_dict

const char* const kFromDictParams[] = {"dict_"};
const FuncDesc kFromDict = {"Node.from_dict()", kFromDictParams, 1, 1};

bool invalid(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return false;
}

// The checks of one element, in the order they are reported.
bool check_map(const ConvertedMap& m) {
  if (m.name_kind != ValueKind::String) return invalid("Invalid name");
  if (m.attrs_kind != ValueKind::Map) return invalid("Invalid attrs");
  if (m.children_kind != ValueKind::Vec) return invalid("Invalid children");
  return true;
}

// An element whose children are being built, with the children built so far.
struct BuildFrame {
  size_t map;
  size_t next = 0;
  RefList built;

  explicit BuildFrame(size_t m) : map(m) {}
};

// Builds one element's Node from its converted map and its built children.
PyObject* make_node(ConvertedMap& m, RefList& children) {
  NewRecord rec;
  rec.name = std::move(m.name);
  rec.attrs.reserve(m.attrs.size());
  for (auto& [k, v] : m.attrs) rec.attrs.insert(std::move(k), std::move(v));
  if (m.text_kind == ValueKind::String) rec.text = std::move(m.text);
  adopt_children(rec, children);
  return wrap_record(std::move(rec));
}

// Builds the tree bottom-up. Elements are checked in pre-order (name, attrs,
// children), so a node's whole subtree is built before its own text is read.
PyObject* build(ConvertedTree& tree) {
  if (!check_map(tree.maps[0])) return nullptr;
  std::vector<BuildFrame> stack;
  stack.emplace_back(0);
  for (;;) {
    BuildFrame& top = stack.back();
    ConvertedMap& m = tree.maps[top.map];
    if (top.next < m.children.size()) {
      const size_t child = m.children[top.next++];
      if (!check_map(tree.maps[child])) return nullptr;
      stack.emplace_back(child);  // invalidates `top`
      continue;
    }
    Ref node(make_node(m, top.built));
    stack.pop_back();
    if (!node) return nullptr;
    if (stack.empty()) return node.release();
    stack.back().built.push(std::move(node));
  }
}

}  // namespace

PyObject* node_to_dict(PyObject* self, PyObject*) {
  return guarded([&] { return to_dict(self); });
}

PyObject* node_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot;
    if (!bind_fast(kFromDict, args, nargs, kwnames, &slot)) return nullptr;
    if (!conv_dict(slot, "dict_")) return nullptr;
    ConvertedTree tree;
    if (!convert_node_maps(slot, "dict_", &tree)) return nullptr;
    return build(tree);
  });
}

}  // namespace orvex::py
