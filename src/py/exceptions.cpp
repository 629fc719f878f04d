#include "py/exceptions.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "write/size_policy.h"

namespace orvex::py {

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
// accepting a sequence never consults it. Threads that find it missing at
// once (possible without the global lock) each import it; the first to
// store it wins.
std::atomic<PyObject*> g_sequence_class{nullptr};

PyObject* sequence_class() {
  if (PyObject* cls = g_sequence_class.load(std::memory_order_acquire)) return cls;
  Ref abc(PyImport_ImportModule("collections.abc"));
  if (!abc) return nullptr;
  Ref cls(PyObject_GetAttrString(abc.get(), "Sequence"));
  if (!cls) return nullptr;  // null, with the exception set, until it succeeds
  PyObject* expected = nullptr;
  if (g_sequence_class.compare_exchange_strong(expected, cls.get(), std::memory_order_acq_rel)) return cls.release();
  return expected;
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

// ---------------------------------------------------------------- errors

Ref message_str(std::string_view message) {
  return Ref(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
}

Ref new_exception(PyObject* cls, std::string_view message) {
  const Ref text = message_str(message);
  if (!text) return Ref();
  return Ref(PyObject_CallOneArg(cls, text.get()));
}

PyObject* raise_read_error(const ReadError& e) {
  if (const Ref s = message_str(e.message())) PyErr_SetObject(PyExc_ValueError, s.get());
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
  if (const Ref exc = new_exception(cls, msg)) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
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
