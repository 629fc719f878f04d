// File I/O runs detached from the interpreter, where a signal's Python
// handler cannot run. So when a signal interrupts a system call (EINTR), and
// now and then during long I/O, the I/O asks its caller whether it may go
// on; the interpreter layer answers by running the handlers (see Detached in
// binding.h). No means a handler raised: the I/O stops, closes what it
// opened, and fails with OsError::interrupted(); the call then raises the
// handler's exception.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace orvex {

struct Interrupts {
  bool (*handle)(void* ctx) = nullptr;  // true: go on
  void* ctx = nullptr;

  // Without a handler (native tests, benchmarks) the answer is always yes.
  bool go_on() const { return handle == nullptr || handle(ctx); }
};

// Bytes a read or write may move between two chances for the handlers. An
// endless source (/dev/zero, a pipe that never closes) returns data without
// ever being interrupted; a chance every 32 MiB costs an attach per several
// milliseconds of copying.
inline constexpr uint64_t kBytesBetweenChecks = uint64_t{32} << 20;

// Runs a system call (a callable returning a negative value with errno set
// on failure) again after each EINTR for as long as the handlers allow.
// When a handler refuses, the result is -1 with errno EINTR.
//
// Nothing on the way from here to the handlers is noexcept: asking them
// attaches to the interpreter, which may end the thread by unwinding it (see
// py/detached.h).
template <class Call>
inline auto retry_interrupted(const Interrupts& in, Call call) {
  for (;;) {
    const auto r = call();
    if (r >= 0 || errno != EINTR) return r;
    if (!in.go_on()) {
      errno = EINTR;
      return decltype(r){-1};
    }
  }
}

// open(2), retried after EINTR (errno EINTR: a handler refused).
inline int open_interruptible(const char* path, int flags, mode_t mode, const Interrupts& in) {
  return retry_interrupted(in, [&] { return ::open(path, flags, mode); });
}

// close(2) (or what stands in for it), never retried: on Linux the
// descriptor is released even when close reports EINTR, and a retry could
// close one that another thread has just opened. After EINTR the handlers
// still run. Returns 0, the error close reported, or EINTR when a handler
// refused to go on.
inline int close_interruptible(int fd, const Interrupts& in, int (*close_call)(int) = ::close) {
  if (close_call(fd) == 0) return 0;
  const int e = errno;
  if (e != EINTR) return e;
  return in.go_on() ? 0 : EINTR;
}

// An open descriptor, closed on every way out. Closing in the destructor
// asks no handler (it may run while the thread is being unwound); close()
// does.
class OwnedFd {
 public:
  OwnedFd(int fd, const Interrupts& in) noexcept : fd_(fd), in_(in) {}
  ~OwnedFd() {
    if (fd_ >= 0) (void)::close(fd_);
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;

  int get() const noexcept { return fd_; }
  // Closes now: 0, the error close reported, or EINTR when a handler refused.
  int close() {
    const int fd = fd_;
    fd_ = -1;
    return close_interruptible(fd, in_);
  }

 private:
  int fd_;
  const Interrupts& in_;
};

}  // namespace orvex
