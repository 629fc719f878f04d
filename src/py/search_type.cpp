// The SearchType enumeration: three shared members, compared with each other
// and with integers, never ordered, never hashed, never instantiated.
#include "py/search_type.h"

namespace orvex::py {

namespace {

PyTypeObject* g_search_type = nullptr;

constexpr const char* kMemberNames[] = {"Tag", "Attr", "Text"};
constexpr const char* kMemberReprs[] = {"SearchType.Tag", "SearchType.Attr", "SearchType.Text"};

uint8_t value_of(PyObject* member) { return reinterpret_cast<SearchTypeObject*>(member)->value; }

PyObject* search_type_repr(PyObject* self) { return PyUnicode_FromString(kMemberReprs[value_of(self)]); }

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

// Makes the three members and stores them in the type's dict. The type has
// no constructor, so members are allocated directly.
bool add_members(PyTypeObject* type) {
  for (uint8_t v = 0; v < 3; ++v) {
    Ref member(type->tp_alloc(type, 0));
    if (!member) return false;
    reinterpret_cast<SearchTypeObject*>(member.get())->value = v;
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), kMemberNames[v], member.get()) < 0)
      return false;
  }
  return true;
}

}  // namespace

PyTypeObject* search_type() {
  if (g_search_type != nullptr) return g_search_type;
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
  if (type == nullptr) return nullptr;
  // Comparisons made while the members are being stored must already see the type.
  g_search_type = type;
  if (!add_members(type)) {
    g_search_type = nullptr;
    Py_DECREF(type);
    return nullptr;
  }
  return type;
}

}  // namespace orvex::py
