// Work done with the interpreter released (detached from it), and the
// references that such work may have to give back later.
//
// The library knows when a thread of its own is detached, because it
// detached it: a per-thread count says so. Nothing asks the interpreter
// (PyGILState_Check answers yes on every thread once a subinterpreter has
// existed).
//
// Re-attaching may end the thread: during interpreter finalization CPython
// 3.11-3.13 end a thread that tries to attach with pthread_exit, whose
// forced unwind runs through every frame up to the thread's start (3.14
// blocks the thread instead). So attaching happens only in ordinary code,
// never in a destructor or a noexcept frame; that unwinding is never
// caught without being rethrown (see unwinding.h); and once it
// has started the thread touches no Python object again: releases it meets
// on the way are deferred, and whatever it still holds is left. So no owner
// of a Python reference (a Ref) may live across run(): its destructor would
// give the reference back while the thread is being unwound, detached.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <optional>
#include <type_traits>
#include <utility>

#include "interrupts.h"
#include "py/ref.h"
#include "py/unwinding.h"

namespace orvex::py {

// Gives back Python references whose last holder went away while its thread
// was detached. Called at every attach point of the module.
void drain_deferred_releases();
// The hook SourceBuffer uses to give back its str: at once on an attached
// thread, deferred on one the library detached.
void release_py_object(void* object);
// Makes the list of deferred releases and keeps it usable across fork();
// once per process, before other threads may fork (the module's execution).
void prepare_deferred_releases();
// Whether the calling thread is inside work the library runs detached.
bool detached_here() noexcept;

// Releases the interpreter for run(). File I/O done meanwhile asks it,
// through interrupts(), whether to go on after a signal interrupted a system
// call (see interrupts.h): it attaches, runs the signal handlers and
// detaches again. An exception a handler raised is kept, every later
// question is answered no, and raise_kept() raises it once run() is over.
class Detached {
 public:
  Detached() noexcept = default;
  ~Detached();
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

  // Runs `body` detached and attaches again however it ends: what it returns
  // is returned, what it throws is thrown again once attached.
  template <class F>
  auto run(F&& body) -> std::invoke_result_t<F&>;

  Interrupts interrupts() noexcept { return {&Detached::run_handlers, this}; }
  // After run(): raises the exception a signal handler raised meanwhile and
  // returns true, or returns false when none did.
  bool raise_kept();

 private:
  void release() noexcept;
  void attach();
  static bool run_handlers(void* self);

  PyThreadState* ts_ = nullptr;  // while released
  bool attached_ = true;
  PyObject* kept_ = nullptr;  // what a handler raised
};

template <class F>
ORVEX_SEES_THREAD_END auto Detached::run(F&& body) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  if constexpr (std::is_void_v<R>) {
    (void)run([&] {
      body();
      return true;
    });
  } else {
    // What the body threw is thrown again once attached, as what the entry
    // point tells apart (see guarded()): running out of memory, or anything
    // else. (An exception_ptr would carry it as it is, but would tie the
    // module to a newer C++ runtime than it needs otherwise.)
    enum class Thrown : uint8_t { Nothing, NoMemory, Other } thrown = Thrown::Nothing;
    struct Unexpected {};
    std::optional<R> result;
    release();
    try {
      result.emplace(body());
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (const std::bad_alloc&) {
      thrown = Thrown::NoMemory;
    } catch (const std::length_error&) {
      thrown = Thrown::NoMemory;
    } catch (...) {
      thrown = Thrown::Other;
    }
    attach();
    if (thrown == Thrown::NoMemory) throw std::bad_alloc();
    if (thrown == Thrown::Other) throw Unexpected{};
    return std::move(*result);
  }
}

}  // namespace orvex::py
