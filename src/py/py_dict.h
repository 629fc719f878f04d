// Making dicts of a known size, and reading the caller's dicts safely.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <type_traits>
#include <utility>
#include <vector>

#include "py/ref.h"

// Critical sections lock an object for the duration of a block on a
// free-threaded interpreter, and do nothing with the global lock (3.13 and
// later declare them; before, every build has the lock).
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace orvex::py {

namespace detail {

// Whether the interpreter's headers declare _PyDict_NewPresized (CPython's
// own constructor of a dict with room for a given number of entries, which
// its headers have declared since long before 3.11 but do not promise to
// keep). Found by ordinary lookup when declared; otherwise the call in the
// unevaluated operand does not resolve and the partial specialization drops
// out.
template <class N, class = void>
struct HasPresizedDict : std::false_type {};
template <class N>
struct HasPresizedDict<N, std::void_t<decltype(_PyDict_NewPresized(N{}))>> : std::true_type {};

}  // namespace detail

// A new empty dict with room for `n` entries without growing, where the
// interpreter offers that; otherwise a plain new dict, which grows as
// entries come.
template <class N = Py_ssize_t>
inline PyObject* new_dict(N n) {
  if constexpr (detail::HasPresizedDict<N>::value) {
    return _PyDict_NewPresized(n);
  } else {
    return PyDict_New();
  }
}

// Calls fn(key, value) for each item of a caller's dict until it returns
// false; false then. With the global lock nothing else runs meanwhile
// (converting a str runs no Python code), and the dict is walked as it is.
// Without it another thread may change the dict at any moment, and
// converting may let one run: the items are then taken first, under the
// dict's lock, as strong references, and converted afterwards (the entries
// of one moment).
template <class F>
bool for_each_item(PyObject* dict, F&& fn) {
#if defined(Py_GIL_DISABLED)
  std::vector<std::pair<Ref, Ref>> items;
  Py_BEGIN_CRITICAL_SECTION(dict);
  items.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) items.emplace_back(Ref(Py_NewRef(k)), Ref(Py_NewRef(v)));
  Py_END_CRITICAL_SECTION();
  for (auto& [k, v] : items)
    if (!fn(k.get(), v.get())) return false;
#else
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v))
    if (!fn(k, v)) return false;
#endif
  return true;
}

}  // namespace orvex::py
