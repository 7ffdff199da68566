#pragma once
// Owning handle for one strong reference, so that every path releases what it holds.

#include <Python.h>

#include <utility>

namespace brenvox {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null).
  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
  static PyRef borrow(PyObject* borrowed) noexcept { return PyRef(Py_XNewRef(borrowed)); }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) Py_XSETREF(object_, std::exchange(other.object_, nullptr));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference over to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace brenvox
