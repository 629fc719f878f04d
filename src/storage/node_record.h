// The record behind every Node object: one element, complete when its object
// is created and never changed afterwards.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "storage/shared_str.h"
#include "storage/sip_map.h"

namespace orvex {

struct NodeRecord {
  // One holder count for all borrowed views of the record (taken over from
  // the reader's element); empty for records whose views count themselves.
  SourceHandle source;
  SharedStr name;
  AttrMap attrs;
  std::vector<PyObject*> children;  // one strong reference per entry; may repeat
  OptStr text;                      // absent is distinct from empty

  NodeRecord() noexcept = default;
  // A record whose (so far empty) attribute map uses `map_key`.
  explicit NodeRecord(MapKey map_key) noexcept : attrs(map_key) {}
  NodeRecord(NodeRecord&&) noexcept = default;
  NodeRecord& operator=(NodeRecord&&) = delete;
  NodeRecord(const NodeRecord&) = delete;
  NodeRecord& operator=(const NodeRecord&) = delete;
  // Needs the interpreter: gives back the child references.
  ~NodeRecord() {
    for (PyObject* c : children) Py_DECREF(c);
  }
};

// The Python object: header plus the record by value.
struct NodeObject {
  PyObject_HEAD
  NodeRecord rec;
};

// Objects whose release was postponed (so that freeing a deep chain never
// recurses, see the Node deallocator) are linked through their type field:
// the object is dead and unreachable by then, and every Node has the one
// Node type (the class cannot be subclassed), which the deallocator knows.
inline void set_trash_next(NodeObject* n, NodeObject* next) noexcept {
  reinterpret_cast<PyObject*>(n)->ob_type = reinterpret_cast<PyTypeObject*>(next);
}
inline NodeObject* trash_next(NodeObject* n) noexcept {
  return reinterpret_cast<NodeObject*>(reinterpret_cast<PyObject*>(n)->ob_type);
}

inline NodeRecord& record_of(PyObject* node) { return reinterpret_cast<NodeObject*>(node)->rec; }

}  // namespace orvex
