// The record behind every Node object: one element, complete when its object
// is created and never changed afterwards.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
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
#ifdef Py_GIL_DISABLED
  // Links objects whose release was postponed so that freeing a deep chain
  // never recurses (see the Node deallocator). With the regular object
  // layout the link lives in the dead object's reference count instead, as
  // the interpreter's own deferred deallocation does.
  NodeObject* trash_next;
#endif
};

// The link of a node queued for release (its reference count is zero and
// never read again until the memory is freed).
inline void set_trash_next(NodeObject* n, NodeObject* next) noexcept {
#ifdef Py_GIL_DISABLED
  n->trash_next = next;
#else
  std::memcpy(&reinterpret_cast<PyObject*>(n)->ob_refcnt, &next, sizeof next);
#endif
}
inline NodeObject* trash_next(NodeObject* n) noexcept {
#ifdef Py_GIL_DISABLED
  return n->trash_next;
#else
  NodeObject* next;
  std::memcpy(&next, &reinterpret_cast<PyObject*>(n)->ob_refcnt, sizeof next);
  return next;
#endif
}

inline NodeRecord& record_of(PyObject* node) { return reinterpret_cast<NodeObject*>(node)->rec; }

}  // namespace orvex
