// Node.to_dict and Node.from_dict. Both walk with explicit stacks: a tree a
// million levels deep costs heap memory, never native stack.
#include <array>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "py/signals.h"
#include "py/collector_pause.h"
#include "py/node_map.h"
#include "py/py_dict.h"
#include "py/py_str.h"

namespace orvex::py {

namespace {

constexpr std::array<std::string_view, 4> kFieldNames = {"name", "attrs", "children", "text"};

// The four field names as interned strs, made once per process.
PyObject* g_field_keys[4] = {};

}  // namespace

PyObject* field_key(Field f) { return g_field_keys[static_cast<size_t>(f)]; }


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

// ------------------------------------------------------------------ to_dict

namespace {

// Element names and attribute keys repeat throughout a document. Within one
// call, a short ASCII name or key equal to one made recently is handed out
// again instead of being made anew: equal strs, one object, whose hash the
// dicts then find already computed. The table is direct-mapped, so a lookup
// is one hash of a few words and one comparison. Its slots borrow from a
// list that owns every str the table took, given back when the call ends;
// so a call costs clearing the slots, not visiting them all again (the
// small documents of a set are a few dozen elements each).
class NameStrs {
 public:
  PyObject* get(const SharedStr& bytes) {
    const size_t n = bytes.size();
    const char* p = bytes.data();
    if (n == 0 || n > kMaxLength) return str_from_utf8(bytes);
    if (n <= text::kShortStr) {
      // Hashed and compared as the two words that hold the string.
      const text::ShortWords w = text::short_words(p, n);
      if (!w.ascii()) return str_from_utf8(bytes);
      PyObject*& slot = slot_of((w.a * 0x9E3779B97F4A7C15ull) ^ (w.b * 0xC2B2AE3D27D4EB4Full) ^ n);
      if (slot != nullptr && static_cast<size_t>(PyUnicode_GET_LENGTH(slot)) == n &&
          text::short_words(static_cast<const char*>(PyUnicode_DATA(slot)), n) == w)
        return Py_NewRef(slot);
      return keep(slot, str_from_short_ascii(w, n));
    }
    if (!text::all_ascii(p, n)) return str_from_utf8(bytes);
    uint64_t h = 0xCBF29CE484222325ull;  // FNV-1a
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<uint8_t>(p[i])) * 0x100000001B3ull;
    PyObject*& slot = slot_of(h);
    if (slot != nullptr && static_cast<size_t>(PyUnicode_GET_LENGTH(slot)) == n &&
        std::memcmp(PyUnicode_DATA(slot), p, n) == 0)
      return Py_NewRef(slot);
    return keep(slot, str_from_ascii(p, n));
  }

 private:
  static constexpr size_t kMaxLength = 64;
  static constexpr unsigned kSlotBits = 9;

  // The slot from the top bits of a multiply that carries every bit of the
  // hash there (FNV alone leaves the middle bits nearly blind to the last
  // byte, so attr1, attr2, ... would share a slot).
  PyObject*& slot_of(uint64_t h) noexcept { return slots_[(h * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits)]; }

  PyObject* keep(PyObject*& slot, PyObject* made) {
    if (made == nullptr) return nullptr;
    kept_.push(Ref(Py_NewRef(made)));
    slot = made;
    return made;
  }

  PyObject* slots_[size_t{1} << kSlotBits] = {};  // borrowed from kept_
  RefList kept_;
};

// A new dict of the attributes, in the attribute map's order.
PyObject* attrs_dict(const AttrMap& attrs, NameStrs& names) {
  Ref dict(new_dict(static_cast<Py_ssize_t>(attrs.size())));
  if (!dict) return nullptr;
  for (const auto& e : attrs) {
    Ref k(names.get(e.key));
    if (!k) return nullptr;
    Ref v(str_from_utf8(e.value));
    if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

// The dict of one node, its keys in one fixed order (name, attrs, children,
// text), with its "children" list allocated at full length but not yet
// filled; `*children` receives that list (borrowed from the dict).
PyObject* node_dict(const NodeRecord& rec, NameStrs& names, PyObject** children) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  auto put = [&](Field f, Ref value) {
    return value && PyDict_SetItem(dict.get(), field_key(f), value.get()) == 0;
  };
  Ref list(PyList_New(static_cast<Py_ssize_t>(rec.children.size())));
  if (!list) return nullptr;
  *children = list.get();
  if (!put(Field::Name, Ref(names.get(rec.name))) || !put(Field::Attrs, Ref(attrs_dict(rec.attrs, names))) ||
      !put(Field::Children, std::move(list)) ||
      !put(Field::Text, rec.text ? Ref(str_from_utf8(*rec.text)) : Ref(Py_NewRef(Py_None))))
    return nullptr;
  return dict.release();
}

// A "children" list being filled: the node's children and the next to convert.
struct Pending {
  const ChildList* children;
  PyObject* list;  // borrowed: owned by the dict that holds it
  size_t next;
};

// Builds the dicts of the tree; `*made` counts the nodes converted.
PyObject* build_dicts(PyObject* self, size_t* made) {
  NameStrs names;
  PyObject* list = nullptr;
  const NodeRecord& root_rec = record_of(self);
  // Until filled, a list holds null items; releasing it then is safe.
  Ref root(node_dict(root_rec, names, &list));
  if (!root) return nullptr;
  std::vector<Pending> stack;
  if (!root_rec.children.empty()) stack.push_back({&root_rec.children, list, 0});
  SignalChecks signals;
  while (!stack.empty()) {
    if (!signals.step()) return nullptr;
    Pending& top = stack.back();
    if (top.next == top.children->size()) {
      stack.pop_back();
      continue;
    }
    const size_t i = top.next++;
    PyObject* target = top.list;
    const NodeRecord& rec = record_of((*top.children)[i]);
    PyObject* dict = node_dict(rec, names, &list);  // may invalidate `top`
    if (dict == nullptr) return nullptr;
    ++*made;
    PyList_SET_ITEM(target, static_cast<Py_ssize_t>(i), dict);
    if (!rec.children.empty()) stack.push_back({&rec.children, list, 0});
  }
  return root.release();
}

// A result of this many nodes or more is worth a pass of the collector
// (see CollectorPause::let_others_join).
constexpr size_t kLargeResult = 4096;

PyObject* to_dict(PyObject* self) {
  CollectorPause pause;
  size_t made = 0;
  PyObject* result = build_dicts(self, &made);
  if (result != nullptr && made >= kLargeResult) pause.let_others_join();
  return result;
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
  SignalChecks signals;
  for (;;) {
    if (!signals.step()) return nullptr;
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
