// Making dicts of a known size.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <type_traits>

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

}  // namespace orvex::py
