// write_string and write_file: bind the arguments, snapshot the tree while
// attached, then size-check, serialize and do all file I/O detached.
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>

#include "entities/node.h"
#include "entities/snapshot.h"
#include "write/serializer.h"
#include "write/sinks.h"

namespace orvex::py {

namespace {

const char* const kStringParams[] = {"node", "indent", "default_xml_def"};
const FuncDesc kStringDesc = {"write_string()", kStringParams, 3, 1};
const char* const kFileParams[] = {"node", "file_path", "indent", "default_xml_def"};
const FuncDesc kFileDesc = {"write_file()", kFileParams, 4, 2};

struct Settings {
  uint64_t indent = 4;
  bool declaration = true;
};

bool convert_settings(PyObject* indent, PyObject* declaration, Settings* out) {
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

// Indentation grows with indent x depth for every line, so a careless indent
// on a deep tree can ask for terabytes. Such documents are refused before
// any byte is written or any file opened. Returns false with the exception set.
bool check_size(const DocumentMeasure& m, const Settings& s, bool in_memory, uint64_t* size) {
  auto checked = check_output_size(m, s.indent, s.declaration, physical_memory(), in_memory);
  if (checked.ok()) {
    *size = checked.value();
    return true;
  }
  raise_size_problem(checked.error(), s.indent);
  return false;
}

// The snapshot copies a shared node once per place where it stands. A few
// nodes shared at every level stand for billions of elements; copying more
// elements than half the machine's memory can hold is refused rather than
// left to the out-of-memory killer.
std::optional<PlainElement> take_snapshot(PyObject* node, DocumentMeasure* m) {
  uint64_t max_elements = physical_memory() / 2 / sizeof(PlainElement);
  std::optional<PlainElement> root = snapshot(node, max_elements, m);
  if (!root)
    PyErr_SetString(PyExc_MemoryError,
                    "the tree has too many elements to copy for writing (shared nodes count once per place)");
  return root;
}

class FdGuard {
 public:
  explicit FdGuard(int fd) noexcept : fd_(fd) {}
  ~FdGuard() { if (fd_ >= 0) ::close(fd_); }  // a failed close is not reported
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;

 private:
  int fd_;
};

// Runs detached: creates or truncates the file and writes the document.
Result<Unit, OsError> write_document(const std::string& path, PlainElement& root,
                                     const Settings& s) {
  if (path.find('\0') != std::string::npos) return fail(OsError::fixed(kNulInPath));
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(OsError::from_errno(errno));
  FdGuard guard(fd);
  FileSink sink(fd);
  bool ok = (!s.declaration || sink.write(kXmlDeclaration)) && serialize(sink, root, s.indent) &&
            sink.flush();
  if (ok) return Unit{};
  (void)sink.flush();  // one last try for what is still buffered; its outcome is moot
  return fail(sink.error());
}

}  // namespace

PyObject* write_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[3];
    if (!bind_fast(kStringDesc, args, nargs, kwnames, slot)) return nullptr;
    if (!conv_node(slot[0], "node")) return nullptr;
    Settings s;
    if (!convert_settings(slot[1], slot[2], &s)) return nullptr;

    DocumentMeasure m;
    std::optional<PlainElement> root = take_snapshot(slot[0], &m);
    if (!root) return nullptr;
    uint64_t size;
    if (!check_size(m, s, /*in_memory=*/true, &size)) return nullptr;
    MemorySink sink;
    {
      Detached detached;
      // The size is a lower bound (escaping only adds), so reserving it never
      // over-allocates and spares most regrowth.
      sink.reserve(static_cast<size_t>(size));
      if (s.declaration) sink.write(kXmlDeclaration);
      serialize(sink, *root, s.indent);
    }

    // Decoding validates: every piece written is valid UTF-8, so a failure
    // here means the writer itself is broken.
    std::string_view bytes = sink.bytes();
    PyObject* str = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    if (str == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_SystemError, "invariant: the XML writer only emits valid UTF-8");
    }
    return str;
  });
}

PyObject* write_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[4];
    if (!bind_fast(kFileDesc, args, nargs, kwnames, slot)) return nullptr;
    if (!conv_node(slot[0], "node")) return nullptr;
    std::string_view path_view;
    if (!conv_text(slot[1], "file_path", &path_view)) return nullptr;
    Settings s;
    if (!convert_settings(slot[2], slot[3], &s)) return nullptr;

    std::string path(path_view);  // NUL-terminated for open(2)
    DocumentMeasure m;
    std::optional<PlainElement> root = take_snapshot(slot[0], &m);
    if (!root) return nullptr;
    uint64_t size;
    if (!check_size(m, s, /*in_memory=*/false, &size)) return nullptr;
    Result<Unit, OsError> written = Unit{};
    {
      Detached detached;
      written = write_document(path, *root, s);
    }
    if (!written.ok()) return raise_os_error(written.error());
    Py_RETURN_NONE;
  });
}

}  // namespace orvex::py
