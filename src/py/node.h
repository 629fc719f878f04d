// The Node class: type object, construction from a record, and the members
// implemented in other files of this folder.
#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

#include "py/binding.h"
#include "storage/node_record.h"

namespace orvex::py {

#if defined(Py_GIL_DISABLED)
#if !ORVEX_FREE_THREADED
#error "a free-threaded interpreter needs the core built for it (ORVEX_FREE_THREADED)"
#endif
// A free-threaded interpreter's object header is larger than a node's head,
// and every Python object must come from the interpreter's own allocator
// (its lock-free reads of lists and dicts rely on it). So a Node object is
// allocated apart and points to its node, and a node's head holds its
// object (head.type, or null while it has none) and, once it is being
// released, the release walk's state. A read makes only the root's object:
// the others are made when first asked for (children, search), so that
// reading makes no objects nobody asks for (each also takes a reference to
// the class, whose count all threads share). The first reference to a
// child's object is its parent's; a node without an object is released
// with its parent.
struct NodeObject {
  PyObject_HEAD
  Node* node;  // null only for an object that lost the race to be a node's
};
inline Node* as_node(PyObject* o) noexcept { return reinterpret_cast<NodeObject*>(o)->node; }
// The node's object, or null when none was made yet.
inline PyObject* existing_object(const Node* n) noexcept {
  return static_cast<PyObject*>(std::atomic_ref<void* const>(n->head.type).load(std::memory_order_acquire));
}
#else
#if ORVEX_FREE_THREADED
#error "the core is built for a free-threaded interpreter, this one has the global lock"
#endif
// A Node is an object of the interpreter laid out as storage/node_record.h
// describes: the object header, then the record.
static_assert(sizeof(ObjectHead) == sizeof(PyObject) && offsetof(ObjectHead, type) == offsetof(PyObject, ob_type),
              "a node's head is this interpreter's object header");
inline Node* as_node(PyObject* o) noexcept { return reinterpret_cast<Node*>(o); }
inline PyObject* existing_object(const Node* n) noexcept { return reinterpret_cast<PyObject*>(const_cast<Node*>(n)); }
#endif
// A new reference to the node's object, made when it has none yet (which
// can fail: null with MemoryError set).
PyObject* object_of(Node* n);
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

// Wraps a complete record into a new Node object of `type` (the Node class
// or a subtype). On failure the record is released and nullptr returned
// with the exception set.
PyObject* wrap_record(NodeRecord&& rec, PyTypeObject* type = node_type());
// The records of a read become the nodes of Node objects; returns the
// root's object (a new reference), or null with MemoryError set, the
// records then staying the blocks', as they were.
PyObject* take_records(const std::vector<NodeSlab*>& slabs, Node* root);

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
