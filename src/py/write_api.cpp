// write_string and write_file: bind the arguments while attached, then
// write straight from the Node records and do all file I/O detached. Both
// count a document only once their output grows large: write_string when
// it outgrows a budget (see LateSizeCheck), write_file when it outgrows the
// file sink's buffer, before the file is opened (see FileTarget).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>

#include "py/node.h"
#include "py/py_str.h"
#include "write/memory_limits.h"
#include "write/sinks.h"
#include "write/utf8_chars.h"
#include "write/writer.h"

namespace orvex::py {

namespace {

const char* const kStringParams[] = {"node", "indent", "default_xml_def"};
const FuncDesc kStringDesc = {"write_string()", kStringParams, 3, 1};
const char* const kFileParams[] = {"node", "file_path", "indent", "default_xml_def"};
const FuncDesc kFileDesc = {"write_file()", kFileParams, 4, 2};

bool convert_options(PyObject* indent, PyObject* declaration, WriteOptions* out) {
  if (!is_default(indent) && !conv_u64(indent, "indent", &out->indent)) return false;
  if (!is_default(declaration) && !conv_bool(declaration, "default_xml_def", &out->declaration))
    return false;
  return true;
}

PyObject* raise_size_problem(SizeProblem p, uint64_t indent) {
  switch (p) {
    case SizeProblem::TooLarge:
      PyErr_Format(PyExc_OverflowError,
                   "the XML document would be too large to write (indent %llu)",
                   static_cast<unsigned long long>(indent));
      break;
    case SizeProblem::IndentTooLarge:
      PyErr_Format(PyExc_MemoryError,
                   "indent %llu would need more bytes of indentation than this machine has memory",
                   static_cast<unsigned long long>(indent));
      break;
    case SizeProblem::ExceedsMemory:
      PyErr_SetString(PyExc_MemoryError,
                      "the XML document would be larger than this machine's memory");
      break;
  }
  return nullptr;
}

// A node shared by several parents is written once per place, so a few
// nodes shared at every level stand for billions of elements. Trees with
// more elements than half the machine's memory could hold as plain records
// are refused rather than written for days.
uint64_t max_elements() { return physical_memory() / 2 / sizeof(Node); }
constexpr const char* kTooManyElements =
    "the tree has too many elements to write (shared nodes count once per place)";

// A document that fits every size rule can still need more memory than
// the process may take: write_string holds the output and its str at once.
PyObject* raise_headroom(uint64_t need, const Headroom& h) {
  std::string limit;
  switch (h.limit) {
    case MemoryLimit::AddressSpace: limit = "the address-space limit (RLIMIT_AS) leaves"; break;
    case MemoryLimit::DataSegment: limit = "the data-segment limit (RLIMIT_DATA) leaves"; break;
    case MemoryLimit::Cgroup: limit = "the memory limit of the cgroup " + h.cgroup + " leaves"; break;
    case MemoryLimit::Available:
    case MemoryLimit::None: limit = "this machine has available"; break;
  }
  const std::string message = "writing the XML document needs " + std::to_string(need) +
                              " bytes of memory at once, more than " + limit + " (" +
                              std::to_string(h.bytes) + " bytes)";
  PyErr_SetString(PyExc_MemoryError, message.c_str());
  return nullptr;
}

// write_string counts the document only once its output outgrows a budget
// (see MemorySink::set_budget): most documents are written without that
// extra walk over every record. The count runs detached, on the records,
// which never change; its verdict is raised after attaching again.
struct LateSizeCheck {
  LateSizeCheck(const NodeRecord* r, const WriteOptions& s) : root(r), settings(s) {}

  const NodeRecord* root;
  WriteOptions settings;
  bool ran = false;
  bool too_many_elements = false;
  bool refused = false;
  SizeProblem problem = SizeProblem::TooLarge;
  uint64_t need = 0;        // when the headroom refused: what the call needs
  Headroom headroom;

  // Every document that the size rules would refuse outgrows this budget:
  // each element but the root takes a line feed and at least three bytes of
  // tags, and a document above the machine's memory is refused. Below it the
  // memory limits are not asked (reading them costs more than writing a
  // small document): the call then needs at most about twice the budget, and
  // an allocation refused under a tight limit is a MemoryError as well.
  static size_t budget() {
    constexpr uint64_t kUncounted = uint64_t{64} << 20;
    uint64_t b = std::min(kUncounted, physical_memory());
    uint64_t per_elements;
    if (!__builtin_mul_overflow(max_elements(), uint64_t{4}, &per_elements)) b = std::min(b, per_elements);
    return static_cast<size_t>(b);
  }

