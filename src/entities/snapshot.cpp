#include "entities/snapshot.h"

#include <vector>

#include "storage/node_record.h"

namespace orvex::py {

namespace {

PlainElement copy_fields(const NodeRecord& rec) {
  PlainElement e(rec.name, rec.attrs.clone());
  e.text = rec.text;
  // Exactly as many as will be added, so the child addresses kept on the
  // walk's stack never move.
  e.children.reserve(rec.children.size());
  return e;
}

}  // namespace

PlainElement snapshot(PyObject* node) {
  struct Pending {
    const NodeRecord* src;
    PlainElement* dst;
    size_t next;  // index of the next child to copy
  };
  const NodeRecord& root_rec = record_of(node);
  PlainElement root = copy_fields(root_rec);
  std::vector<Pending> stack;
  stack.push_back({&root_rec, &root, 0});
  while (!stack.empty()) {
    Pending& top = stack.back();
    if (top.next == top.src->children.size()) {
      stack.pop_back();
      continue;
    }
    const NodeRecord& child = record_of(top.src->children[top.next++]);
    top.dst->children.push_back(copy_fields(child));
    PlainElement* dst = &top.dst->children.back();
    stack.push_back({&child, dst, 0});  // `top` is dead from here on
  }
  return root;
}

}  // namespace orvex::py
