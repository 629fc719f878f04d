// The dictionary form of a node: a node map with the keys "name", "attrs",
// "children" and "text", whose values are one of four kinds (HashmapTypes).
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "py/node.h"

namespace orvex::py {

enum class Field : uint8_t { Name = 0, Attrs = 1, Children = 2, Text = 3, Other = 4 };

// The interned field names, made once by the module's execution step; false
// with an exception set when that fails.
bool make_dict_keys();
// The interned str of a field's name (not Field::Other), borrowed.
PyObject* field_key(Field f);

// Which field a key names (bytes compared exactly).
Field field_of(std::string_view key);

// The kinds of a node-map value, in the order from_dict tries them.
enum class ValueKind : uint8_t { Missing, String, Vec, NullableString, Map };

// One dict of from_dict's argument, converted. Only what building reads is
// kept: the kind of each of the four fields, and its content when the kind is
// the one building accepts.
struct ConvertedMap {
  ValueKind name_kind = ValueKind::Missing;
  ValueKind attrs_kind = ValueKind::Missing;
  ValueKind children_kind = ValueKind::Missing;
  ValueKind text_kind = ValueKind::Missing;
  SharedStr name;
  std::vector<std::pair<SharedStr, SharedStr>> attrs;
  std::vector<size_t> children;  // indices into ConvertedTree::maps
  OptStr text;
};

// The whole argument, converted before any Node is built. maps[0] is the
// root; children refer to later entries by index, so the tree is flat and
// releasing it never recurses.
struct ConvertedTree {
  std::vector<ConvertedMap> maps;
};

// Converts `dict` (already known to be a dict) and everything inside it.
// On failure returns false with the exception set: conversion errors carry
// the note for `param`; a dict changed during its walk is a RuntimeError.
bool convert_node_maps(PyObject* dict, const char* param, ConvertedTree* out);

}  // namespace orvex::py
