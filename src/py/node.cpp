// The Node class: construction, the read-only properties, repr, and release.
#include "py/node.h"

#include "py/node_map.h"
#include "py/py_dict.h"
#include "py/py_str.h"

#include <string>
#include <utility>
#include <vector>

namespace orvex::py {

namespace {

PyTypeObject* g_node_type = nullptr;

const char* const kNewParams[] = {"name", "attrs", "children", "text"};
const FuncDesc kNewDesc = {"Node.__new__()", kNewParams, 4, 1};

bool convert_attrs(PyObject* dict, AttrMap* out) {
  if (!conv_dict(dict, "attrs")) return false;
  std::vector<std::pair<SharedStr, SharedStr>> entries;
  entries.reserve(static_cast<size_t>(PyDict_Size(dict)));
  const bool converted = for_each_item(dict, [&](PyObject* k, PyObject* v) {
    std::string_view key, value;
    if (!text_of(k, &key) || !text_of(v, &value)) return false;
    entries.emplace_back(SharedStr::owned(key), SharedStr::owned(value));
    return true;
  });
  if (!converted) return label("attrs");
  AttrMap map;
  map.reserve(entries.size());
  for (auto& [key, value] : entries) map.insert(std::move(key), std::move(value));
  *out = std::move(map);
  return true;
}

// Beyond this many children the list grows as items come: a few doublings
// more for a real list that long, and no huge reservation for a __len__ that
// lies.
constexpr size_t kChildrenHintCap = size_t{1} << 16;

bool convert_children(PyObject* seq, RefList* out) {
  if (!conv_sequence(seq, "children")) return false;
  size_t hint;
  if (!size_hint(seq, kChildrenHintCap, &hint)) return label("children");
  out->reserve(hint);
  Ref it(PyObject_GetIter(seq));
  if (!it) return label("children");
  while (Ref item{PyIter_Next(it.get())}) {
    if (!is_node(item.get())) {
      set_type_mismatch(item.get(), "Node");
      return label("children");
    }
    out->push(std::move(item));
  }
  return !PyErr_Occurred() || label("children");
}

PyObject* node_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[4];
    if (!bind_tuple(kNewDesc, args, kwargs, slot)) return nullptr;
    NewRecord rec;
    std::string_view text;
    if (!conv_text(slot[0], "name", &text)) return nullptr;
    rec.name = SharedStr::owned(text);
    if (!is_default(slot[1]) && !convert_attrs(slot[1], &rec.attrs)) return nullptr;
    if (!is_default(slot[2])) {
      RefList kids;
      if (!convert_children(slot[2], &kids)) return nullptr;
      adopt_children(rec, kids);
    }
    if (!is_default(slot[3])) {
      if (!conv_text(slot[3], "text", &text)) return nullptr;
      rec.text = SharedStr::owned(text);
    }
    return wrap_record(std::move(rec), type);
  });
}

// Releasing a node releases its children, which may release theirs, and so
// on: a chain a million levels deep would overflow the native stack. So the
// outermost release walks the dying subtree itself, depth first, and a
// release that happens meanwhile (a child's count reaching zero) only hands
// the child to that walk. Each dying node is finished right after its own
// subtree, while its memory is still in cache, and the walk needs no memory
// of its own: a dead node's head holds its place in the walk (the count
// field the next child to release, the type field the node it was a child
// of, or while handed, the next handed node). The walk is the releasing
// thread's: with the interpreter's lock that is one thread at a time;
// without it, each thread has its own.
#if defined(Py_GIL_DISABLED)
thread_local Node* t_handed = nullptr;
thread_local bool t_releasing = false;
#else
Node* t_handed = nullptr;
bool t_releasing = false;
#endif
intptr_t& next_child_of(Node* n) noexcept { return n->head.refcnt; }
Node*& link_of(Node* n) noexcept { return reinterpret_cast<Node*&>(n->head.type); }

// Gives back what a dead node holds, and its memory. Its children have been
// released already.
void finish_node(Node* n) noexcept {
  NodeSlab* slab = n->rec.slab;
  n->rec.children.forget();
  n->rec.~NodeRecord();
#if defined(Py_GIL_DISABLED)
  if (slab == nullptr) ::operator delete(n);
#else
  PyTypeObject* const tp = node_type();
  if (slab == nullptr) tp->tp_free(n);
#endif
  else if (slab->release_one()) NodeSlab::destroy(slab);
#if !defined(Py_GIL_DISABLED)
  Py_DECREF(tp);
#endif
}

// Gives back the parent's hold on a child: a reference to its object, or,
// free-threaded, the child itself when it has no object. True when the
// child is to be walked next.
bool let_go(Node* child) noexcept {
#if defined(Py_GIL_DISABLED)
  if (PyObject* o = existing_object(child)) {
    Py_DECREF(o);
    return false;
  }
  return true;
#else
  Py_DECREF(existing_object(child));
  return false;
#endif
}

