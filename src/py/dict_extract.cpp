// from_dict's conversion step: the whole argument becomes node maps before any
// Node is built. Each value is tried as String, Vec, NullableString and Map in
// that order; a value that fits none fails with a message listing every
// attempt's error. Only Vec can nest, so the walk keeps two explicit stacks
// (dicts being walked, sequences being iterated) instead of recursing.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "py/signals.h"
#include "py/node_map.h"
#include "py/py_dict.h"

namespace orvex::py {

namespace {

// ------------------------------------------------------- exceptions as values

// Takes the exception being raised out of the interpreter (never null: a
// missing one becomes a SystemError).
Ref take_exception() {
  if (Ref exc = fetch_raised()) return exc;
  PyErr_SetString(PyExc_SystemError, "orvex: conversion failed without an exception");
  return fetch_raised();
}

// A failure is reported as a message that writes out the exceptions met on
// the way. An exception that must not be turned into text (see must_escape:
// a KeyboardInterrupt from a sequence's iteration, a MemoryError while the
// message is made) is kept here instead, the first one met, and raised as
// it is in place of the message.
class Escapes {
 public:
  // Takes the exception being raised (see take_exception).
  Ref take() { return keep(take_exception()); }
  // Clears the exception being raised: its text is not needed.
  void clear() { (void)take(); }
  // An exception made for the message; making it may have failed.
  Ref keep(Ref e) {
    if (!first_ && must_escape(e.get())) first_ = Ref(Py_NewRef(e.get()));
    return e;
  }
  Ref release() noexcept { return std::move(first_); }

