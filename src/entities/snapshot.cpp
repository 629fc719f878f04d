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

std::optional<PlainElement> snapshot(PyObject* node, uint64_t max_elements, DocumentMeasure* m) {
  struct Pending {
    const NodeRecord* src;
    PlainElement* dst;
    size_t next;  // index of the next child to copy
  };
  const NodeRecord& root_rec = record_of(node);
  PlainElement root = copy_fields(root_rec);
  count_element(*m, root, root_rec.children.size(), 0, false);
  uint64_t copied = 1;
  std::vector<Pending> stack;
  stack.push_back({&root_rec, &root, 0});
  while (!stack.empty()) {
    Pending& top = stack.back();
    if (top.next == top.src->children.size()) {
      stack.pop_back();
      continue;
    }
    if (++copied > max_elements) return std::nullopt;
    bool after_text = top.next == 0 && top.src->text.has_value();
    const NodeRecord& child = record_of(top.src->children[top.next++]);
    top.dst->children.push_back(copy_fields(child));
    PlainElement* dst = &top.dst->children.back();
    count_element(*m, *dst, child.children.size(), stack.size(), after_text);
    stack.push_back({&child, dst, 0});  // `top` is dead from here on
  }
  return root;
}

}  // namespace orvex::py
