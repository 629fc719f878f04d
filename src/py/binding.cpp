#include "py/binding.h"

#include "write/size_policy.h"

#include <algorithm>
#include <cerrno>
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

// ---------------------------------------------------------------- exceptions

Ref fetch_raised() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return Ref();
  PyErr_NormalizeException(&type, &value, &tb);
  const Ref owned_type(type), owned_tb(tb);
  if (tb != nullptr) PyException_SetTraceback(value, tb);
  return Ref(value);
#endif
}

void restore_raised(Ref exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* e = exc.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(e))), e, PyException_GetTraceback(e));
#endif
}

bool must_escape(PyObject* exc) {
  return !PyErr_GivenExceptionMatches(exc, PyExc_Exception) ||
         PyErr_GivenExceptionMatches(exc, PyExc_MemoryError);
}

bool clear_if(PyObject* cls) {
  if (!PyErr_ExceptionMatches(cls)) return false;
  PyErr_Clear();
  return true;
}

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

// ---------------------------------------------------------------- type mismatch

void set_type_mismatch(PyObject* o, const char* target) {
  if (o == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    return;
  }
  Ref qual(PyType_GetQualName(Py_TYPE(o)));
  if (!qual) {
    // A name that cannot be had is replaced; an exception that is no error
    // (a KeyboardInterrupt) is what the caller raises instead.
    if (!clear_if(PyExc_Exception)) return;
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object is not an instance of '%s'",
                 target);
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qual.get(), target);
}

namespace {

// collections.abc.Sequence, imported the first time a mismatch is reported
// and kept for the life of the process. It only names the target type:
// accepting a sequence never consults it.
PyObject* sequence_class() {
  static PyObject* cls = nullptr;
  if (cls == nullptr) {
    Ref abc(PyImport_ImportModule("collections.abc"));
    if (abc) cls = PyObject_GetAttrString(abc.get(), "Sequence");
  }
  return cls;  // null, with the import's exception set, until it succeeds
}

}  // namespace

void set_sequence_mismatch(PyObject* o) {
  PyObject* cls = sequence_class();
  if (cls == nullptr) return;
  Ref qual(PyObject_GetAttrString(cls, "__qualname__"));
  if (!qual) return;
  Py_ssize_t len;
  const char* name = PyUnicode_Check(qual.get()) ? PyUnicode_AsUTF8AndSize(qual.get(), &len) : nullptr;
  if (name == nullptr) {
    if (!clear_if(PyExc_Exception)) return;
    name = "Sequence";
  }
  std::string target(name);
  set_type_mismatch(o, target.c_str());
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

// ---------------------------------------------------------------- errors

PyObject* raise_read_error(const ReadError& e) {
  const std::string msg = e.message();
  Ref s(PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace"));
  if (s) PyErr_SetObject(PyExc_ValueError, s.get());
  return nullptr;
}

PyObject* raise_refusal(const std::optional<SizeRefusal>& r) {
  if (!r) {
    PyErr_SetString(PyExc_SystemError, "orvex: unexpected internal error");
    return nullptr;
  }
  const std::string msg = r->message();
  PyErr_SetString(r->is_overflow() ? PyExc_OverflowError : PyExc_MemoryError, msg.c_str());
  return nullptr;
}

PyObject* os_error_class(int errnum) {
  switch (errnum) {
    case EPERM:
    case EACCES: return PyExc_PermissionError;
    case ENOENT: return PyExc_FileNotFoundError;
    case EINTR: return PyExc_InterruptedError;
    case EAGAIN: return PyExc_BlockingIOError;
    case ENOMEM: return PyExc_MemoryError;
    case EEXIST: return PyExc_FileExistsError;
    case ENOTDIR: return PyExc_NotADirectoryError;
    case EISDIR: return PyExc_IsADirectoryError;
    case EPIPE: return PyExc_BrokenPipeError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    default: return PyExc_OSError;
  }
}

namespace {

// strerror_r comes in a GNU form (returns the text) and a POSIX form (fills the buffer).
[[maybe_unused]] const char* strerror_text(int r, const char* buf) { return r == 0 ? buf : "Unknown error"; }
[[maybe_unused]] const char* strerror_text(const char* r, const char*) { return r; }

// Raises `cls` created with the single argument `msg`, so that errno,
// strerror and filename stay None.
PyObject* raise_with_one_arg(PyObject* cls, const std::string& msg) {
  Ref text(PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace"));
  if (!text) return nullptr;
  Ref exc(PyObject_CallOneArg(cls, text.get()));
  if (!exc) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

}  // namespace

PyObject* raise_os_error(const OsError& e) {
  if (e.errnum == 0) return raise_with_one_arg(PyExc_OSError, e.text ? e.text : "unknown error");
  char buf[256] = {0};
  const char* text = strerror_text(strerror_r(e.errnum, buf, sizeof buf), buf);
  return raise_with_one_arg(os_error_class(e.errnum),
                            std::string(text) + " (os error " + std::to_string(e.errnum) + ")");
}

}  // namespace orvex::py
