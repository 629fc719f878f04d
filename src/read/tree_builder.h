// The reader's main loop: walks a document's markup constructs and text
// ranges in document order, as the structural index hands them out, and
// builds the node records of the first element named `root_tag`, with its
// whole subtree.
//
// Runs detached from the interpreter and creates no Python objects: the
// records are complete when it returns, and the interpreter layer only has
// to make them objects. It never recurses, so nesting depth is limited only
// by memory.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "errors.h"
#include "index/structural.h"
#include "result.h"
#include "storage/node_record.h"

namespace orvex::read {

// The records of one read: the root's subtree, laid out in node blocks in
// document order (the root is the first node of the first block), children
// listed by pointer. Until the interpreter layer takes the blocks over with
// release(), the records are plain memory: destroying the tree frees them
// without touching any count.
class BuiltTree {
 public:
  BuiltTree() noexcept = default;
  BuiltTree(BuiltTree&& o) noexcept : slabs_(std::exchange(o.slabs_, {})) {}
  BuiltTree& operator=(BuiltTree&& o) noexcept {
    if (this != &o) {
      discard();
      slabs_ = std::exchange(o.slabs_, {});
    }
    return *this;
  }
  BuiltTree(const BuiltTree&) = delete;
  BuiltTree& operator=(const BuiltTree&) = delete;
  ~BuiltTree() { discard(); }

  bool empty() const noexcept { return slabs_.empty(); }
  Node* root() const noexcept { return slabs_.front()->node(0); }
  const std::vector<NodeSlab*>& slabs() const noexcept { return slabs_; }
  // Hands the blocks over; this tree is empty afterwards.
  std::vector<NodeSlab*> release() noexcept { return std::exchange(slabs_, {}); }

 private:
  friend class TreeBuilder;
  void discard() noexcept;
  std::vector<NodeSlab*> slabs_;
};

using BuildResult = Result<BuiltTree, ReadError>;

// Indexes the document (with the build its first bytes call for) and builds
// the subtree of its first element named `root_tag`.
BuildResult build_tree(SourceBuffer* doc, std::string_view root_tag);
// The same with a given build of the index.
BuildResult build_tree(SourceBuffer* doc, std::string_view root_tag, index::Build build);

}  // namespace orvex::read
