// Placeholder until the entry points land.
#include "entities/node.h"
namespace orvex::py {
PyObject* read_string(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "read_string"); return nullptr; }
PyObject* read_file(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "read_file"); return nullptr; }
}  // namespace orvex::py
