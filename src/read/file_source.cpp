#include "read/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "text/utf8.h"
#include "storage/block_pool.h"

namespace orvex::read {

namespace {

// read(2) of at most kBytesBetweenChecks bytes, retried after EINTR for as
// long as the handlers allow. -1 with errno set (EINTR: a handler refused).
ssize_t read_some(int fd, char* into, size_t n, const Interrupts& in) {
  n = std::min<size_t>(n, kBytesBetweenChecks);
  return retry_interrupted(in, [&] { return ::read(fd, into, n); });
}

}  // namespace

Result<SourceHandle, OsError> read_file_source(std::string_view path, const Interrupts& in) {
  if (path.find('\0') != std::string_view::npos) return fail(OsError::fixed(kNulInPath));
  const std::string cpath(path);

  // The bytes go into a block from the pool: a large file read after
  // another finds its memory mapped already.
  struct Bytes {
    PoolBlock block;
    Bytes() = default;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes() { pool_give(block); }
    char* get() const noexcept { return static_cast<char*>(block.data); }
    void take(size_t n) {
      block = pool_take(n);
      if (block.data == nullptr) throw std::bad_alloc();
    }
  } buf;
  size_t len = 0;
  {
    const int raw = open_interruptible(cpath.c_str(), O_RDONLY | O_CLOEXEC, 0, in);
    if (raw < 0) return fail(OsError::from_errno(errno));
    OwnedFd fd(raw, in);

    // The size is only a hint: the file may change, and special files report 0.
    size_t cap = 0;
    struct stat st;
    if (::fstat(fd.get(), &st) == 0 && st.st_size > 0) cap = static_cast<size_t>(st.st_size);

    // A source that never ends (/dev/zero) is never interrupted either: the
    // handlers get their chance by the bytes read.
    uint64_t unchecked = 0;
    auto count = [&](ssize_t got) {
      unchecked += static_cast<uint64_t>(got);
      if (unchecked < kBytesBetweenChecks) return true;
      unchecked = 0;
      return in.go_on();
    };

    buf.take(cap ? cap : 1);
    cap = buf.block.bytes;
    for (;;) {
      if (len == cap) {
        // Full: probe with a small read before growing, so that a file whose
        // size was known is read without reallocating.
        char probe[32];
        const ssize_t got = read_some(fd.get(), probe, sizeof probe, in);
        if (got < 0) return fail(OsError::from_errno(errno));
        if (got == 0) break;
        Bytes grown;
        grown.take(cap < 4096 ? 8192 : cap * 2);
        std::memcpy(grown.get(), buf.get(), len);
        std::memcpy(grown.get() + len, probe, static_cast<size_t>(got));
        len += static_cast<size_t>(got);
        std::swap(buf.block, grown.block);
        cap = buf.block.bytes;
        if (!count(got)) return fail(OsError::interrupted());
        continue;
      }
      const ssize_t got = read_some(fd.get(), buf.get() + len, cap - len, in);
      if (got < 0) return fail(OsError::from_errno(errno));
      if (got == 0) break;
      len += static_cast<size_t>(got);
      if (!count(got)) return fail(OsError::interrupted());
    }
    // Closed before the contents are checked. A failed close after reading
    // changes nothing; a handler that raised during it ends the call.
    if (fd.close() == EINTR) return fail(OsError::interrupted());
  }

  if (!text::is_valid_utf8(buf.get(), len)) return fail(OsError::fixed(kInvalidUtf8Stream));
  SourceHandle doc(SourceBuffer::adopt_block(buf.block.data, buf.block.bytes, len));
  buf.block = {};  // now the buffer's
  return doc;
}

}  // namespace orvex::read
