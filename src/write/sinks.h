// Where the writer's bytes go: a growable in-memory buffer, or the same
// buffer kept to a bounded size and written out to a file descriptor
// whenever it fills. The writer's walk writes into the memory buffer in
// both cases (see pieces.h); `write` and `spaces` return false once the
// sink has failed, and the first error is kept in the sink.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "errors.h"
#include "interrupts.h"
#include "storage/shared_str.h"
#include "text/words.h"
#include "write/escape.h"

namespace orvex {

// Appends everything to one growing byte buffer. Fails only when a budget
// was set and its check refused the document, or a drain failed (running
// out of memory throws std::bad_alloc, which the entry point turns into
// MemoryError).
class MemorySink {
 public:
  // Called once, when the buffer is about to grow past its budget: gives the
  // least size of the whole document (room is made for it at once) or false
  // to stop writing.
  using BudgetCheck = bool (*)(void* ctx, uint64_t* document_size);

  MemorySink() noexcept = default;
  MemorySink(const MemorySink&) = delete;
  MemorySink& operator=(const MemorySink&) = delete;
  ~MemorySink() { release(); }

  // Up to `bytes` the buffer grows without asking; growing past them asks
  // `check` first. Lets a caller write a document without counting it
  // first, yet still refuse one that would be absurdly large before much of
  // it exists. Set before the first write.
  void set_budget(size_t bytes, BudgetCheck check, void* ctx) noexcept {
    if (cap_ > bytes) cap_ = bytes;
    limit_ = cap_;
    budget_ = bytes;
    check_ = check;
    check_ctx_ = ctx;
  }

  // Hands the bytes on instead of growing past `bound`: when a piece does
  // not fit, what the buffer holds goes to `drain` and the buffer starts
  // over. A piece of `bound` bytes or more given to write() goes to `drain`
  // straight from where it is; room() for a larger one grows the buffer for
  // it (escaped() takes strings longer than piece_limit() in runs, so only a
  // huge name or key does). `drain` receives the bytes and
  // whether they are the buffer's, and returns how many it took: all of them
  // or the sink fails. Set before the first write; not with a budget.
  using Drain = size_t (*)(void* ctx, const char* p, size_t n, bool buffered);
  void set_drain(size_t bound, Drain drain, void* ctx) noexcept {
    if (cap_ > bound) cap_ = bound;
    limit_ = cap_;
    bound_ = bound;
    drain_ = drain;
    drain_ctx_ = ctx;
  }
  // Hands what the buffer holds to the drain; what it did not take stays
  // buffered. True when there was nothing to hand on.
  bool drain();
  // The longest string given to one piece (see set_drain).
  size_t piece_limit() const noexcept { return drain_ != nullptr ? bound_ / 2 : SIZE_MAX; }

  // Keeps the largest byte written as the output grows, looking at each
  // `step` bytes while they are still in the cache (see max_byte). Set
  // before the first write; not with a drain.
  void scan_as_written(size_t step) noexcept {
    scan_step_ = step;
    relimit(0);
  }
  // The largest byte written so far.
  uint8_t max_byte() noexcept;

  bool write(const char* p, size_t n) {
    if (n > limit_ - size_) return write_slow(p, n);
    text::copy_bytes(data_ + size_, p, n);
    size_ += n;
    return true;
  }
  bool write(std::string_view s) { return write(s.data(), s.size()); }
  bool spaces(uint64_t n) {
    if (n > limit_ - size_) return spaces_slow(n);
    std::memset(data_ + size_, ' ', static_cast<size_t>(n));
    size_ += static_cast<size_t>(n);
    return true;
  }

  // Where the next `n` bytes go, after making room for them (null when the
  // budget refused). The caller stores up to `n` bytes there and then hands
  // the end of what it means to keep to commit().
  char* room(size_t n) {
    if (n > limit_ - size_ && !grow(n)) return nullptr;
    return data_ + size_;
  }
  void commit(char* end) noexcept { size_ = static_cast<size_t>(end - data_); }

