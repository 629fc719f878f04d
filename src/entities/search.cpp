// Placeholder until search lands.
#include "entities/node.h"
namespace orvex::py {
#define ORVEX_STUB(fn) PyObject* fn(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, #fn); return nullptr; }
ORVEX_STUB(node_search_by_name)
ORVEX_STUB(node_search_by_attr)
ORVEX_STUB(node_search_by_text)
ORVEX_STUB(node_search)
}  // namespace orvex::py
