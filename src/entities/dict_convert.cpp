// Placeholder until dict conversion lands.
#include "entities/node.h"
namespace orvex::py {
PyObject* node_to_dict(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "to_dict"); return nullptr; }
PyObject* node_from_dict(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "from_dict"); return nullptr; }
}  // namespace orvex::py
