// Argument binding shared by every function and method of the module: one
// table-driven binder, one conversion per kind of parameter, and the note
// that names the parameter whose conversion failed.
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

#include "py/exceptions.h"
#include "py/ref.h"

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

// A sequence's length as a capacity hint, taken as PyObject_LengthHint takes
// it: TypeError means no hint (0); any other exception is passed on (false,
// with it set). At most `cap`: the length is only the object's word, and an
// absurd one must not become an allocation of that size.
bool size_hint(PyObject* seq, size_t cap, size_t* out);

}  // namespace orvex::py
