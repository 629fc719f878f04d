// The record behind every Node object: one element, complete when its object
// is created and never changed afterwards.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "storage/shared_str.h"
#include "storage/sip_map.h"

namespace orvex {

struct NodeSlab;

// A node's children as an array of object pointers: 16 bytes in the record
// instead of a vector's 24. The list holds the pointers only: the record
// owning it holds one strong reference per entry and gives them back.
class ChildList {
 public:
  ChildList() noexcept = default;
  ChildList(ChildList&& o) noexcept : data_(o.data_), size_(o.size_) {
    o.data_ = nullptr;
    o.size_ = 0;
  }
  ChildList& operator=(ChildList&& o) noexcept {
    if (this != &o) {
      forget();
      data_ = o.data_;
      size_ = o.size_;
      o.data_ = nullptr;
      o.size_ = 0;
    }
    return *this;
  }
  ChildList(const ChildList&) = delete;
  ChildList& operator=(const ChildList&) = delete;
  ~ChildList() { forget(); }

  // Replaces the list by a copy of n pointers. Throws std::bad_alloc (the
  // list is then empty).
  void assign(PyObject* const* items, size_t n) {
    forget();
    if (n == 0) return;
    data_ = static_cast<PyObject**>(::operator new(n * sizeof(PyObject*)));
    std::memcpy(data_, items, n * sizeof(PyObject*));
    size_ = n;
  }
  // Empties the list without touching the entries' references.
  void forget() noexcept {
    ::operator delete(data_);
    data_ = nullptr;
    size_ = 0;
  }

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  PyObject* operator[](size_t i) const noexcept { return data_[i]; }
  PyObject* const* begin() const noexcept { return data_; }
  PyObject* const* end() const noexcept { return data_ + size_; }

 private:
  PyObject** data_ = nullptr;
  size_t size_ = 0;
};

struct NodeRecord {
  // The block a reader-made record lives in, which holds the document for
  // the record's borrowed views; null for records allocated one by one,
  // whose views (if any) count themselves.
  NodeSlab* slab = nullptr;
  SharedStr name;
  AttrMap attrs;
  ChildList children;  // one strong reference per entry; may repeat
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

// The reader makes the nodes of a document in blocks: one allocation for
// many nodes and most of their attribute tables (instead of one per node
// and one per table, which were a fifth of a read), and one holder count
// of the document for all of their borrowed views. A block
// is freed with the last of its nodes, so a node kept from a large tree
// keeps its block (at most a few hundred nodes' memory) as well as the
// document. Nodes are freed with the interpreter lock held, which guards
// `live`; builds without that lock count atomically.
struct NodeSlab {
  SourceHandle doc;
  size_t capacity;     // nodes
  size_t used = 0;     // nodes made so far, from the front
#ifdef Py_GIL_DISABLED
  std::atomic<size_t> live{0};
#else
  size_t live = 0;     // nodes not yet freed, once they are objects
#endif
  BlockArena arena;    // after the nodes: room for their attribute tables

  // Counts one node freed; true when it was the last.
  bool release_one() noexcept {
#ifdef Py_GIL_DISABLED
    return live.fetch_sub(1, std::memory_order_acq_rel) == 1;
#else
    return --live == 0;
#endif
  }

  NodeSlab(SourceHandle d, size_t cap) noexcept : doc(std::move(d)), capacity(cap) {}
  NodeObject* node(size_t i) noexcept {
    return reinterpret_cast<NodeObject*>(reinterpret_cast<char*>(this) + kHeader) + i;
  }

  // A block for `cap` nodes and `table_bytes` of attribute tables, or null
  // when memory is short.
  static NodeSlab* create(SourceHandle doc, size_t cap, size_t table_bytes) noexcept {
    const size_t node_bytes = kHeader + cap * sizeof(NodeObject);
    void* mem = PyMem_RawMalloc(node_bytes + table_bytes);
    if (mem == nullptr) return nullptr;
    auto* slab = new (mem) NodeSlab(std::move(doc), cap);
    slab->arena.next = static_cast<char*>(mem) + node_bytes;
    slab->arena.end = slab->arena.next + table_bytes;
    return slab;
  }
  // Frees the block (its nodes' records must be gone already).
  static void destroy(NodeSlab* s) noexcept {
    s->~NodeSlab();
    PyMem_RawFree(s);
  }

  static constexpr size_t kHeader = 64;  // keeps the nodes 16-byte aligned
};
static_assert(sizeof(NodeSlab) <= NodeSlab::kHeader);

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