  static bool run(void* ctx, uint64_t* size) {
    auto* self = static_cast<LateSizeCheck*>(ctx);
    self->ran = true;
    const DocumentMeasure m = measure_document(*self->root, self->settings, max_elements());
    if (m.too_many_elements) {
      self->too_many_elements = true;
      return false;
    }
    auto checked = check_output_size(m, physical_memory(), /*in_memory=*/true);
    if (!checked.ok()) {
      self->refused = true;
      self->problem = checked.error();
      return false;
    }
    // Whatever its characters, the output and a str of at least one byte
    // per character exist at once (the least the call can need).
    if (!self->fits(write_string_peak(checked.value(), 0))) return false;
    *size = checked.value();
    return true;
  }

  // Whether `need` more bytes fit under every memory limit now; remembers
  // the refusal otherwise.
  bool fits(uint64_t need) {
    headroom = memory_headroom();
    if (need <= headroom.bytes) return true;
    this->need = need;
    return false;
  }

  PyObject* raise() const {
    if (too_many_elements) {
      PyErr_SetString(PyExc_MemoryError, kTooManyElements);
      return nullptr;
    }
    if (refused) return raise_size_problem(problem, settings.indent);
    if (need > 0) return raise_headroom(need, headroom);
    PyErr_SetString(PyExc_SystemError, "orvex: unexpected internal error");
    return nullptr;
  }
};

// The width of the str follows from the output's largest byte, which the
// sink keeps as it goes, looking at the bytes of each step while they are
// still in the cache (a pass over a large output afterwards would read it
// all from memory once more, only to read it again to decode it).
constexpr size_t kScanStep = size_t{256} << 10;

// The result of write_string: one decoding copy (see write/utf8_chars.h);
// all-ASCII output by plain copies. Output that is not ASCII has its
// characters counted first, so the str is made at its final size: made for
// as many characters as bytes and cut afterwards, every call would ask the
// C library for more than the last call gave back, and a large str would
// then come from fresh pages each time (a fault per page, a third of the
// time to write a 10 MB document), never from the memory just released.
// The decoding checks the sequences as it goes: output that does not decode
// means the writer itself is broken.
//
// The output is copied a chunk at a time. For a document large enough to
// have been counted, the pages of each chunk go back to the system once it
// is copied: what is resident stays near one copy of the document instead
// of two. A smaller one keeps them, so that the sink's buffer, kept for the
// next call, is written again without a fault and a zeroed page per page.
// A counted document is checked once more here, now that its str's width is
// known.
PyObject* document_str(MemorySink& sink, LateSizeCheck& check) {
  const char* const p = sink.data();
  const size_t n = sink.size();
  const uint8_t widest = widest_of_max_byte(sink.max_byte());
  const size_t length = widest == 0 ? n : count_chars(p, n);
  // The first check counted a str of one byte per character.
  if (check.ran && str_allocation(length, widest) > str_allocation(n, 0) &&
      !check.fits(str_allocation(length, widest)))
    return check.raise();
  Ref str(PyUnicode_New(static_cast<Py_ssize_t>(length), kWidestChar[widest]));
  if (!str) return nullptr;
  constexpr size_t kChunk = size_t{16} << 20;
  size_t done = 0;
  size_t chars = 0;
  auto copy = [&](auto* out) {
    while (done < n) {
      size_t end = std::min(n, done + kChunk);
      // Never split a character (valid UTF-8 has at most three continuation bytes).
      for (int k = 0; k < 3 && end < n && (static_cast<uint8_t>(p[end]) & 0xC0) == 0x80; ++k) --end;
      size_t got;
      if (widest == 0) {
        std::memcpy(out + chars, p + done, end - done);
        got = end - done;
      } else {
        got = decode_utf8(p + done, end - done, out + chars, length - chars);
        if (got == kNotDecoded) return false;
      }
      chars += got;
      done = end;
      if (check.ran) sink.give_back(done);
    }
    return true;
  };
  void* data = PyUnicode_DATA(str.get());
  advise_huge_pages(data, length * PyUnicode_KIND(str.get()));
  bool decoded;
  switch (PyUnicode_KIND(str.get())) {
    case PyUnicode_1BYTE_KIND: decoded = copy(static_cast<Py_UCS1*>(data)); break;
    case PyUnicode_2BYTE_KIND: decoded = copy(static_cast<Py_UCS2*>(data)); break;
    default: decoded = copy(static_cast<Py_UCS4*>(data)); break;
  }
  if (!decoded || chars != length) {
    PyErr_SetString(PyExc_SystemError, "invariant: the XML writer only emits valid UTF-8");
    return nullptr;
  }
  return str.release();
}

// Where write_file's sink writes, asked for when the sink first writes out
// (see FileSink::Opener). A document that outgrew the sink's buffer is
// counted first, and refused before the file is opened when it is too
// large to write (see check_output_size); one that fit in the buffer is
// small enough for every size rule. Runs detached; the verdict is raised
// after attaching again.
struct FileTarget {
  const std::string& path;
  const NodeRecord* root;
  WriteOptions settings;
  Interrupts interrupts;
  int fd = -1;
  bool too_many_elements = false;
  std::optional<SizeProblem> problem;

