// The module functions read_string and read_file: bind the arguments, then
// parse and build the node records with the interpreter released, and make
// them Node objects once attached again.
#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "entities/node.h"
#include "read/file_source.h"
#include "read/tree_builder_impl.h"
#include "storage/node_record.h"

namespace orvex::py {

namespace {

const char* const kReadStringParams[] = {"xml_string", "root_tag"};
const char* const kReadFileParams[] = {"file_path", "root_tag"};
const FuncDesc kReadString{"read_string()", kReadStringParams, 2, 2};
const FuncDesc kReadFile{"read_file()", kReadFileParams, 2, 2};

// Builds Node objects directly, while the interpreter is released: their
// memory (blocks of many nodes, see NodeSlab) comes from the raw allocator,
// which needs no interpreter, and their records are complete before any
// object is seen. What is left for the attached thread is to make them
// objects (commit()), one short loop.
//
// Each element's children are collected on one stack shared by all open
// elements and handed over when its end tag comes, so every child list is
// allocated once, at its final size. No recursion anywhere: failure and
// success handle any depth.
class RecordSink {
 public:
  using Handle = NodeObject*;

  explicit RecordSink(SourceBuffer* doc) noexcept : doc_(doc), map_key_(next_map_key()) {}
  RecordSink(const RecordSink&) = delete;
  RecordSink& operator=(const RecordSink&) = delete;
  // Without a commit (a failed read, or one that failed to commit) the
  // records are destroyed as plain memory: their child lists hold raw
  // pointers, not references, until commit.
  ~RecordSink() {
    for (NodeSlab* slab : slabs_) {
      for (size_t i = 0; i < slab->used; ++i) {
        NodeRecord& rec = slab->node(i)->rec;
        rec.children.forget();
        rec.~NodeRecord();
      }
      NodeSlab::destroy(slab);
    }
  }

  MapKey map_key() const noexcept { return map_key_; }

  Handle add(uint64_t name_start, uint64_t name_end) {
    siblings_.push_back(nullptr);  // room first: nothing below can fail
    NodeSlab* slab = slabs_.empty() ? nullptr : slabs_.back();
    if (slab == nullptr || slab->used == slab->capacity) slab = new_slab();
    NodeObject* n = slab->node(slab->used);
    new (&n->rec) NodeRecord(map_key_);
    ++slab->used;
    n->rec.slab = slab;
    n->rec.name = SharedStr::borrowed_view(doc_, name_start, name_end);
    siblings_.back() = reinterpret_cast<PyObject*>(n);
    return n;
  }
  AttrMap& attrs(Handle h) noexcept { return h->rec.attrs; }
  BlockArena* tables(Handle h) noexcept { return &h->rec.slab->arena; }
  void attrs_done(Handle) noexcept {}
  void set_text(Handle h, SharedStr&& text) { h->rec.text = std::move(text); }
  void open(Handle) { first_child_.push_back(siblings_.size()); }
  void close(Handle h) {
    const size_t first = first_child_.back();
    first_child_.pop_back();
    // Allocated, not placed in the node block: the block would save the
    // allocation, but searches then ran twice as long (the lists of
    // consecutive elements end up far from each other and from their nodes).
    h->rec.children.assign(siblings_.data() + first, siblings_.size() - first);
    siblings_.resize(first);
  }
  std::string_view name(Handle h) const noexcept { return h->rec.name.sv(); }

  // Attached: turns every record into a Node object and returns the root (a
  // new reference; each other node is referenced once, by its parent).
  PyObject* commit() {
    PyTypeObject* type = node_type();
    if (type == nullptr) return nullptr;
    for (NodeSlab* slab : slabs_) {
      slab->live = slab->used;
      for (size_t i = 0; i < slab->used; ++i) PyObject_Init(reinterpret_cast<PyObject*>(slab->node(i)), type);
    }
    PyObject* root = reinterpret_cast<PyObject*>(slabs_.front()->node(0));
    slabs_.clear();
    return root;
  }

