#include "write/sinks.h"

#include "storage/block_pool.h"
#include "text/utf8.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

namespace orvex {

constexpr size_t kFirstBuffer = size_t{8} << 10;
const size_t kPage = static_cast<size_t>(::sysconf(_SC_PAGESIZE));

uint8_t MemorySink::max_byte() noexcept {
  if (size_ > scanned_) {
    const uint8_t m = text::max_byte(data_ + scanned_, size_ - scanned_);
    max_byte_ = m > max_byte_ ? m : max_byte_;
    scanned_ = size_;
  }
  return max_byte_;
}

bool MemorySink::grow(uint64_t more) {
  if (scan_step_ != 0) {
    (void)max_byte();
    if (more <= cap_ - size_) {
      relimit(size_ + more);
      return true;
    }
  }
  if (!make_room(more)) return false;
  relimit(size_ + more);
  return true;
}

bool MemorySink::make_room(uint64_t more) {
  if (drain_ != nullptr && more > bound_ - std::min(size_, bound_)) {
    if (size_ > 0 && !drain()) return false;
    if (more <= cap_ - size_) return true;
  }
  if (check_ != nullptr && more > budget_ - std::min(size_, budget_)) {
    const BudgetCheck check = check_;
    check_ = nullptr;
    uint64_t document = 0;
    if (!check(check_ctx_, &document)) {
      failed_ = true;
      return false;
    }
    // The size is a lower bound (escaping only adds), so reserving it never
    // over-allocates and spares most regrowth.
    if (document > cap_ && document <= SIZE_MAX) regrow(static_cast<size_t>(document));
    if (more <= cap_ - size_) return true;
  }
  if (more > SIZE_MAX - size_) throw std::bad_alloc();
  const uint64_t need = static_cast<uint64_t>(size_) + more;
  // The first buffer on the heap takes most small documents whole: growing
  // it step by step cost more than a third as much as their walk.
  size_t want = cap_ < kFirstBuffer ? kFirstBuffer : cap_;
  while (want < need) want = want > SIZE_MAX / 2 ? static_cast<size_t>(need) : want * 2;
  if (check_ != nullptr && want > budget_) want = budget_;  // need fits: the check passed above
  if (drain_ != nullptr && want > bound_) want = std::max<size_t>(bound_, static_cast<size_t>(need));
  regrow(want);
  return true;
}

bool MemorySink::write_slow(const char* p, size_t n) {
  if (drain_ != nullptr && n >= bound_) {
    if (!drain()) return false;
    if (drain_(drain_ctx_, p, n, false) == n) return true;
    failed_ = true;
    return false;
  }
  if (!grow(n)) return false;
  text::copy_bytes(data_ + size_, p, n);
  size_ += n;
  return true;
}

bool MemorySink::spaces_slow(uint64_t n) {
  if (drain_ == nullptr) {
    if (!grow(n)) return false;
    std::memset(data_ + size_, ' ', static_cast<size_t>(n));
    size_ += static_cast<size_t>(n);
    return true;
  }
  // A drained buffer is filled in place and handed on as often as needed.
  while (n > 0) {
    if (size_ == limit_ && !grow(std::min<uint64_t>(n, bound_))) return false;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, limit_ - size_));
    std::memset(data_ + size_, ' ', take);
    size_ += take;
    n -= take;
  }
  return true;
}

bool MemorySink::drain() {
  if (size_ == 0) return true;
  peak_ = std::max(peak_, size_);
  const size_t took = drain_(drain_ctx_, data_, size_, true);
  if (took > 0) std::memmove(data_, data_ + took, size_ - took);
  size_ -= took;
  if (size_ == 0) return true;
  failed_ = true;
  return false;
}

// A large document is written into a mapping of its own, aligned to 2 MiB
// and marked for transparent huge pages where the system offers them: the
// buffer is written once from start to end, and one fault per 2 MiB instead
// of one per 4 KiB makes a measurable share of writing tens of MiB. While
// the budget is unchecked the mapping spans the whole budget: only the pages
// written are ever touched, and growing within it copies nothing.
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kMappedFrom = size_t{4} << 20;

// The last large buffer is kept for the next large document (see
// storage/block_pool.h): a new mapping costs a fault and a zeroed page per
// 2 MiB written (a tenth of the time to write a document of tens of MiB), a
// kept one costs neither.

