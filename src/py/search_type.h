// The kinds of search, in one table: the SearchType members (their names,
// values and reprs) and what Node.search dispatches on all come from it.
#pragma once

#include <cstdint>

#include "py/node.h"

namespace orvex::py {

enum class SearchKind : uint8_t { Tag = 0, Attr = 1, Text = 2 };

struct SearchKindEntry {
  SearchKind kind;
  const char* name;  // the member's name; its repr is "SearchType.{name}"
};
inline constexpr SearchKindEntry kSearchKinds[] = {
    {SearchKind::Tag, "Tag"},
    {SearchKind::Attr, "Attr"},
    {SearchKind::Text, "Text"},
};

struct SearchTypeObject {
  PyObject_HEAD
  SearchKind kind;
};

// The SearchType class with its members, made once by the module's
// execution step; false with an exception set when that fails.
bool make_search_type();
// The class (null before make_search_type() succeeded).
PyTypeObject* search_type() noexcept;

// The search kind argument: a SearchType member (integers are refused).
// False with the exception set and labelled.
bool conv_search_kind(PyObject* o, const char* param, SearchKind* out);

}  // namespace orvex::py
