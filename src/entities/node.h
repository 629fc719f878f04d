// The Node class: type object, construction from a record, and the members
// implemented in other files of this folder.
#pragma once

#include "binding.h"
#include "storage/node_record.h"

namespace orvex::py {

// The process-wide Node type, created at first need. Returns nullptr with an
// exception set when creation fails (a later call tries again).
PyTypeObject* node_type();
// Borrowed; only valid after node_type() succeeded once.
PyTypeObject* node_type_unchecked();

inline bool is_node(PyObject* o) {
  return PyObject_TypeCheck(o, node_type_unchecked());
}

// Wraps a complete record into a new Node object. On failure the record is
// released and nullptr returned with the exception set.
PyObject* wrap_record(NodeRecord&& rec);

// A new Python str from a SharedStr's bytes.
PyObject* str_from(const SharedStr& s);

// Text form (entities/text_form.cpp).
PyObject* node_str(PyObject* self);
PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Search (entities/search.cpp) and the SearchType class (entities/search_type.cpp).
PyTypeObject* search_type();
PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Dict conversion (entities/dict_convert.cpp).
PyObject* node_to_dict(PyObject* self, PyObject* unused);
PyObject* node_from_dict(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Module functions (read/read_api.cpp, write/write_api.cpp).
PyObject* read_string(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* read_file(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* write_string(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* write_file(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace orvex::py
