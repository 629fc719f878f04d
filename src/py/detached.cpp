#include "py/detached.h"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "py/binding.h"

namespace orvex::py {

namespace {

// Inside Detached::run (minus the moments a signal handler runs attached).
thread_local int t_detached = 0;

// References given back while detached, for the next thread that attaches.
// Never destroyed: a daemon thread may still be detached in the library
// while the process exits and runs its static destructors.
struct Deferred {
  std::mutex mutex;
  std::vector<PyObject*> objects;
  std::atomic<bool> any{false};
};
Deferred& deferred() noexcept {
  static Deferred* d = new Deferred;
  return *d;
}

// fork() while another thread holds the lock would leave it held for good
// in the child: it is taken around the fork and made anew in the child,
// where the objects listed are the child's own copies, still to be given
// back there as in the parent.
void lock_for_fork() noexcept { deferred().mutex.lock(); }
void unlock_after_fork() noexcept { deferred().mutex.unlock(); }
void renew_after_fork() noexcept { new (&deferred().mutex) std::mutex; }

}  // namespace

bool detached_here() noexcept { return t_detached > 0; }

void release_py_object(void* object) {
  PyObject* o = static_cast<PyObject*>(object);
  if (t_detached == 0) {
    Py_DECREF(o);
    return;
  }
  Deferred& d = deferred();
  std::lock_guard<std::mutex> lock(d.mutex);
  try {
    d.objects.push_back(o);
  } catch (const std::bad_alloc&) {
    // Out of memory: keeping the str alive is the only safe choice left.
    return;
  }
  d.any.store(true, std::memory_order_release);
}

void drain_deferred_releases() {
  Deferred& d = deferred();
  if (!d.any.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    batch.swap(d.objects);
    d.any.store(false, std::memory_order_release);
  }
  for (PyObject* o : batch) Py_DECREF(o);
}

void prepare_deferred_releases() {
  static const bool installed = [] {
    (void)deferred();
    return pthread_atfork(lock_for_fork, unlock_after_fork, renew_after_fork) == 0;
  }();
  (void)installed;
}

Detached::~Detached() {
  // Not attached only when the interpreter ended the thread inside run():
  // what a handler raised is then left, as everything else it holds.
  if (attached_) Py_XDECREF(kept_);
}

void Detached::release() noexcept {
  ++t_detached;  // before: a release meanwhile is only deferred
  attached_ = false;
  ts_ = PyEval_SaveThread();
}

void Detached::attach() {
  PyEval_RestoreThread(std::exchange(ts_, nullptr));  // may end the thread (see detached.h)
  attached_ = true;
  --t_detached;
  drain_deferred_releases();
}

bool Detached::run_handlers(void* self) {
  auto* d = static_cast<Detached*>(self);
  if (d->kept_ != nullptr || d->ts_ == nullptr) return false;
  PyEval_RestoreThread(std::exchange(d->ts_, nullptr));  // may end the thread
  d->attached_ = true;
  --t_detached;
  if (PyErr_CheckSignals() < 0) d->kept_ = fetch_raised().release();
  ++t_detached;
  d->attached_ = false;
  d->ts_ = PyEval_SaveThread();
  return d->kept_ == nullptr;
}

bool Detached::raise_kept() {
  if (kept_ == nullptr) return false;
  restore_raised(Ref(std::exchange(kept_, nullptr)));
  return true;
}

}  // namespace orvex::py