  // The writer's primitives (see pieces.h). A piece is room for n bytes and
  // a vector stored past them, written through a cursor of its own (a
  // local, so that the compiler need not reload the sink after each byte
  // stored) and committed by done(). A view may be read a whole vector at a
  // time where the bytes are still its own document's (see over_readable).
  static constexpr size_t kBlock = 16;
  static constexpr size_t kShortIndent = 48;  // stored as one piece of spaces

  class Piece {
   public:
    explicit operator bool() const noexcept { return o_ != nullptr; }
    template <size_t N>
    void punct(const char (&s)[N]) noexcept {
      std::memcpy(o_, s, N - 1);
      o_ += N - 1;
    }
    void raw(const SharedStr& s, const char* readable) noexcept {
      const size_t n = s.size();
      if (n <= kBlock && over_readable(s, readable)) std::memcpy(o_, s.data(), kBlock);
      else if (n > 0) std::memcpy(o_, s.data(), n);
      o_ += n;
    }
    // A string short enough to be tested and stored as one vector, and
    // needing no escaping in `mode`: stored, and true; false leaves the
    // piece as it was.
    template <EscapeMode mode>
    bool plain(const SharedStr& s, const char* readable) noexcept {
      const size_t n = s.size();
      if (n > kBlock || !over_readable(s, readable) || (escapable_bits<mode>(s.data()) & low_bits(n)) != 0)
        return false;
      std::memcpy(o_, s.data(), kBlock);
      o_ += n;
      return true;
    }
    // n <= kShortIndent spaces, in a piece made for kShortIndent.
    void indent(uint64_t n) noexcept {
      std::memset(o_, ' ', kShortIndent);
      o_ += n;
    }

   private:
    friend class MemorySink;
    explicit Piece(char* o) noexcept : o_(o) {}
    char* o_;
  };

  bool element() const noexcept { return true; }
  Piece piece(size_t n) { return Piece(room(n + kBlock)); }
  bool done(const Piece& p) noexcept {
    commit(p.o_);
    return true;
  }
  // `s` escaped in `mode`, making its own room. The bytes are tested and
  // copied by whole vectors; a string that is not over-readable has its
  // last partial vector copied to a local one first. A drained buffer gets
  // long strings in runs of at most piece_limit() bytes.
  template <EscapeMode mode>
  bool escaped(const SharedStr& s, const char* readable);

  // Gives the pages holding the first `consumed` bytes back to the system:
  // for the last reader of a large buffer (write_string decoding it into
  // its str), so that the output is not resident twice. Only a buffer in a
  // mapping of its own gives anything back; the bytes given back read as
  // zeros afterwards.
  void give_back(size_t consumed) noexcept;

  const char* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  std::string_view bytes() const noexcept { return {data(), size_}; }
  bool failed() const noexcept { return failed_; }

 private:
  // Whether the vector at the start of `s`, and every one starting inside
  // it, lies within the document `s` views, which ends at `readable`.
  static bool over_readable(const SharedStr& s, const char* readable) noexcept {
    return s.is_borrowed() && readable != nullptr && static_cast<size_t>(readable - s.data()) >= s.size() + kBlock;
  }
  static uint32_t low_bits(size_t n) noexcept { return n >= 32 ? ~0u : (1u << n) - 1; }
  // escaped() for the bytes [p, end), which may be read a vector at a time
  // past `end` when `readable`.
  template <EscapeMode mode>
  bool escape_run(const char* p, const char* end, bool readable);

  bool grow(uint64_t more);     // room for `more` bytes beyond size()
  bool make_room(uint64_t more);
  // Where the inline paths stop and call grow(): the capacity, or sooner
  // when the next bytes are due to be scanned, but never before `end`.
  void relimit(uint64_t end) noexcept {
    limit_ = cap_;
    if (scan_step_ != 0 && scanned_ + scan_step_ < limit_)
      limit_ = scanned_ + scan_step_ > end ? scanned_ + scan_step_ : static_cast<size_t>(end);
  }
  bool write_slow(const char* p, size_t n);
  bool spaces_slow(uint64_t n);
  void regrow(size_t capacity);
  void release() noexcept;

