// The reader's main loop: indexes a whole document once, then walks its
// markup constructs and text ranges in document order and builds the
// PlainElement tree of the first element named `root_tag`. It stops as soon
// as that element closes; nothing after it is looked at.
//
// Runs detached from the interpreter and creates no Python objects. It never
// recurses, so nesting depth is limited only by memory.
#pragma once

#include <string_view>

#include "errors.h"
#include "index/structural.h"
#include "read/flat_tree.h"
#include "result.h"
#include "storage/plain_element.h"

namespace orvex::read {

using TreeResult = Result<PlainElement, ReadError>;
using FlatResult = Result<FlatTree, ReadError>;

// Indexes the document, then builds the root's subtree as a flat array (the
// form the module wraps into Node objects).
FlatResult build_flat_tree(SourceBuffer* doc, std::string_view root_tag);

// Indexes the document, then builds the tree as PlainElements.
TreeResult build_tree(SourceBuffer* doc, std::string_view root_tag);

// Builds the tree from an index already made over `doc`'s bytes.
TreeResult build_tree_from_index(SourceBuffer* doc, const index::StructuralIndex& idx,
                                 std::string_view root_tag);

// The reader's error for a failed index.
ReadError index_failure(const index::IndexError& e, uint64_t doc_len);

}  // namespace orvex::read
