// PyRef: an owning reference to a CPython object.
//
// Ownership: holds exactly one strong reference (or none) and drops it when
// destroyed. `steal` adopts a new reference returned by a C API call,
// `borrow` takes an extra reference on a borrowed pointer, `release` hands
// the reference back to the caller (for returning from a C entry point).
// Thread-safety: like any PyObject*, use only while holding the GIL.
// Cost: one pointer; no allocation.
#pragma once

#include <Python.h>

#include <utility>

namespace orvane::binding {

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  [[nodiscard]] PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace orvane::binding