void MemorySink::regrow(size_t capacity) {
  if (map_ != nullptr && capacity <= map_room_) {
    cap_ = capacity;
    return;
  }
  if (capacity < kMappedFrom) {
    char* p = static_cast<char*>(data_ == in_place_ ? std::malloc(capacity) : std::realloc(data_, capacity));
    if (p == nullptr) throw std::bad_alloc();
    if (data_ == in_place_ && size_ > 0) std::memcpy(p, data_, size_);
    data_ = p;
    cap_ = capacity;
    return;
  }
  const size_t span = check_ != nullptr && budget_ > capacity ? budget_ : capacity;
  if (span > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
  const size_t rounded = (span + kHugePage - 1) & ~(kHugePage - 1);
#ifdef MREMAP_MAYMOVE
  // A mapping grows by moving its pages, not copying them: a copy would
  // hold the whole buffer twice for a moment, and that moment would be the
  // call's peak (a counted document's reservation is exact but for escaping
  // and the few bytes of slack its last pieces ask for).
  // Should the move be refused, a new mapping and a copy follow below.
  if (map_ != nullptr && map_ == data_) {
    if (void* moved = ::mremap(map_, map_size_, rounded, MREMAP_MAYMOVE); moved != MAP_FAILED) {
      map_ = moved;
      map_size_ = rounded;
      map_room_ = rounded;
      data_ = static_cast<char*>(moved);
#ifdef MADV_HUGEPAGE
      (void)::madvise(data_, rounded, MADV_HUGEPAGE);
#endif
      cap_ = capacity;
      return;
    }
  }
#endif
  if (PoolMapping spare = pool_take_mapping(rounded); spare.map != nullptr) {
    if (size_ > 0) std::memcpy(spare.data, data_, size_);
    release();
    map_ = spare.map;
    map_size_ = spare.map_size;
    map_room_ = spare.room;
    data_ = spare.data;
    cap_ = capacity;
    return;
  }
  const size_t map_size = rounded + kHugePage;  // room to align the start
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_NORESERVE
  if (span > capacity) flags |= MAP_NORESERVE;  // most of it may never be written
#endif
  void* map = ::mmap(nullptr, map_size, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (map == MAP_FAILED) throw std::bad_alloc();
  const auto start = (reinterpret_cast<uintptr_t>(map) + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
  char* p = reinterpret_cast<char*>(start);
  // Only the aligned part is kept: one region of uniform advice, which can
  // later grow by mremap (it moves a single region only).
  const size_t head = static_cast<size_t>(p - static_cast<char*>(map));
  if (head > 0) ::munmap(map, head);
  if (head < kHugePage) ::munmap(p + rounded, kHugePage - head);
#ifdef MADV_HUGEPAGE
  (void)::madvise(p, rounded, MADV_HUGEPAGE);  // only advice: fine if refused
#endif
  if (size_ > 0) std::memcpy(p, data_, size_);
  release();
  map_ = p;
  map_size_ = rounded;
  map_room_ = rounded;
  data_ = p;
  cap_ = capacity;
}

void MemorySink::give_back(size_t consumed) noexcept {
  if (map_ == nullptr) return;
  // data_ starts a page, so whole pages are counted from it.
  const size_t end = std::min(consumed, size_) / kPage * kPage;
  if (end <= given_back_) return;
  (void)::madvise(data_ + given_back_, end - given_back_, MADV_DONTNEED);  // advice: fine if refused
  given_back_ = end;
}

void MemorySink::release() noexcept {
  if (map_ != nullptr) {
    const size_t written = std::max(peak_, size_);
    const PoolMapping m{map_, map_size_, data_, map_room_, std::min(map_room_, (written + kHugePage - 1) & ~(kHugePage - 1))};
    if (!pool_keep_mapping(m)) ::munmap(map_, map_size_);
  } else if (data_ != in_place_) {
    std::free(data_);
  }
  map_ = nullptr;
  map_room_ = 0;
  given_back_ = 0;
  data_ = nullptr;
}

int FileSink::write_fully(const char* p, size_t n, size_t* done) {
  size_t off = 0;
  while (off < n) {
    // Bounded pieces, so that the handlers get their chance within a long
    // piece too (Linux caps a single write at about 2 GiB anyway).
    const size_t chunk = std::min<size_t>(n - off, kBytesBetweenChecks);
    const ssize_t w = retry_interrupted(interrupts_, [&] { return ::write(fd_, p + off, chunk); });
    if (w < 0) {
      *done = off;
      return errno;
    }
    if (w == 0) {
      *done = off;
      return -1;
    }
    off += static_cast<size_t>(w);
    unchecked_ += static_cast<uint64_t>(w);
    // A signal that arrives once some bytes are taken cuts the write short
    // instead of failing it with EINTR: the handlers get their chance then
    // too, or a write blocked on a full pipe would wait on for good.
    if (static_cast<size_t>(w) < chunk || unchecked_ >= kBytesBetweenChecks) {
      unchecked_ = 0;
      if (!interrupts_.go_on()) {
        *done = off;
        return EINTR;
      }
    }
  }
  *done = off;
  return 0;
}

bool FileSink::open(bool whole_document) {
  if (fd_ >= 0) return true;
  if (failed_ || opener_.open == nullptr) return false;
  OsError err{};
  if (opener_.open(opener_.ctx, whole_document, &fd_, &err)) return true;
  fd_ = -1;
  fail(err);
  return false;
}

size_t FileSink::take(void* self, const char* p, size_t n, bool buffered) {
  auto* sink = static_cast<FileSink*>(self);
  if (!sink->open(false)) return 0;
  size_t done = 0;
  const int rc = sink->write_fully(p, n, &done);
  if (rc != 0) sink->fail(rc > 0 ? OsError::from_errno(rc)
                                 : OsError::fixed(buffered ? kFailedBufferedWrite : kFailedWholeWrite));
  return done;
}

bool FileSink::flush() {
  if (!open(true)) return false;
  return mem_.drain();
}

}  // namespace orvex
