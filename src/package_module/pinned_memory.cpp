#include "package_module/pinned_memory.hpp"

#include "boundary/numpy_headers.hpp"

namespace brenvox {

PinnedMemory::~PinnedMemory() {
  if (exported_) PyBuffer_Release(&view_);
}

PyStatus PinnedMemory::pin(PyObject* object) {
  for (; object != nullptr && PyArray_Check(object);
       object = PyArray_BASE(reinterpret_cast<PyArrayObject*>(object))) {
    PyRef weak(PyWeakref_NewRef(object, nullptr));
    if (!weak) return PyError::fetch_raised();
    weak_references_.push_back(std::move(weak));
  }
  if (object != nullptr) {
    exported_ = PyObject_GetBuffer(object, &view_, PyBUF_FULL_RO) == 0;
    if (!exported_) {
      // Not an exporter: nothing of it can move. Anything else (memory, an interrupt) stops.
      if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_BufferError)) {
        return PyError::fetch_raised();
      }
      PyErr_Clear();
    }
  }
  return {};
}

}  // namespace brenvox
