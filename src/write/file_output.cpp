#include "write/file_output.h"

#include <fcntl.h>

#include <cerrno>
#include <string>
#include <utility>

#include "write/sinks.h"

namespace orvex {

namespace {

// Where the sink writes, asked for when it first writes out (see
// FileSink::Opener).
struct FileTarget {
  const std::string path;  // NUL-terminated for open(2)
  const NodeRecord& root;
  const WriteOptions& options;
  const Interrupts& interrupts;
  FileCalls calls;
  int fd = -1;
  std::optional<SizeRefusal> refusal;

  FileTarget(std::string_view p, const NodeRecord& r, const WriteOptions& o, const Interrupts& in, FileCalls c)
      : path(p), root(r), options(o), interrupts(in), calls(c) {}
  FileTarget(const FileTarget&) = delete;
  FileTarget& operator=(const FileTarget&) = delete;
  // Only when the thread is being unwound: no handler is asked then.
  ~FileTarget() {
    if (fd >= 0) (void)calls.close(fd);
  }

  static bool open(void* ctx, bool whole_document, int* fd, OsError* error) {
    auto* self = static_cast<FileTarget*>(ctx);
    if (!whole_document && (self->refusal = check_file_size(self->root, self->options))) return false;
    if (self->path.find('\0') != std::string::npos) {
      *error = OsError::fixed(kNulInPath);
      return false;
    }
    self->fd = open_interruptible(self->path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666,
                                  self->interrupts);
    if (self->fd < 0) {
      *error = OsError::from_errno(errno);
      return false;
    }
    *fd = self->fd;
    return true;
  }

  // 0 when the file is closed (or was never opened), else close's error or
  // EINTR when a handler refused to go on.
  int close() {
    if (fd < 0) return 0;
    return close_interruptible(std::exchange(fd, -1), interrupts, calls.close);
  }
};

Failure<FileWriteFailure> failed(OsError e) { return fail(FileWriteFailure{std::nullopt, e}); }

}  // namespace

Result<Unit, FileWriteFailure> write_to_file(std::string_view path, const NodeRecord& root,
                                             const WriteOptions& options, const Interrupts& interrupts,
                                             FileCalls calls) {
  FileTarget target(path, root, options, interrupts, calls);
  FileSink sink(FileSink::Opener{&FileTarget::open, &target}, interrupts);
  const bool ok = write_document(sink, root, options) && sink.flush();
  // One last try for what is still buffered after a write error; its outcome is moot.
  if (!ok && target.fd >= 0 && sink.error().errnum != EINTR) (void)sink.flush();
  // After a failed write the first error is the one reported; after a
  // complete one, close's (a handler that raised during it included).
  const int closed = target.close();
  if (target.refusal) return fail(FileWriteFailure{std::move(target.refusal), {}});
  if (!ok) return failed(sink.error());
  if (closed == EINTR) return failed(OsError::interrupted());
  if (closed != 0) return failed(OsError::from_errno(closed));
  return Unit{};
}

}  // namespace orvex
