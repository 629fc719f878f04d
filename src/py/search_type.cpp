// The SearchType enumeration: three shared members, compared with each other
// and with integers, never ordered, never hashed, never instantiated.
#include "py/search_type.h"

namespace orvex::py {

namespace {

PyTypeObject* g_search_type = nullptr;

long value_of(PyObject* member) { return static_cast<long>(reinterpret_cast<SearchTypeObject*>(member)->kind); }

PyObject* search_type_repr(PyObject* self) {
  return PyUnicode_FromFormat("SearchType.%s", kSearchKinds[value_of(self)].name);
}

PyObject* search_type_int(PyObject* self) { return PyLong_FromLong(value_of(self)); }

// Equality against another member or anything the integer conversion takes
// (int, bool, __index__). Everything else, and every ordering, is declined so
// the interpreter applies its own fallback (identity for ==, TypeError for <).
// Only "not an integer" (TypeError) declines: any other exception of the
// conversion is passed on, and an int too large for a C long is an integer,
// simply unequal.
PyObject* search_type_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  bool equal;
  if (PyObject_TypeCheck(other, g_search_type)) {
    equal = value_of(other) == value_of(self);
  } else {
    Ref index(PyLong_Check(other) ? Py_NewRef(other) : PyNumber_Index(other));
    if (!index) {
      if (clear_if(PyExc_TypeError)) Py_RETURN_NOTIMPLEMENTED;
      return nullptr;
    }
    int overflow = 0;
    const long theirs = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (theirs == -1 && !overflow && PyErr_Occurred()) return nullptr;
    equal = !overflow && theirs == value_of(self);
  }
  return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

void search_type_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// No tp_hash: defining equality without a hash makes the interpreter mark
// the type unhashable when it readies it.
PyType_Slot kSlots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(search_type_repr)},
    {Py_nb_int, reinterpret_cast<void*>(search_type_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(search_type_richcompare)},
    {Py_tp_dealloc, reinterpret_cast<void*>(search_type_dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.SearchType",
    static_cast<int>(sizeof(SearchTypeObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

// Makes the members and stores them in the type's dict. The type has no
// constructor, so members are allocated directly.
bool add_members(PyTypeObject* type) {
  for (const SearchKindEntry& k : kSearchKinds) {
    Ref member(type->tp_alloc(type, 0));
    if (!member) return false;
    reinterpret_cast<SearchTypeObject*>(member.get())->kind = k.kind;
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), k.name, member.get()) < 0) return false;
  }
  return true;
}

}  // namespace

bool make_search_type() {
  if (g_search_type != nullptr) return true;
  Ref type(PyType_FromSpec(&kSpec));
  if (!type) return false;
  // Comparisons made while the members are being stored must already see the type.
  g_search_type = reinterpret_cast<PyTypeObject*>(type.get());
  if (!add_members(g_search_type)) {
    g_search_type = nullptr;
    return false;
  }
  type.release();  // kept for the life of the process
  return true;
}

PyTypeObject* search_type() noexcept { return g_search_type; }

bool conv_search_kind(PyObject* o, const char* param, SearchKind* out) {
  if (!PyObject_TypeCheck(o, g_search_type)) {
    set_type_mismatch(o, "SearchType");
    return label(param);
  }
  *out = reinterpret_cast<SearchTypeObject*>(o)->kind;
  return true;
}

}  // namespace orvex::py
