// write_file's work, all of it done detached: the document of a tree into a
// file that is created or truncated (permission bits 0666 less the umask,
// close-on-exec) when the file sink first writes out. A document that
// outgrew the sink's buffer is measured first, and refused before the file
// is opened when it is too large (see size_policy.h); a small one is written
// by a single write(2). After a signal handler raised, nothing more is
// written (see interrupts.h).
#pragma once

#include <optional>
#include <string_view>

#include "errors.h"
#include "interrupts.h"
#include "result.h"
#include "storage/node_record.h"
#include "write/size_policy.h"
#include "write/writer.h"

namespace orvex {

// The close(2) the file is closed with: the native tests put one that fails
// as a full disk or an exceeded quota does on a network file system, where
// close is where a failed write is reported.
struct FileCalls {
  int (*close)(int fd) = ::close;
};

// Why nothing, or not all, was written.
struct FileWriteFailure {
  std::optional<SizeRefusal> refusal;  // refused before the file was opened
  OsError error;                       // otherwise
};

// `path` is the file system's bytes of the name; one holding a NUL byte
// fails before any system call. An error from close other than EINTR fails
// the call (bytes the system took stay in the file).
Result<Unit, FileWriteFailure> write_to_file(std::string_view path, const NodeRecord& root,
                                             const WriteOptions& options, const Interrupts& interrupts,
                                             FileCalls calls = {});

}  // namespace orvex