 private:
  // Blocks grow with the document, so a small one takes little memory and
  // a large one few allocations.
  //
  // Each block also has room for its nodes' attribute tables, sized by what
  // the nodes of the block before wanted: more than they used when they ran
  // out of room (later tables are allocated one by one), a little spare
  // otherwise, so documents without attributes spend almost nothing on it.
  NodeSlab* new_slab() {
    slabs_.reserve(slabs_.size() + 1);
    size_t cap = 8;
    if (!slabs_.empty()) {
      const NodeSlab* prev = slabs_.back();
      cap = std::min<size_t>(prev->capacity * 2, 256);
      const char* start = reinterpret_cast<const char*>(const_cast<NodeSlab*>(prev)->node(prev->capacity));
      const size_t region = static_cast<size_t>(prev->arena.end - start);
      const size_t used = static_cast<size_t>(prev->arena.next - start);
      const size_t per_node = used / prev->used;
      table_per_node_ = region - used < region / 16 ? std::max(per_node, table_per_node_) * 2
                                                   : per_node + 8;
      table_per_node_ = std::min<size_t>(table_per_node_, 4096);
    }
    doc_->retain();
    NodeSlab* slab = NodeSlab::create(SourceHandle(doc_), cap, cap * table_per_node_);
    if (slab == nullptr) throw std::bad_alloc();
    slabs_.push_back(slab);
    return slab;
  }

  SourceBuffer* doc_;  // held by the caller for the build, then by the blocks
  MapKey map_key_;
  std::vector<NodeSlab*> slabs_;     // in document order; the root is the first node
  size_t table_per_node_ = 64;       // attribute table bytes per node in the next block
  std::vector<PyObject*> siblings_;  // children of the open elements, collected
  std::vector<size_t> first_child_;  // per open element: where its children start
};

// What the detached phase of a read hands back.
struct Parsed {
  std::optional<OsError> os_error;
  std::optional<Result<Unit, ReadError>> built;
  std::optional<RecordSink> sink;
};

// After re-attaching: raises the error, or makes the nodes.
PyObject* finish(Parsed& p) {
  if (p.os_error) return raise_os_error(*p.os_error);
  if (!*p.built) return raise_read_error(p.built->error());
  return p.sink->commit();
}

}  // namespace

PyObject* read_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[2] = {nullptr, nullptr};
    if (!bind_fast(kReadString, args, nargs, kwnames, slots)) return nullptr;
    std::string_view xml, root;
    if (!conv_text(slots[0], "xml_string", &xml)) return nullptr;
    if (!conv_text(slots[1], "root_tag", &root)) return nullptr;
    std::string root_tag(root);
    // The buffer views the str's own UTF-8 and keeps the str alive.
    SourceHandle doc(SourceBuffer::over_python(slots[0], xml.data(), xml.size()));
    Py_INCREF(slots[0]);
    Parsed p;
    {
      Detached detached;
      p.sink.emplace(doc.get());
      p.built.emplace(read::build_into(doc.get(), root_tag, *p.sink));
      doc.reset();  // from here on the node blocks hold the buffer
    }
    return finish(p);
  });
}

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[2] = {nullptr, nullptr};
    if (!bind_fast(kReadFile, args, nargs, kwnames, slots)) return nullptr;
    std::string_view path_view, root;
    if (!conv_text(slots[0], "file_path", &path_view)) return nullptr;
    if (!conv_text(slots[1], "root_tag", &root)) return nullptr;
    std::string path(path_view), root_tag(root);

    Parsed p;
    Detached detached;
    {
      auto doc = read::read_file_source(path, detached.interrupts());
      if (!doc) p.os_error = doc.error();
      else {
        p.sink.emplace(doc->get());
        p.built.emplace(read::build_into(doc->get(), root_tag, *p.sink));
      }
    }
    detached.attach();
    if (detached.raise_kept()) return nullptr;  // a signal handler's exception
    return finish(p);
  });
}

}  // namespace orvex::py
