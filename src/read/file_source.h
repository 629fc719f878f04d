// Reads a whole file into an owned SourceBuffer. Plain POSIX I/O with no
// Python objects, so it runs while the thread is detached.
#pragma once

#include <string_view>

#include "errors.h"
#include "interrupts.h"
#include "result.h"
#include "storage/source_buffer.h"

namespace orvex::read {

// Opens `path` read-only (close-on-exec), reads it to the end using the file
// size as a hint, closes it and checks that the bytes are UTF-8. A path
// holding a NUL byte fails before any system call. Interrupted calls, and
// every kBytesBetweenChecks bytes read, ask `interrupts` whether to go on
// (see interrupts.h).
Result<SourceHandle, OsError> read_file_source(std::string_view path, const Interrupts& interrupts = {});

}  // namespace orvex::read