void release_node(Node* n) {
  if (t_releasing) {
    link_of(n) = t_handed;
    t_handed = n;
    return;
  }
  t_releasing = true;
  next_child_of(n) = 0;
  link_of(n) = nullptr;
  for (Node* top = n; top != nullptr;) {
    const ChildList& kids = top->rec.children;
    const size_t i = static_cast<size_t>(next_child_of(top));
    if (i == kids.size()) {
      Node* parent = link_of(top);
      finish_node(top);
      top = parent;
      continue;
    }
    next_child_of(top) = static_cast<intptr_t>(i + 1);
    if (i + 1 < kids.size()) __builtin_prefetch(kids[i + 1]);
    if (let_go(kids[i])) {
      Node* c = kids[i];
      next_child_of(c) = 0;
      link_of(c) = top;
      top = c;
      continue;
    }
    while (Node* d = t_handed) {  // the child died: walk its subtree next
      t_handed = link_of(d);
      next_child_of(d) = 0;
      link_of(d) = top;
      top = d;
    }
  }
  t_releasing = false;
}

void node_dealloc(PyObject* self) {
#if defined(Py_GIL_DISABLED)
  // The object goes at once; its node is released as a node without one.
  PyTypeObject* const tp = Py_TYPE(self);
  Node* n = as_node(self);
  tp->tp_free(self);
  Py_DECREF(tp);
  if (n != nullptr) release_node(n);
#else
  release_node(as_node(self));
#endif
}

#if !defined(Py_GIL_DISABLED)
// Node objects come from the C allocator rather than the interpreter's small
// object allocator. A read makes hundreds of thousands of them at once, and
// the interpreter's allocator hands the arenas of a freed tree straight back
// to the system, so every read of a large document would fault all of its
// memory in afresh (a fifth of the time of a read, measured). The C
// allocator keeps freed memory for the next tree. Nodes are not tracked by
// the cycle collector (children are immutable, so no cycle can form).
// The raw allocator is the C allocator, seen by tracemalloc. (A
// free-threaded interpreter wants its own allocator for every object.)
PyObject* node_alloc(PyTypeObject* type, Py_ssize_t) {
  void* mem = PyMem_RawMalloc(sizeof(Node));
  if (mem == nullptr) return PyErr_NoMemory();
  return PyObject_Init(static_cast<PyObject*>(mem), type);
}

void node_free(void* self) { PyMem_RawFree(self); }
#endif

PyObject* node_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const SharedStr& name = record_of(self).name;
    std::string s;
    s.reserve(name.size() + 6);
    s += "Node(";
    s += name.sv();
    s += ')';
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

PyObject* get_name(PyObject* self, void*) { return str_from_utf8(record_of(self).name); }

PyObject* get_text(PyObject* self, void*) {
  const OptStr& t = record_of(self).text;
  if (!t) Py_RETURN_NONE;
  return str_from_utf8(*t);
}

PyObject* get_attrs(PyObject* self, void*) {
  const AttrMap& attrs = record_of(self).attrs;
  // Made at its final size: a dict grows twice on the way to a dozen entries.
  Ref dict(new_dict(static_cast<Py_ssize_t>(attrs.size())));
  if (!dict) return nullptr;
  for (const auto& e : attrs) {
    Ref k(str_from_utf8(e.key));
    if (!k) return nullptr;
    Ref v(str_from_utf8(e.value));
    if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

// Lists up to this long also start the fetch of what a walk reads next from
// each child: its name bytes and the part of its record holding the text.
constexpr size_t kPrefetchChildren = 64;

PyObject* get_children(PyObject* self, void*) {
  const auto& children = record_of(self).children;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(children.size()));
  if (list == nullptr) return nullptr;
  const size_t n = children.size();
  for (size_t i = 0; i < n; ++i) {
    Node* c = children[i];
    PyObject* o = object_of(c);
    if (o == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), o);
    if (n <= kPrefetchChildren) {
      __builtin_prefetch(c->rec.name.data());
      __builtin_prefetch(&c->rec.text);
    }
  }
  return list;
}

// Attribute lookup: the four properties found by the identity of their
// interned names, which is how the interpreter passes a name written in code;
// anything else (and a name made at run time) the generic way, which finds
// the same getters through the type's attribute cache and a descriptor call.
// That way costs about 150 instructions per access, and the interpreter
// specializes no access to a getter written in C.
PyObject* node_getattro(PyObject* self, PyObject* name) {
  if (name == field_key(Field::Name)) return get_name(self, nullptr);
  if (name == field_key(Field::Text)) return get_text(self, nullptr);
  if (name == field_key(Field::Attrs)) return get_attrs(self, nullptr);
  if (name == field_key(Field::Children)) return get_children(self, nullptr);
  return PyObject_GenericGetAttr(self, name);
}