  // A small document is written in place, without an allocation (which
  // was a tenth of the time spent on one).
  static constexpr size_t kInPlace = 1024;
  char in_place_[kInPlace];
  char* data_ = in_place_;
  size_t size_ = 0;
  size_t cap_ = kInPlace;  // never above budget_ while check_ is pending
  size_t limit_ = kInPlace;  // at most cap_ (see relimit)
  size_t scan_step_ = 0;     // 0: no scanning (see scan_as_written)
  size_t scanned_ = 0;       // bytes looked at for max_byte_
  uint8_t max_byte_ = 0;
  void* map_ = nullptr;  // the mapping holding data_ for large buffers, else null
  size_t map_size_ = 0;
  size_t map_room_ = 0;  // bytes usable from data_ in the mapping
  size_t given_back_ = 0;  // bytes from data_ whose pages went back (see give_back)
  size_t peak_ = 0;        // the most bytes held before a drain
  size_t budget_ = SIZE_MAX;
  BudgetCheck check_ = nullptr;
  void* check_ctx_ = nullptr;
  size_t bound_ = SIZE_MAX;
  Drain drain_ = nullptr;
  void* drain_ctx_ = nullptr;
  bool failed_ = false;
};

template <EscapeMode mode>
bool MemorySink::escaped(const SharedStr& s, const char* readable_end) {
  const char* p = s.data();
  const char* const end = p + s.size();
  // A drained buffer takes a long string in runs. The bytes replaced are
  // single ASCII bytes, so a run may end anywhere, and the bytes after a run
  // that is not the last are the string's own.
  for (const size_t most = piece_limit(); static_cast<size_t>(end - p) > most; p += most)
    if (!escape_run<mode>(p, p + most, true)) return false;
  return escape_run<mode>(p, end, over_readable(s, readable_end));
}

template <EscapeMode mode>
bool MemorySink::escape_run(const char* p, const char* const end, bool readable) {
  if (p == end) return true;
  // Room for the rest unescaped, a vector stored past it and one reference.
  constexpr size_t kSlack = kBlock + sizeof(Reference::text);
  char* o = room(static_cast<size_t>(end - p) + kSlack);
  if (o == nullptr) return false;
  for (;;) {
    const size_t left = static_cast<size_t>(end - p);
    const char* block = p;
    char local[kBlock];
    if (left < kBlock && !readable) {
      std::memset(local, 0, kBlock);
      std::memcpy(local, p, left);
      block = local;
    }
    const uint32_t hits = escapable_bits<mode>(block) & low_bits(left);
    std::memcpy(o, block, kBlock);
    if (hits == 0) {
      if (left <= kBlock) {
        commit(o + left);
        return true;
      }
      p += kBlock;
      o += kBlock;
      continue;
    }
    const unsigned k = static_cast<unsigned>(__builtin_ctz(hits));
    const Reference& ref = reference_for(block[k]);
    std::memcpy(o + k, ref.text, sizeof(ref.text));
    p += k + 1;
    commit(o + k + ref.size);
    if (p == end) return true;
    o = room(static_cast<size_t>(end - p) + kSlack);
    if (o == nullptr) return false;
  }
}

// Counts what a document will need instead of writing it: every byte
// except the references that escaping adds (so a lower bound), the
// indentation apart from the rest, and the elements, refusing more than
// `max_elements` of them: a few nodes shared at every level can stand for
// more elements than any file or memory could take, and the count stops
// early instead of walking them all. Counts saturate instead of wrapping.
class CountingSink {
 public:
  explicit CountingSink(uint64_t max_elements) noexcept : max_elements_(max_elements) {}

  // The writer's primitives (see pieces.h), counted.
  class Piece {
   public:
    explicit operator bool() const noexcept { return true; }
    template <size_t N>
    void punct(const char (&)[N]) noexcept {
      bytes_ += N - 1;
    }
    void raw(const SharedStr& s, const char*) noexcept { bytes_ += s.size(); }
    template <EscapeMode>
    bool plain(const SharedStr& s, const char*) noexcept {
      bytes_ += s.size();
      return true;
    }
    void indent(uint64_t n) noexcept { spaces_ += n; }

   private:
    friend class CountingSink;
    uint64_t bytes_ = 0;   // a piece's counts never overflow: its strings exist
    uint64_t spaces_ = 0;
  };

