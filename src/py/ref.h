// Owners of references to Python objects: one reference, or a list of them,
// given back when the owner goes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <vector>

namespace orvex::py {

// An owned reference; released on scope exit.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) { Py_XDECREF(p_); p_ = o.p_; o.p_ = nullptr; }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { PyObject* p = p_; p_ = nullptr; return p; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Owned references in order; given back on scope exit unless taken.
class RefList {
 public:
  RefList() = default;
  RefList(RefList&& o) noexcept : items_(std::move(o.items_)) {}
  RefList& operator=(RefList&&) = delete;
  RefList(const RefList&) = delete;
  RefList& operator=(const RefList&) = delete;
  ~RefList() {
    for (PyObject* o : items_) Py_DECREF(o);
  }

  void reserve(size_t n) { items_.reserve(n); }
  // Takes the reference over (also when growing the list throws).
  void push(Ref r) {
    items_.push_back(r.get());
    r.release();
  }
  size_t size() const noexcept { return items_.size(); }
  PyObject* const* data() const noexcept { return items_.data(); }
  // The list no longer gives the references back: whoever got them owns them.
  void forget() noexcept { items_.clear(); }

 private:
  std::vector<PyObject*> items_;
};

}  // namespace orvex::py
