// The Node class: type object, construction from a record, and the members
// implemented in other files of this folder.
#pragma once

#include <cstddef>

#include "py/binding.h"
#include "storage/node_record.h"

namespace orvex::py {

// A Node is an object of the interpreter laid out as storage/node_record.h
// describes: the object header, then the record.
static_assert(sizeof(ObjectHead) == sizeof(PyObject) && offsetof(ObjectHead, type) == offsetof(PyObject, ob_type),
              "orvex needs a regular (not free-threaded) build of CPython");

inline PyObject* as_object(Node* n) noexcept { return reinterpret_cast<PyObject*>(n); }
inline Node* as_node(PyObject* o) noexcept { return reinterpret_cast<Node*>(o); }
inline NodeRecord& record_of(PyObject* o) noexcept { return as_node(o)->rec; }
inline const NodeRecord& record_of(const Node* n) noexcept { return n->rec; }

// The Node class, made once by the module's execution step (false with an
// exception set when that fails), and the class itself afterwards.
bool make_node_type();
PyTypeObject* node_type() noexcept;

inline bool is_node(PyObject* o) { return PyObject_TypeCheck(o, node_type()); }

// The node argument: a Node (checks the type only). False with the
// exception set and labelled.
bool conv_node(PyObject* o, const char* param);

// Wraps a complete record into a new Node object. On failure the record is
// released and nullptr returned with the exception set.
PyObject* wrap_record(NodeRecord&& rec);

// Makes `kids` (Node objects) the record's children, the record taking
// their references over. Throws std::bad_alloc, `kids` then keeping them.
void adopt_children(NodeRecord& rec, RefList& kids);
// Gives back the references a record of a Node object holds to its
// children, and empties its child list.
void release_children(NodeRecord& rec) noexcept;

// A record being made for a new Node: it owns one reference per child until
// it is handed to wrap_record() (moving it out empties its child list), and
// gives them back if it never is.
struct NewRecord : NodeRecord {
  NewRecord() noexcept = default;
  NewRecord(const NewRecord&) = delete;
  NewRecord& operator=(const NewRecord&) = delete;
  ~NewRecord() { release_children(*this); }
};

// Text form (text_form.cpp).
PyObject* node_str(PyObject* self);
PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Search (search.cpp).
PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Dict conversion (dict_convert.cpp).
PyObject* node_to_dict(PyObject* self, PyObject* unused);
PyObject* node_from_dict(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Module functions (read_api.cpp, write_api.cpp).
PyObject* read_string(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* read_file(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* write_string(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* write_file(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace orvex::py