  bool element() noexcept { return ++elements_ <= max_elements_; }
  Piece piece(size_t) const noexcept { return Piece(); }
  bool done(const Piece& p) noexcept { return add(bytes_, p.bytes_) && add(spaces_, p.spaces_); }
  template <EscapeMode>
  bool escaped(const SharedStr& s, const char*) noexcept {
    return add(bytes_, s.size());
  }
  bool spaces(uint64_t n) noexcept { return add(spaces_, n); }
  bool write(std::string_view s) noexcept { return add(bytes_, s.size()); }

  uint64_t bytes() const noexcept { return bytes_; }
  uint64_t spaces() const noexcept { return spaces_; }
  bool saturated() const noexcept { return saturated_; }
  bool too_many_elements() const noexcept { return elements_ > max_elements_; }

 private:
  bool add(uint64_t& field, uint64_t n) noexcept {
    if (__builtin_add_overflow(field, n, &field)) {
      field = UINT64_MAX;
      saturated_ = true;
    }
    return true;
  }

  uint64_t max_elements_;
  uint64_t bytes_ = 0;
  uint64_t spaces_ = 0;
  uint64_t elements_ = 0;
  bool saturated_ = false;
};

inline constexpr const char* kFailedBufferedWrite = "failed to write the buffered data";
inline constexpr const char* kFailedWholeWrite = "failed to write whole buffer";

// A document for a file descriptor: the walk writes into a memory sink of
// kCapacity bytes, written out by write(2) whenever it fills, and by
// flush() at the end; a piece of kCapacity bytes or more is written from
// where it is. Does not own the descriptor.
//
// The descriptor may come late: a sink made with an Opener asks for it
// when it first writes out, and is told then whether the bytes so far are
// the whole document. A caller can so look at a large document before it
// opens the file, and a small one is written by a single write(2).
//
// Interrupted writes, and every kBytesBetweenChecks bytes written, ask
// `interrupts` whether to go on (see interrupts.h); a refusal fails the sink
// with OsError::interrupted().
class FileSink {
 public:
  static constexpr size_t kCapacity = size_t{256} << 10;

  // Gives the descriptor to write to, or false (with `*error` set, or left
  // as it is when the reason is the caller's own) to write nothing.
  struct Opener {
    bool (*open)(void* ctx, bool whole_document, int* fd, OsError* error);
    void* ctx;
  };

  explicit FileSink(int fd, Interrupts interrupts = {}) noexcept : fd_(fd), interrupts_(interrupts) { init(); }
  FileSink(Opener opener, Interrupts interrupts = {}) noexcept : opener_(opener), interrupts_(interrupts) { init(); }
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  // What the walk writes into (see write_document).
  MemorySink& buffer() noexcept { return mem_; }

  bool write(const char* p, size_t n) { return mem_.write(p, n); }
  bool write(std::string_view s) { return mem_.write(s); }
  bool spaces(uint64_t n) { return mem_.spaces(n); }

  // Writes out what the buffer holds (opening the descriptor first, if it
  // is still to come). After a write failure the bytes the system did not
  // take stay buffered, and a later flush tries them again.
  bool flush();

  bool failed() const noexcept { return mem_.failed(); }
  const OsError& error() const noexcept { return err_; }
  size_t buffered() const noexcept { return mem_.size(); }

 private:
  void init() noexcept { mem_.set_drain(kCapacity, &FileSink::take, this); }
  static size_t take(void* self, const char* p, size_t n, bool buffered);
  bool open(bool whole_document);
  // write(2) until every byte is taken. Returns 0 on success, an errno value
  // (EINTR: a handler refused to go on), or -1 when a call accepted zero
  // bytes. `*done` receives the number of bytes the system took.
  int write_fully(const char* p, size_t n, size_t* done);
  void fail(OsError e) noexcept {
    if (!failed_) {
      failed_ = true;
      err_ = e;
    }
  }

  MemorySink mem_;
  int fd_ = -1;
  Opener opener_{nullptr, nullptr};
  Interrupts interrupts_;
  uint64_t unchecked_ = 0;  // bytes written since the handlers last had a chance
  bool failed_ = false;     // the first error is kept in err_
  OsError err_{};
};

}  // namespace orvex