  FileTarget(const std::string& p, const NodeRecord* r, const WriteOptions& s) : path(p), root(r), settings(s) {}
  FileTarget(const FileTarget&) = delete;
  FileTarget& operator=(const FileTarget&) = delete;
  ~FileTarget() { (void)close(); }

  static bool open(void* ctx, bool whole_document, int* fd, OsError* error) {
    auto* self = static_cast<FileTarget*>(ctx);
    if (!whole_document && !self->size_allowed()) return false;
    if (self->path.find('\0') != std::string::npos) {
      *error = OsError::fixed(kNulInPath);
      return false;
    }
    const char* path = self->path.c_str();
    self->fd = open_interruptible(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666, self->interrupts);
    if (self->fd < 0) {
      *error = OsError::from_errno(errno);
      return false;
    }
    *fd = self->fd;
    return true;
  }

  bool size_allowed() {
    const DocumentMeasure m = measure_document(*root, settings, max_elements());
    if (m.too_many_elements) {
      too_many_elements = true;
      return false;
    }
    auto checked = check_output_size(m, physical_memory(), /*in_memory=*/false);
    if (!checked.ok()) problem = checked.error();
    return checked.ok();
  }

  // Closes the file, if it was opened; false when a handler refused to go on.
  bool close() {
    if (fd < 0) return true;
    return close_interruptible(std::exchange(fd, -1), interrupts);
  }

  // Raises the refusal, if the size rules refused the document.
  bool raise_refusal() const {
    if (too_many_elements) {
      PyErr_SetString(PyExc_MemoryError, kTooManyElements);
      return true;
    }
    if (problem) {
      raise_size_problem(*problem, settings.indent);
      return true;
    }
    return false;
  }
};

// Runs detached: writes the document, creating or truncating the file when
// the sink first writes out. After a signal handler raised nothing more is
// written (see interrupts.h).
Result<Unit, OsError> write_file_detached(FileTarget& target) {
  FileSink sink(FileSink::Opener{&FileTarget::open, &target}, target.interrupts);
  const bool ok = write_document(sink, *target.root, target.settings) && sink.flush();
  // One last try for what is still buffered after a write error; its outcome is moot.
  if (!ok && target.fd >= 0 && sink.error().errnum != EINTR) (void)sink.flush();
  // A failed close is not reported, but a handler that raised during it is.
  const bool closed = target.close();
  if (!ok) return fail(sink.error());
  if (!closed) return fail(OsError::interrupted());
  return Unit{};
}

}  // namespace

PyObject* write_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[3];
    if (!bind_fast(kStringDesc, args, nargs, kwnames, slot)) return nullptr;
    if (!conv_node(slot[0], "node")) return nullptr;
    WriteOptions s;
    if (!convert_options(slot[1], slot[2], &s)) return nullptr;

    const Ref root(Py_NewRef(slot[0]));  // keeps every record below it as it is
    LateSizeCheck check(&record_of(root.get()), s);
    MemorySink sink;
    sink.set_budget(LateSizeCheck::budget(), &LateSizeCheck::run, &check);
    sink.scan_as_written(kScanStep);
    bool written;
    {
      Detached detached;
      written = write_document(sink, record_of(root.get()), s);
    }
    if (!written) return check.raise();
    return document_str(sink, check);
  });
}

PyObject* write_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[4];
    if (!bind_fast(kFileDesc, args, nargs, kwnames, slot)) return nullptr;
    if (!conv_node(slot[0], "node")) return nullptr;
    std::string_view path_view;
    if (!conv_text(slot[1], "file_path", &path_view)) return nullptr;
    WriteOptions s;
    if (!convert_options(slot[2], slot[3], &s)) return nullptr;

    std::string path(path_view);  // NUL-terminated for open(2)
    const Ref root(Py_NewRef(slot[0]));  // keeps every record below it as it is
    Result<Unit, OsError> written = Unit{};
    Detached detached;
    FileTarget target(path, &record_of(root.get()), s);  // closes its file while still detached
    target.interrupts = detached.interrupts();
    written = write_file_detached(target);
    detached.attach();
    if (detached.raise_kept()) return nullptr;  // a signal handler's exception
    if (target.raise_refusal()) return nullptr;
    if (!written.ok()) return raise_os_error(written.error());
    Py_RETURN_NONE;
  });
}

}  // namespace orvex::py
