// The unwinding with which a thread is ended (pthread_exit, as the
// interpreter ends a thread that attaches during finalization, or
// pthread_cancel) passes through catch (...) handlers like an exception, but
// must never be handled: a handler that does not rethrow it aborts the
// process. So every catch (...) that could see it is preceded by
//   catch (abi::__forced_unwind&) { throw; }
// in a function marked ORVEX_SEES_THREAD_END: the unwinding carries no C++
// object, and the undefined-behaviour sanitizer would report the reference
// bound to it.
#pragma once

#include <cxxabi.h>

#define ORVEX_SEES_THREAD_END __attribute__((no_sanitize("undefined")))
