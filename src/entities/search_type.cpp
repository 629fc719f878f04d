// Placeholder until SearchType lands.
#include "entities/node.h"
namespace orvex::py {
PyTypeObject* search_type() {
  static PyTypeObject* t = nullptr;
  if (t) return t;
  static PyType_Slot slots[] = {{0, nullptr}};
  static PyType_Spec spec = {"builtins.SearchType", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  t = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return t;
}
}  // namespace orvex::py
