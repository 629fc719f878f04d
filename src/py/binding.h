// Argument binding and error reporting shared by every function and method of
// the module: one table-driven binder, one conversion per kind of parameter,
// and the mapping from internal error values to Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "errors.h"
#include "interrupts.h"

namespace orvex::py {

// An owned reference; released on scope exit.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) { Py_XDECREF(p_); p_ = o.p_; o.p_ = nullptr; }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { PyObject* p = p_; p_ = nullptr; return p; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Owned references in order; given back on scope exit unless taken.
class RefList {
 public:
  RefList() = default;
  RefList(RefList&& o) noexcept : items_(std::move(o.items_)) {}
  RefList& operator=(RefList&&) = delete;
  RefList(const RefList&) = delete;
  RefList& operator=(const RefList&) = delete;
  ~RefList() {
    for (PyObject* o : items_) Py_DECREF(o);
  }

  void reserve(size_t n) { items_.reserve(n); }
  // Takes the reference over (also when growing the list throws).
  void push(Ref r) {
    items_.push_back(r.get());
    r.release();
  }
  size_t size() const noexcept { return items_.size(); }
  PyObject* const* data() const noexcept { return items_.data(); }
  // The list no longer gives the references back: whoever got them owns them.
  void forget() noexcept { items_.clear(); }

 private:
  std::vector<PyObject*> items_;
};

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
PyObject* raise_os_error(const OsError& e);
// The exception class for an OS error number.
PyObject* os_error_class(int errnum);

// Gives back Python references whose last holder went away on a detached
// thread. Called at every attach point of the module.
void drain_deferred_releases();
// The hook SourceBuffer uses to give back its str.
void release_py_object(void* object);

// Releases the interpreter for the lifetime of the object. On re-attaching it
// gives back references that detached threads had to defer.
//
// File I/O done meanwhile asks it, through interrupts(), whether to go on
// after a signal interrupted a system call (see interrupts.h): it attaches,
// runs the signal handlers and detaches again. An exception a handler raised
// is kept, every later question is answered no, and raise_kept() raises it
// once the thread is attached for good.
class Detached {
 public:
  Detached() : ts_(PyEval_SaveThread()) {}
  ~Detached() {
    attach();
    Py_XDECREF(kept_);
  }
  void attach() {
    if (ts_) {
      PyEval_RestoreThread(ts_);
      ts_ = nullptr;
      drain_deferred_releases();
    }
  }
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

  Interrupts interrupts() noexcept { return {&Detached::run_handlers, this}; }
  // After attach(): raises the exception a signal handler raised while
  // detached and returns true, or returns false when none did.
  bool raise_kept() {
    if (kept_ == nullptr) return false;
    restore_raised(Ref(kept_));
    kept_ = nullptr;
    return true;
  }

 private:
  static bool run_handlers(void* self) {
    auto* d = static_cast<Detached*>(self);
    if (d->kept_ != nullptr || d->ts_ == nullptr) return d->kept_ == nullptr;
    PyEval_RestoreThread(d->ts_);
    if (PyErr_CheckSignals() < 0) d->kept_ = fetch_raised().release();
    d->ts_ = PyEval_SaveThread();
    return d->kept_ == nullptr;
  }

  PyThreadState* ts_;
  PyObject* kept_ = nullptr;  // what a handler raised
};

// Runs a module entry point: a std::bad_alloc escaping the body, or a
// std::length_error (a size beyond what any allocation can have), becomes
// MemoryError, anything else a SystemError; nothing crosses the C API.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
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
