// Giving signal handlers their chance during long attached walks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orvex::py {

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

}  // namespace orvex::py
