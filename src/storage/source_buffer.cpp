#include "storage/source_buffer.h"

#include <cstring>
#include <new>

namespace orvex {

namespace {
std::atomic<PyReleaseHook> g_release_hook{nullptr};
}

void set_py_release_hook(PyReleaseHook hook) noexcept { g_release_hook.store(hook); }

SourceBuffer* SourceBuffer::adopt_bytes(char* bytes, size_t len) {
  return new SourceBuffer(bytes, len, bytes, nullptr);
}

SourceBuffer* SourceBuffer::over_python(void* owner, const char* bytes, size_t len) {
  return new SourceBuffer(bytes, len, nullptr, owner);
}

SourceBuffer* SourceBuffer::copy_of(const char* bytes, size_t len) {
  char* owned = new char[len ? len : 1];
  if (len) std::memcpy(owned, bytes, len);
  return new SourceBuffer(owned, len, owned, nullptr);
}

void SourceBuffer::destroy() noexcept {
  delete[] owned_;
  if (py_owner_) {
    if (PyReleaseHook hook = g_release_hook.load()) hook(py_owner_);
  }
  delete this;
}

}  // namespace orvex
