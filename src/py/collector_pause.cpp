#include "py/collector_pause.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>

#include <mutex>

#include "py/detached.h"
#include <new>

namespace orvex::py {

namespace {

struct PauseState {
  std::mutex mutex;
  unsigned pausing = 0;  // calls inside a pause
  bool resume = false;   // whether the collector was enabled before the first
};
PauseState& state() noexcept {
  static PauseState* s = new PauseState;  // never destroyed (see detached.cpp)
  return *s;
}

void lock_for_fork() noexcept { state().mutex.lock(); }
void unlock_after_fork() noexcept { state().mutex.unlock(); }
// The child has only the forking thread, which is in no pause: the count is
// what it was, and the parent's other threads' pauses will never end there.
void renew_after_fork() noexcept {
  PauseState& s = state();
  new (&s.mutex) std::mutex;
  if (s.pausing != 0 && s.resume) PyGC_Enable();
  s.pausing = 0;
  s.resume = false;
}

}  // namespace

CollectorPause::CollectorPause() {
  PauseState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.pausing++ == 0) s.resume = PyGC_Disable() != 0;
}

CollectorPause::~CollectorPause() {
  // A thread the interpreter ends while it waits to attach again (see
  // let_others_join) is unwound detached: it leaves the collector as it is.
  if (detached_here()) return;
  PauseState& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (--s.pausing == 0 && s.resume) PyGC_Enable();
}

void CollectorPause::let_others_join() {
#if !defined(Py_GIL_DISABLED)
  Detached detached;
  detached.run([] {});
#endif
}

void prepare_collector_pause() {
  static const bool installed = [] {
    (void)state();
    return pthread_atfork(lock_for_fork, unlock_after_fork, renew_after_fork) == 0;
  }();
  (void)installed;
}

}  // namespace orvex::py
