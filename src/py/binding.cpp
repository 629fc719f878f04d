#include "py/binding.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace orvex::py {

// ---------------------------------------------------------------- binding

namespace {

std::string quoted_list(const FuncDesc& d, const std::vector<int>& missing) {
  std::string out;
  const size_t n = missing.size();
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) {
      if (n == 2) out += " and ";
      else if (i + 1 == n) out += ", and ";
      else out += ", ";
    }
    out += '\'';
    out += d.params[missing[i]];
    out += '\'';
  }
  return out;
}

bool too_many(const FuncDesc& d, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (d.nrequired == d.nparams) {
    PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", d.shown,
                 d.nparams, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                 d.shown, d.nrequired, d.nparams, given, verb);
  }
  return false;
}

// Puts one keyword argument into its slot.
bool bind_keyword(const FuncDesc& d, PyObject* name, PyObject* value, PyObject** slots) {
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &len) : nullptr;
  // A name with a lone surrogate matches no parameter; nothing else is expected.
  if (utf8 == nullptr && PyErr_Occurred() && !clear_if(PyExc_UnicodeEncodeError)) return false;
  for (int i = 0; utf8 && i < d.nparams; ++i) {
    if (std::strlen(d.params[i]) == static_cast<size_t>(len) &&
        std::memcmp(d.params[i], utf8, static_cast<size_t>(len)) == 0) {
      if (slots[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'", d.shown, name);
        return false;
      }
      slots[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", d.shown, name);
  return false;
}

bool check_required(const FuncDesc& d, PyObject** slots) {
  std::vector<int> missing;
  for (int i = 0; i < d.nrequired; ++i)
    if (slots[i] == nullptr) missing.push_back(i);
  if (missing.empty()) return true;
  std::string list = quoted_list(d, missing);
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", d.shown, missing.size(),
               missing.size() == 1 ? "argument" : "arguments", list.c_str());
  return false;
}

}  // namespace

bool bind_fast(const FuncDesc& d, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** slots) {
  for (int i = 0; i < d.nparams; ++i) slots[i] = nullptr;
  if (nargs > d.nparams) return too_many(d, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i)
      if (!bind_keyword(d, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) return false;
  }
  return check_required(d, slots);
}

bool bind_tuple(const FuncDesc& d, PyObject* args, PyObject* kwargs, PyObject** slots) {
  for (int i = 0; i < d.nparams; ++i) slots[i] = nullptr;
  Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  if (nargs > d.nparams) return too_many(d, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      if (!bind_keyword(d, key, value, slots)) return false;
  }
  return check_required(d, slots);
}

// ---------------------------------------------------------------- notes

namespace {

PyObject* g_add_note = nullptr;  // "add_note", interned

// Calls exc.add_note("while processing '{param}'"). Its failure is
// discarded when it is an error; anything else (a KeyboardInterrupt that
// arrived meanwhile) is returned, to be raised in place of `exc`.
Ref add_note(PyObject* exc, const char* param) {
  Ref r;
  Ref note(PyUnicode_FromFormat("while processing '%s'", param));
  if (note) r = Ref(PyObject_CallMethodOneArg(exc, g_add_note, note.get()));
  if (r || clear_if(PyExc_Exception)) return Ref();
  return fetch_raised();
}

}  // namespace

bool make_binding_strings() {
  if (g_add_note == nullptr) g_add_note = PyUnicode_InternFromString("add_note");
  return g_add_note != nullptr;  // kept for the life of the process
}

bool label(const char* param) {
  Ref exc = fetch_raised();
  if (!exc) return false;
  if (Ref escaping = add_note(exc.get(), param)) {
    PyException_SetContext(escaping.get(), exc.release());
    restore_raised(std::move(escaping));
    return false;
  }
  restore_raised(std::move(exc));
  return false;
}

// ---------------------------------------------------------------- conversions

bool text_of(PyObject* o, std::string_view* out) {
  if (!PyUnicode_Check(o)) {
    set_type_mismatch(o, "str");
    return false;
  }
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(o, &len);
  if (p == nullptr) return false;
  *out = std::string_view(p, static_cast<size_t>(len));
  return true;
}

bool conv_text(PyObject* o, const char* param, std::string_view* out) {
  return text_of(o, out) || label(param);
}

bool conv_path(PyObject* o, const char* param, std::string* out) {
  if (!PyUnicode_Check(o)) {
    set_type_mismatch(o, "str");
    return label(param);
  }
  const Ref bytes(PyUnicode_EncodeFSDefault(o));
  if (!bytes) return label(param);
  out->assign(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

namespace {

bool long_in_range(PyObject* o, long lo, long hi, long* out) {
  long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < lo) {
    PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
    return false;
  }
  if (v > hi) {
    PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
    return false;
  }
  *out = v;
  return true;
}

}  // namespace

bool conv_u8(PyObject* o, const char* param, uint8_t* out) {
  long v;
  if (!long_in_range(o, 0, 255, &v)) return label(param);
  *out = static_cast<uint8_t>(v);
  return true;
}

bool conv_i32(PyObject* o, const char* param, int32_t* out) {
  long v;
  if (!long_in_range(o, INT32_MIN, INT32_MAX, &v)) return label(param);
  *out = static_cast<int32_t>(v);
  return true;
}

bool conv_u64(PyObject* o, const char* param, uint64_t* out) {
  Ref index;
  if (!PyLong_Check(o)) {
    index = Ref(PyNumber_Index(o));
    if (!index) return label(param);
    o = index.get();
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return label(param);
  *out = v;
  return true;
}

bool conv_bool(PyObject* o, const char* param, bool* out) {
  if (o == Py_True || o == Py_False) {
    *out = o == Py_True;
    return true;
  }
  // NumPy's boolean scalar is accepted by its truth value.
  PyTypeObject* tp = Py_TYPE(o);
  // A type without __module__ is no NumPy type; every other failure is passed on.
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(tp), "__module__"));
  if (!module && !clear_if(PyExc_AttributeError)) return label(param);
  Ref tname(PyType_GetName(tp));
  if (!tname) return label(param);
  if (module && tname && PyUnicode_Check(module.get()) &&
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
      (PyUnicode_CompareWithASCIIString(tname.get(), "bool_") == 0 ||
       PyUnicode_CompareWithASCIIString(tname.get(), "bool") == 0)) {
    auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(tp, Py_nb_bool));
    if (nb_bool == nullptr) {
      if (PyErr_Occurred()) return label(param);
      PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                   tname.get());
      return label(param);
    }
    int r = nb_bool(o);
    if (r < 0) return label(param);
    *out = r != 0;
    return true;
  }
  set_type_mismatch(o, "bool");
  return label(param);
}


bool conv_dict(PyObject* o, const char* param) {
  if (PyDict_Check(o)) return true;
  set_type_mismatch(o, "dict");
  return label(param);
}


bool check_sequence(PyObject* o) { return !PyUnicode_Check(o) && PySequence_Check(o); }

bool conv_sequence(PyObject* o, const char* param) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return label(param);
  }
  if (PySequence_Check(o)) return true;
  set_sequence_mismatch(o);
  return label(param);
}

// ---------------------------------------------------------------- hints

bool size_hint(PyObject* seq, size_t cap, size_t* out) {
  const Py_ssize_t n = PyObject_Size(seq);
  if (n < 0) {
    if (!clear_if(PyExc_TypeError)) return false;
    *out = 0;
    return true;
  }
  *out = std::min(static_cast<size_t>(n), cap);
  return true;
}


}  // namespace orvex::py