PyGetSetDef kGetters[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"text", get_text, nullptr, nullptr, nullptr},
    {"attrs", get_attrs, nullptr, nullptr, nullptr},
    {"children", get_children, nullptr,
     "Children are shared references to the same nodes, not copies.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"__to_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_to_string)), kFast,
     "__to_string($self, spacing=None)\n--\n\n"},
    {"search_by_name", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_search_by_name)), kFast,
     "search_by_name($self, name, depth=None)\n--\n\n"},
    {"search_by_attr", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_search_by_attr)), kFast,
     "search_by_attr($self, key, depth=None)\n--\n\n"},
    {"search_by_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_search_by_text)), kFast,
     "search_by_text($self, text, depth=None)\n--\n\n"},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_search)), kFast,
     "search($self, by, value, depth=None)\n--\n\n"},
    {"from_dict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_from_dict)), kFast | METH_CLASS,
     "from_dict($cls, dict_)\n--\n\n"},
    {"to_dict", node_to_dict, METH_NOARGS, "to_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Node(name, attrs=None, children=None, text=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(node_new)},
#if !defined(Py_GIL_DISABLED)
    {Py_tp_alloc, reinterpret_cast<void*>(node_alloc)},
    {Py_tp_free, reinterpret_cast<void*>(node_free)},
#endif
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(node_str)},
    {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
    {Py_tp_getset, kGetters},
    {Py_tp_getattro, reinterpret_cast<void*>(node_getattro)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

#if defined(Py_GIL_DISABLED)
constexpr int kObjectSize = sizeof(NodeObject);
#else
constexpr int kObjectSize = sizeof(Node);
#endif
PyType_Spec kSpec = {"builtins.Node", kObjectSize, 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

bool make_node_type() {
  if (g_node_type == nullptr) g_node_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
  return g_node_type != nullptr;  // kept for the life of the process
}

PyTypeObject* node_type() noexcept { return g_node_type; }

bool conv_node(PyObject* o, const char* param) {
  if (is_node(o)) return true;
  set_type_mismatch(o, "Node");
  return label(param);
}

PyObject* wrap_record(NodeRecord&& rec, PyTypeObject* type) {
#if defined(Py_GIL_DISABLED)
  void* memory = ::operator new(sizeof(Node), std::nothrow);
  if (memory == nullptr) {
    release_children(rec);
    return PyErr_NoMemory();
  }
#endif
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
#if defined(Py_GIL_DISABLED)
    ::operator delete(memory);
#endif
    release_children(rec);
    return nullptr;
  }
#if defined(Py_GIL_DISABLED)
  Node* n = static_cast<Node*>(memory);
  n->head = {0, self};
  reinterpret_cast<NodeObject*>(self)->node = n;
#else
  Node* n = as_node(self);
#endif
  new (&n->rec) NodeRecord(std::move(rec));
  return self;
}

PyObject* object_of(Node* n) {
#if defined(Py_GIL_DISABLED)
  std::atomic_ref<void*> slot(n->head.type);
  if (void* o = slot.load(std::memory_order_acquire)) return Py_NewRef(static_cast<PyObject*>(o));
  PyTypeObject* type = node_type();
  PyObject* made = type->tp_alloc(type, 0);
  if (made == nullptr) return nullptr;
  reinterpret_cast<NodeObject*>(made)->node = n;
  void* other = nullptr;
  // Its first reference is the parent's; the caller gets a second.
  if (slot.compare_exchange_strong(other, made, std::memory_order_acq_rel, std::memory_order_acquire))
    return Py_NewRef(made);
  reinterpret_cast<NodeObject*>(made)->node = nullptr;  // another thread made one first
  Py_DECREF(made);
  return Py_NewRef(static_cast<PyObject*>(other));
#else
  return Py_NewRef(existing_object(n));
#endif
}

PyObject* take_records(const std::vector<NodeSlab*>& slabs, Node* root) {
#if defined(Py_GIL_DISABLED)
  PyTypeObject* type = node_type();
  PyObject* o = type->tp_alloc(type, 0);
  if (o == nullptr) return nullptr;
  for (NodeSlab* slab : slabs) slab->live.store(slab->used, std::memory_order_relaxed);
  root->head = {0, o};
  reinterpret_cast<NodeObject*>(o)->node = root;
  return o;
#else
  // The records are complete already, and their heads are the objects'
  // headers: one short loop.
  PyTypeObject* type = node_type();
  for (NodeSlab* slab : slabs) {
    slab->live = slab->used;
    for (size_t i = 0; i < slab->used; ++i) PyObject_Init(existing_object(slab->node(i)), type);
  }
  return existing_object(root);
#endif
}

void adopt_children(NodeRecord& rec, RefList& kids) {
#if defined(Py_GIL_DISABLED)
  std::vector<Node*> nodes(kids.size());
  for (size_t i = 0; i < kids.size(); ++i) nodes[i] = as_node(kids.data()[i]);
  rec.children.assign(nodes.data(), nodes.size());
#else
  // Copied bytewise: the list holds the same pointers, seen as nodes.
  rec.children.assign(reinterpret_cast<Node* const*>(kids.data()), kids.size());
#endif
  kids.forget();
}

void release_children(NodeRecord& rec) noexcept {
  for (Node* c : rec.children) Py_DECREF(existing_object(c));  // made from objects
  rec.children.forget();
}


}  // namespace orvex::py
