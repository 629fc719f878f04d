#include "read/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "read/utf8.h"

namespace orvex::read {

namespace {

class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);  // nothing useful to do with a failed close after reading
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

ssize_t read_retrying(int fd, char* into, size_t n) noexcept {
  for (;;) {
    ssize_t got = ::read(fd, into, n);
    if (got >= 0 || errno != EINTR) return got;
  }
}

}  // namespace

Result<SourceHandle, OsError> read_file_source(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return fail(OsError::fixed(kNulInPath));
  const std::string cpath(path);

  std::unique_ptr<char[]> buf;
  size_t len = 0;
  {
    int raw;
    do raw = ::open(cpath.c_str(), O_RDONLY | O_CLOEXEC);
    while (raw < 0 && errno == EINTR);
    if (raw < 0) return fail(OsError::from_errno(errno));
    Fd fd(raw);

    // The size is only a hint: the file may change, and special files report 0.
    size_t cap = 0;
    struct stat st;
    if (::fstat(fd.get(), &st) == 0 && st.st_size > 0) cap = static_cast<size_t>(st.st_size);

    buf.reset(new char[cap ? cap : 1]);
    for (;;) {
      if (len == cap) {
        // Full: probe with a small read before growing, so that a file whose
        // size was known is read without reallocating.
        char probe[32];
        ssize_t got = read_retrying(fd.get(), probe, sizeof probe);
        if (got < 0) return fail(OsError::from_errno(errno));
        if (got == 0) break;
        size_t bigger = cap < 4096 ? 8192 : cap * 2;
        std::unique_ptr<char[]> grown(new char[bigger]);
        std::memcpy(grown.get(), buf.get(), len);
        std::memcpy(grown.get() + len, probe, static_cast<size_t>(got));
        len += static_cast<size_t>(got);
        buf = std::move(grown);
        cap = bigger;
        continue;
      }
      ssize_t got = read_retrying(fd.get(), buf.get() + len, cap - len);
      if (got < 0) return fail(OsError::from_errno(errno));
      if (got == 0) break;
      len += static_cast<size_t>(got);
    }
  }  // closed here, before the contents are checked

  if (!is_valid_utf8(buf.get(), len)) return fail(OsError::fixed(kInvalidUtf8Stream));
  SourceHandle doc(SourceBuffer::adopt_bytes(buf.get(), len));
  buf.release();  // now owned by the buffer
  return doc;
}

}  // namespace orvex::read
