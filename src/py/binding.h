// Argument binding and error reporting shared by every function and method of
// the module: one table-driven binder, one conversion per kind of parameter,
// and the mapping from internal error values to Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "errors.h"
#include "py/ref.h"
#include "py/unwinding.h"

namespace orvex {
struct SizeRefusal;
}

namespace orvex::py {

// One static record per callable.
struct FuncDesc {
  const char* shown;          // name shown in messages, e.g. "Node.search()"
  const char* const* params;  // parameter names in order
  int nparams;
  int nrequired;              // how many leading parameters are required
};

// Binds fast-call arguments. On success every slot holds a borrowed reference
// or nullptr (not given). On failure returns false with TypeError set.
bool bind_fast(const FuncDesc& d, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** slots);
// The same rules for an argument tuple and keyword dict (the constructor).
bool bind_tuple(const FuncDesc& d, PyObject* args, PyObject* kwargs, PyObject** slots);

// True when an optional slot takes its default (not given, or None).
inline bool is_default(PyObject* slot) { return slot == nullptr || slot == Py_None; }

// Conversions. Each returns false with an exception set and labelled with the
// note "while processing '{param}'".
//
// text: a str (or subclass); the view is valid while `o` is alive.
bool conv_text(PyObject* o, const char* param, std::string_view* out);
// file path: a str (or subclass), as the file system's bytes of the name,
// encoded as the interpreter encodes names for open() (the file system
// encoding with surrogateescape, so that every name the system gives can be
// given back).
bool conv_path(PyObject* o, const char* param, std::string* out);
// Conversions without the label, for callers that label a whole structure.
bool text_of(PyObject* o, std::string_view* out);
bool conv_u8(PyObject* o, const char* param, uint8_t* out);
bool conv_i32(PyObject* o, const char* param, int32_t* out);
bool conv_u64(PyObject* o, const char* param, uint64_t* out);
bool conv_bool(PyObject* o, const char* param, bool* out);
bool conv_dict(PyObject* o, const char* param);   // checks the type only
// sequence: not a str, passes PySequence_Check. Checks only; iterate it yourself.
bool check_sequence(PyObject* o);
bool conv_sequence(PyObject* o, const char* param);

// The strings binding uses on every call, made once by the module's
// execution step; false with an exception set when that fails.
bool make_binding_strings();

// Adds the note "while processing '{param}'" to the exception being raised.
// A failure to add it is discarded, unless that failure is no error (a
// KeyboardInterrupt met meanwhile): it is raised instead. Always returns false.
bool label(const char* param);

// The exception being raised, taken out of the interpreter (normalized, its
// traceback attached); empty when none is set.
Ref fetch_raised();
// Raises `exc` (an exception instance) again.
void restore_raised(Ref exc);

// Exceptions that no code may discard or turn into another, whatever it was
// prepared for: those that are no errors (not Exception subclasses, such as
// KeyboardInterrupt and SystemExit) and MemoryError.
bool must_escape(PyObject* exc);
// Clears the exception being raised when it is an instance of `cls` and
// returns true; otherwise leaves it set and returns false.
bool clear_if(PyObject* cls);

// A sequence's length as a capacity hint, taken as PyObject_LengthHint takes
// it: TypeError means no hint (0); any other exception is passed on (false,
// with it set). At most `cap`: the length is only the object's word, and an
// absurd one must not become an allocation of that size.
bool size_hint(PyObject* seq, size_t cap, size_t* out);

// TypeError "'{type}' object is not an instance of '{target}'" (or the None form).
void set_type_mismatch(PyObject* o, const char* target);
// TypeError "'{type}' object is not an instance of 'Sequence'" with the
// qualified name taken from collections.abc.Sequence.
void set_sequence_mismatch(PyObject* o);

// Error values into exceptions. Each returns nullptr for convenience.
PyObject* raise_read_error(const ReadError& e);
// OverflowError or MemoryError with the refusal's message (SystemError when
// there is none: a sink that failed without one).
PyObject* raise_refusal(const std::optional<SizeRefusal>& r);
PyObject* raise_os_error(const OsError& e);
// The exception class for an OS error number.
PyObject* os_error_class(int errnum);

// For walks over trees and structures that may be very long (a few nodes
// shared at every level stand for billions of places): every few thousand
// steps the signal handlers get their chance, so that Ctrl-C and alarms end
// the walk within a fraction of a second. step() is false with the
// handler's exception set.
class SignalChecks {
 public:
  bool step() {
    if (--left_ != 0) return true;
    left_ = kEvery;
    return PyErr_CheckSignals() == 0;
  }

 private:
  static constexpr unsigned kEvery = 4096;
  unsigned left_ = kEvery;
};

// Runs a module entry point: a std::bad_alloc escaping the body, or a
// std::length_error (a size beyond what any allocation can have), becomes
// MemoryError, anything else a SystemError; nothing crosses the C API but
// the unwinding with which the interpreter ends a thread (see unwinding.h),
// which must go on to the thread's start.
template <class F>
ORVEX_SEES_THREAD_END PyObject* guarded(F&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "orvex: unexpected internal error");
    return nullptr;
  }
}

}  // namespace orvex::py
