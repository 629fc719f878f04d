// The record behind every Node object: one element, complete when its object
// is created and never changed afterwards.
//
// Nodes are laid out as the interpreter's objects are (a header, then the
// record), but nothing here needs the interpreter: the reader builds whole
// trees of them while detached from it, and the native tests and fuzzers
// build and inspect them without one. The interpreter layer turns finished
// nodes into objects by filling in their headers (or, in a free-threaded
// build, by giving each an object of its own), and owns the reference
// counting from then on.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "storage/block_pool.h"
#include "storage/shared_str.h"
#include "storage/sip_map.h"

namespace orvex {

// 16 bytes in front of every record that belong to the interpreter layer.
// In the interpreter's regular builds they are the object header itself (the
// reference count and the type: the node is its Python object); the layer
// checks that this is its header. A free-threaded interpreter has a larger
// header and wants its objects from its own allocator: there the Python
// object is allocated apart, and these bytes point to it.
struct ObjectHead {
  intptr_t refcnt;
  void* type;
};

struct Node;
struct NodeSlab;

// A node's children as an array of pointers: 16 bytes in the record instead
// of a vector's 24. The list holds the pointers only; once the nodes are
// objects, the record holds one strong reference per entry, which the
// interpreter layer gives back. The array is its own allocation, or placed
// in memory that someone else frees (the reader's lists live with their
// document, see SourceBuffer::hold_block).
class ChildList {
 public:
  ChildList() noexcept = default;
  ChildList(ChildList&& o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  ChildList& operator=(ChildList&& o) noexcept {
    if (this != &o) {
      forget();
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  ChildList(const ChildList&) = delete;
  ChildList& operator=(const ChildList&) = delete;
  ~ChildList() { forget(); }

  // Replaces the list by a copy of n pointers. Throws std::bad_alloc (the
  // list is then empty).
  void assign(Node* const* items, size_t n) {
    forget();
    if (n == 0) return;
    data_ = static_cast<Node**>(::operator new(n * sizeof(Node*)));
    std::memcpy(data_, items, n * sizeof(Node*));
    size_ = n;
  }
  // The list of n pointers copied into `memory`, which someone else frees.
  void place(Node** memory, Node* const* items, size_t n) noexcept {
    forget();
    if (n == 0) return;
    std::memcpy(memory, items, n * sizeof(Node*));
    data_ = memory;
    size_ = n | kPlaced;
  }
  // Empties the list without touching the entries.
  void forget() noexcept {
    if (!(size_ & kPlaced)) ::operator delete(data_);
    data_ = nullptr;
    size_ = 0;
  }

  size_t size() const noexcept { return size_ & ~kPlaced; }
  bool empty() const noexcept { return size() == 0; }
  Node* operator[](size_t i) const noexcept { return data_[i]; }
  Node* const* begin() const noexcept { return data_; }
  Node* const* end() const noexcept { return data_ + size(); }

 private:
  static constexpr size_t kPlaced = size_t{1} << 63;
  Node** data_ = nullptr;
  size_t size_ = 0;  // top bit: the array is placed, not owned
};

// 64 bytes; with the object header a node is 80.
struct NodeRecord {
  // The block a reader-made record lives in, which holds the document that
  // the record's borrowed views point into; null for records allocated one
  // by one, whose strings are all owned.
  NodeSlab* slab = nullptr;
  SharedStr name;
  AttrMap attrs;
  ChildList children;  // may repeat a node
  OptStr text;         // absent is distinct from empty

  // The end of the bytes the record's borrowed views may be read past (up
  // to the end of their document), or null when it has none.
  const char* readable_end() const noexcept;

  NodeRecord() noexcept = default;
  NodeRecord(NodeRecord&&) noexcept = default;
  NodeRecord& operator=(NodeRecord&&) = delete;
  NodeRecord(const NodeRecord&) = delete;
  NodeRecord& operator=(const NodeRecord&) = delete;
};

struct Node {
  ObjectHead head;
  NodeRecord rec;
};
static_assert(sizeof(NodeRecord) == 64 && sizeof(Node) == 80);

// The reader makes the nodes of a document in blocks: one allocation for
// many nodes and most of their attribute tables (instead of one per node
// and one per table, which were a fifth of a read), and one holder count
// of the document for all of their borrowed views. A block is freed with
// the last of its nodes, so a node kept from a large tree keeps its block
// (at most a few hundred nodes' memory) as well as the document. With the
// interpreter's lock, nodes are freed one at a time; without it (a
// free-threaded build, ORVEX_FREE_THREADED) on any thread at once, and
// `live` is counted atomically.
struct NodeSlab {
  SourceHandle doc;
  size_t capacity;   // nodes
  size_t used = 0;   // nodes made so far, from the front
#if ORVEX_FREE_THREADED
  std::atomic<size_t> live{0};  // nodes not yet freed, once they are objects
#else
  size_t live = 0;  // nodes not yet freed, once they are objects
#endif
  BlockArena arena;  // after the nodes: room for their attribute tables
  size_t bytes = 0;  // of the whole block, from the pool

  // Counts one node freed; true when it was the last.
#if ORVEX_FREE_THREADED
  bool release_one() noexcept { return live.fetch_sub(1, std::memory_order_acq_rel) == 1; }
#else
  bool release_one() noexcept { return --live == 0; }
#endif

  NodeSlab(SourceHandle d, size_t cap) noexcept : doc(std::move(d)), capacity(cap) {}
  Node* node(size_t i) noexcept { return reinterpret_cast<Node*>(reinterpret_cast<char*>(this) + kHeader) + i; }

  // A block for `cap` nodes and at least `table_bytes` of attribute tables
  // (whatever the pool's block holds beyond), or null when memory is short.
  static NodeSlab* create(SourceHandle doc, size_t cap, size_t table_bytes) noexcept {
    const size_t node_bytes = kHeader + cap * sizeof(Node);
    const PoolBlock block = pool_take(node_bytes + table_bytes);
    if (block.data == nullptr) return nullptr;
    auto* slab = new (block.data) NodeSlab(std::move(doc), cap);
    slab->bytes = block.bytes;
    slab->arena.next = static_cast<char*>(block.data) + node_bytes;
    slab->arena.end = static_cast<char*>(block.data) + block.bytes;
    return slab;
  }
  // Gives the block back (its nodes' records must be gone already).
  static void destroy(NodeSlab* s) noexcept {
    const PoolBlock block{s, s->bytes};
    s->~NodeSlab();
    pool_give(block);
  }

  static constexpr size_t kHeader = 64;  // keeps the nodes 16-byte aligned
};
static_assert(sizeof(NodeSlab) <= NodeSlab::kHeader);

inline const char* NodeRecord::readable_end() const noexcept {
  return slab != nullptr ? slab->doc->data() + slab->doc->size() : nullptr;
}

}  // namespace orvex