 private:
  Ref first_;
};

// A new exception of class `cls` with the message, or the error met making it.
Ref exception_or_error(PyObject* cls, const std::string& message) {
  if (Ref exc = py::new_exception(cls, message)) return exc;
  return take_exception();
}

void append_utf8(std::string& out, PyObject* s, Escapes& escapes) {
  Py_ssize_t len = 0;
  if (const char* p = PyUnicode_AsUTF8AndSize(s, &len)) {
    out.append(p, static_cast<size_t>(len));
    return;
  }
  escapes.clear();  // lone surrogates: written with replacement characters below
  Ref bytes(PyUnicode_AsEncodedString(s, "utf-8", "replace"));
  if (bytes) out.append(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
  else escapes.clear();
}

// An error written out: "{type}: {message}", then ", caused by " and the
// same for each exception of its cause chain.
std::string written(PyObject* exc, Escapes& escapes) {
  std::string out;
  std::vector<PyObject*> seen;
  Ref hold;
  for (PyObject* e = exc; e != nullptr; e = hold.get()) {
    if (std::find(seen.begin(), seen.end(), e) != seen.end()) break;  // a looping chain
    seen.push_back(e);
    if (e != exc) out += ", caused by ";
    Ref type_name(PyType_GetQualName(Py_TYPE(e)));
    if (type_name) {
      append_utf8(out, type_name.get(), escapes);
    } else {
      escapes.clear();
      out += "<failed to extract type name>";
    }
    out += ": ";
    Ref message(PyObject_Str(e));
    if (message) {
      append_utf8(out, message.get(), escapes);
    } else {
      escapes.clear();
      out += "<exception str() failed>";
    }
    hold = Ref(PyException_GetCause(e));
  }
  return out;
}

// The written type-mismatch error for `v` and a target type.
std::string mismatch_text(PyObject* v, const char* target, Escapes& escapes) {
  set_type_mismatch(v, target);
  return written(escapes.take().get(), escapes);
}

std::string sequence_mismatch_text(PyObject* v, Escapes& escapes) {
  set_sequence_mismatch(v);
  return written(escapes.take().get(), escapes);
}

// ------------------------------------------------------ enumeration message

constexpr std::string_view kEnumHead =
    "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')";

// One attempt's line: the field error with the attempt's error as its cause.
void add_variant(std::string& out, std::string_view kind, std::string_view error) {
  out += "\n- variant ";
  out += kind;
  out += " (";
  out += kind;
  out += "): TypeError: failed to extract field HashmapTypes::";
  out += kind;
  out += ".0, caused by ";
  out += error;
}

// The message split around the Vec attempt's error: a nested failure is
// written between the two halves.
struct EnumParts {
  std::string before_vec_error;
  std::string after_vec_error;
};

EnumParts enum_parts(std::string_view string_error, std::string_view nullable_error,
                     std::string_view map_error) {
  EnumParts p;
  p.before_vec_error = kEnumHead;
  add_variant(p.before_vec_error, "String", string_error);
  add_variant(p.before_vec_error, "Vec", "");
  add_variant(p.after_vec_error, "NullableString", nullable_error);
  add_variant(p.after_vec_error, "Map", map_error);
  return p;
}

// ------------------------------------------------------------------ walker

// A failure on its way out. Every failure inside a nested dict makes the Vec
// attempt of each enclosing value fail in turn, so it always reaches the
// argument itself. Each enclosing value adds one level of enumeration message
// around the innermost error; the levels are joined once, at the end, so deep
// nesting costs linear time.
//
// Past kKeptLevels inner and as many outer levels, the levels between are
// left out, with a marker saying how many: a failure at the leaf of a
// million levels would otherwise be a message of hundreds of megabytes.
constexpr size_t kKeptLevels = 16;

struct Failure {
  Ref innermost;
  std::vector<std::string> before;  // innermost level first
  std::vector<std::string> after;
  size_t left_out = 0;              // levels between the inner and the outer ones kept
  bool fatal = false;               // raised as it is, without the note
};

class Walker {
 public:
  explicit Walker(ConvertedTree* out) : maps_(out->maps) {}

  bool run(PyObject* dict, const char* param) {
    maps_.emplace_back();
    push_dict(Ref(Py_NewRef(dict)), 0);
    SignalChecks signals;
    while (!dicts_.empty()) {
      if (!signals.step()) return propagate_now();
      const bool ok = seqs_.size() == dicts_.size() ? step_sequence() : step_dict();
      if (!ok) return raise_failure(param);
    }
    return true;
  }

 private:
  // A dict being walked. `out` is its index in the converted maps, or -1 when
  // nothing in it is kept (it is only checked). While a sequence of one of
  // its values is iterated, `value` and `field` say which entry that is.
  struct DictWalk {
    Ref dict;
    Py_ssize_t pos = 0;
    Py_ssize_t size_at_start = 0;
    Py_ssize_t left = 0;
    ptrdiff_t out = -1;
    Ref value;
    Field field = Field::Other;
  };
  // A sequence being iterated as Vec; `items` collects the indices of its
  // converted dicts when they become children.
  struct SeqWalk {
    Ref iter;
    bool keep = false;
    std::vector<size_t> items;
  };

  void push_dict(Ref dict, ptrdiff_t out) {
    DictWalk w;
    w.size_at_start = PyDict_Size(dict.get());
    w.left = w.size_at_start;
    w.dict = std::move(dict);
    w.out = out;
    dicts_.push_back(std::move(w));
  }

  // A dict inside itself would be walked forever. Checked at each doubling
  // of the depth, so a cycle is caught soon after it repeats, at a cost that
  // vanishes on ordinary trees.
  bool nests_inside_itself() {
    const size_t depth = dicts_.size();
    if (depth < 1024 || (depth & (depth - 1)) != 0) return false;
    std::vector<PyObject*> ids;
    ids.reserve(depth);
    for (const DictWalk& w : dicts_) ids.push_back(w.dict.get());
    std::sort(ids.begin(), ids.end());
    return std::adjacent_find(ids.begin(), ids.end()) != ids.end();
  }

  void set_kind(ptrdiff_t out, Field field, ValueKind kind) {
    if (out < 0) return;
    ConvertedMap& m = maps_[static_cast<size_t>(out)];
    switch (field) {
      case Field::Name: m.name_kind = kind; break;
      case Field::Attrs: m.attrs_kind = kind; break;
      case Field::Children: m.children_kind = kind; break;
      case Field::Text: m.text_kind = kind; break;
      case Field::Other: break;
    }
  }

  // One entry of the innermost dict, or the end of that dict.
  bool step_dict() {
    DictWalk& w = dicts_.back();
    // With the global lock, Python code runs only while a sequence inside
    // this dict is iterated: that is when the dict can have changed. Without
    // it, another thread may change it at any moment: the entry is taken
    // under the dict's lock, and the key and the value are held while they
    // are converted (reporting a failure may import a module, and with that
    // run code that could drop the dict's references too).
    Py_ssize_t size;
    bool more;
    Ref key, value;
    Py_BEGIN_CRITICAL_SECTION(w.dict.get());
    size = PyDict_GET_SIZE(w.dict.get());
    PyObject *k, *v;
    more = size == w.size_at_start && w.left != -1 && PyDict_Next(w.dict.get(), &w.pos, &k, &v);
    if (more) {
      key = Ref(Py_NewRef(k));
      value = Ref(Py_NewRef(v));
    }
    Py_END_CRITICAL_SECTION();
    if (size != w.size_at_start) return fatal(PyExc_RuntimeError, "dictionary changed size during iteration");
    if (w.left == -1) return fatal(PyExc_RuntimeError, "dictionary keys changed during iteration");
    if (!more) {
      dicts_.pop_back();
      return true;
    }
    --w.left;
    std::string_view name;
    if (!text_of(key.get(), &name)) return fail_here(escapes_.take());
    return convert_value(value.get(), w.out >= 0 ? field_of(name) : Field::Other);
  }

  // Tries the kinds in order for one value of the innermost dict.
  bool convert_value(PyObject* v, Field field) {
    DictWalk& w = dicts_.back();
    const ptrdiff_t out = w.out;
    if (PyUnicode_Check(v)) {
      std::string_view s;
      if (!text_of(v, &s)) {
        const std::string encode_error = written(escapes_.take().get(), escapes_);
        return fail_enum(encode_error, "TypeError: Can't extract `str` to `Vec`", encode_error,
                         mismatch_text(v, "dict", escapes_));
      }
      set_kind(out, field, ValueKind::String);
      if (out >= 0 && field == Field::Name) maps_[static_cast<size_t>(out)].name = SharedStr::owned(s);
      if (out >= 0 && field == Field::Text) maps_[static_cast<size_t>(out)].text = SharedStr::owned(s);
      return true;
    }
    if (check_sequence(v)) {
      // Kept for the failure message while the sequence is iterated.
      w.value = Ref(Py_NewRef(v));
      w.field = field;
      SeqWalk s;
      s.keep = out >= 0 && field == Field::Children;
      // The length is only a capacity hint (TypeError: none); any other
      // exception of it is the call's.
      size_t hint;
      if (!size_hint(v, size_t{1} << 16, &hint)) return propagate(take_exception());
      if (s.keep) s.items.reserve(hint);
      s.iter = Ref(PyObject_GetIter(v));
      if (!s.iter) {
        failure_.innermost = escapes_.take();
        add_level(w.value.get());
        return dict_failed();
      }
      seqs_.push_back(std::move(s));
      return true;
    }
    if (v == Py_None) {
      set_kind(out, field, ValueKind::NullableString);
      return true;
    }
    if (PyDict_Check(v)) {
      std::vector<std::pair<SharedStr, SharedStr>>* target = nullptr;
      if (out >= 0 && field == Field::Attrs) target = &maps_[static_cast<size_t>(out)].attrs;
      if (!convert_string_map(v, target)) {
        const std::string map_error = written(escapes_.take().get(), escapes_);
        return fail_enum(mismatch_text(v, "str", escapes_), sequence_mismatch_text(v, escapes_),
                         mismatch_text(v, "str", escapes_), map_error);
      }
      set_kind(out, field, ValueKind::Map);
      return true;
    }
    return fail_enum(mismatch_text(v, "str", escapes_), sequence_mismatch_text(v, escapes_),
                     mismatch_text(v, "str", escapes_), mismatch_text(v, "dict", escapes_));
  }

  // A dict of strings (see for_each_item: runs no Python code).
  static bool convert_string_map(PyObject* d, std::vector<std::pair<SharedStr, SharedStr>>* out) {
    if (out != nullptr) {
      out->clear();
      out->reserve(static_cast<size_t>(PyDict_Size(d)));
    }
    return for_each_item(d, [&](PyObject* key, PyObject* value) {
      std::string_view k, v;
      if (!text_of(key, &k) || !text_of(value, &v)) return false;
      if (out != nullptr) out->emplace_back(SharedStr::owned(k), SharedStr::owned(v));
      return true;
    });
  }

  // The next item of the innermost sequence, or its end.
  bool step_sequence() {
    SeqWalk& s = seqs_.back();
    Ref item(PyIter_Next(s.iter.get()));
    if (!item) {
      if (PyErr_Occurred()) return sequence_failed(escapes_.take());
      std::vector<size_t> items = std::move(s.items);
      seqs_.pop_back();
      DictWalk& w = dicts_.back();
      set_kind(w.out, w.field, ValueKind::Vec);
      if (w.out >= 0 && w.field == Field::Children)
        maps_[static_cast<size_t>(w.out)].children = std::move(items);
      w.value = Ref();
      return true;
    }
    if (!PyDict_Check(item.get())) {
      set_type_mismatch(item.get(), "dict");
      return sequence_failed(escapes_.take());
    }
    ptrdiff_t out = -1;
    if (s.keep) {
      out = static_cast<ptrdiff_t>(maps_.size());
      maps_.emplace_back();
      s.items.push_back(static_cast<size_t>(out));
    }
    push_dict(std::move(item), out);
    if (nests_inside_itself()) return fatal(PyExc_RecursionError, "a dictionary contains itself");
    return true;
  }

  // --- failures

  bool fatal(PyObject* cls, const char* message) {
    failure_.innermost = exception_or_error(cls, message);
    failure_.fatal = true;
    return false;
  }

  // A signal handler raised: the call fails with that, as it is.
  bool propagate_now() {
    dicts_.clear();
    seqs_.clear();
    return false;
  }

  // The call fails with `exc` as it is, whatever encloses the value.
  bool propagate(Ref exc) {
    failure_.innermost = std::move(exc);
    return false;
  }

  // The innermost dict fails with `exc` itself (a key that is no str).
  bool fail_here(Ref exc) {
    failure_.innermost = std::move(exc);
    return dict_failed();
  }

  // A value of the innermost dict fits no kind, each attempt having failed
  // without nesting.
  bool fail_enum(std::string_view string_error, std::string_view vec_error,
                 std::string_view nullable_error, std::string_view map_error) {
    EnumParts p = enum_parts(string_error, nullable_error, map_error);
    std::string message = std::move(p.before_vec_error);
    message += vec_error;
    message += p.after_vec_error;
    failure_.innermost = escapes_.keep(exception_or_error(PyExc_TypeError, message));
    return dict_failed();
  }

  // The innermost sequence fails with `exc`: its value's Vec attempt failed.
  bool sequence_failed(Ref exc) {
    failure_.innermost = std::move(exc);
    seqs_.pop_back();
    add_level(dicts_.back().value.get());
    return dict_failed();
  }

  // The value `v`, a sequence (so no str, None or dict), failed as Vec with
  // the current failure: wrap it in that value's enumeration message.
  void add_level(PyObject* v) {
    // Each enclosing sequence still to fail adds one more level.
    if (failure_.before.size() >= kKeptLevels && seqs_.size() >= kKeptLevels) {
      ++failure_.left_out;
      return;
    }
    const std::string as_str = mismatch_text(v, "str", escapes_);
    EnumParts p = enum_parts(as_str, as_str, mismatch_text(v, "dict", escapes_));
    // An inner enumeration message is written as a TypeError; an innermost
    // exception is written with its own type when the levels are joined.
    if (!failure_.before.empty()) p.before_vec_error += "TypeError: ";
    failure_.before.push_back(std::move(p.before_vec_error));
    failure_.after.push_back(std::move(p.after_vec_error));
  }

  // The innermost dict failed: so does the Vec attempt of the value holding
  // it, and with it the dict holding that value, out to the argument.
  bool dict_failed() {
    dicts_.pop_back();
    while (!seqs_.empty()) {
      seqs_.pop_back();
      add_level(dicts_.back().value.get());
      dicts_.pop_back();
    }
    return false;
  }

  bool raise_failure(const char* param) {
    dicts_.clear();
    seqs_.clear();
    if (failure_.fatal) {
      restore_raised(std::move(failure_.innermost));
      return false;
    }
    if (!failure_.before.empty()) {
      const std::string inner = written(failure_.innermost.get(), escapes_);
      const std::string marker =
          failure_.left_out == 0 ? std::string()
                                 : "[... " + std::to_string(failure_.left_out) + " levels of nesting left out ...] ";
      size_t total = inner.size() + marker.size();
      for (const auto& s : failure_.before) total += s.size();
      for (const auto& s : failure_.after) total += s.size();
      std::string message;
      message.reserve(total);
      const auto& before = failure_.before;
      for (size_t i = before.size(); i-- > 0;) {
        message += before[i];
        if (i == kKeptLevels) message += marker;  // between the outer levels and the inner ones
      }
      message += inner;
      for (const auto& s : failure_.after) message += s;
      failure_.innermost = escapes_.keep(exception_or_error(PyExc_TypeError, message));
    }
    if (Ref escaping = escapes_.release()) failure_.innermost = std::move(escaping);
    restore_raised(std::move(failure_.innermost));
    return label(param);
  }

  std::vector<ConvertedMap>& maps_;
  std::vector<DictWalk> dicts_;
  std::vector<SeqWalk> seqs_;
  Failure failure_;
  Escapes escapes_;
};

}  // namespace

bool convert_node_maps(PyObject* dict, const char* param, ConvertedTree* out) {
  return Walker(out).run(dict, param);
}

}  // namespace orvex::py
