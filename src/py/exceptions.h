// Exceptions at the module boundary: taking one out of the interpreter and
// raising it again, the messages of type mismatches, the mapping from the
// core's error values to Python exceptions, and guarded(), which every entry
// point runs its body in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "errors.h"
#include "py/ref.h"
#include "py/unwinding.h"

namespace orvex {
struct SizeRefusal;
}

namespace orvex::py {

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

// A str of a message: the core's messages are UTF-8 (a byte that is not
// becomes U+FFFD).
Ref message_str(std::string_view message);
// A new exception of class `cls` with the message as its one argument; empty
// with the exception met set when making it failed.
Ref new_exception(PyObject* cls, std::string_view message);

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
