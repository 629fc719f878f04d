// Placeholder until the entry points land.
#include "entities/node.h"
namespace orvex::py {
PyObject* write_string(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "write_string"); return nullptr; }
PyObject* write_file(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "write_file"); return nullptr; }
}  // namespace orvex::py
