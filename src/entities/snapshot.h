// The writer's detached copy of a Node tree.
#pragma once

#include <optional>

#include "binding.h"
#include "storage/plain_element.h"
#include "write/serializer.h"

namespace orvex::py {

// Copies the tree under `node` (a Node, kept alive by the caller) into
// PlainElement records that hold no Python objects. Views share their buffer,
// owned strings are copied, attribute maps keep their slot order. A Node that
// stands in several places is copied once per place, so a small graph of
// shared nodes can stand for an enormous tree: the copy stops, giving nullopt,
// once it would hold more than `max_elements` elements. Counts the document's
// size into `m` on the way. Needs the interpreter (it reads child
// references); does not recurse. Throws std::bad_alloc.
std::optional<PlainElement> snapshot(PyObject* node, uint64_t max_elements, DocumentMeasure* m);

}  // namespace orvex::py
