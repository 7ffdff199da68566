#pragma once
// Keeps the coordinates' memory where it is while the search reads it without the lock: NumPy
// refuses to resize an array that has a weak reference (buffer exports do not stop it), and an
// exporter at the end of the chain of bases (an mmap, a bytearray) refuses to close or move
// memory while it is exported. Every array in the chain is pinned, as resizing the owner of a
// view frees the view's memory.

#include <Python.h>

#include <vector>

#include "boundary/py_error.hpp"
#include "boundary/py_ref.hpp"

namespace brenvox {

class PinnedMemory {
 public:
  PinnedMemory() = default;
  PinnedMemory(const PinnedMemory&) = delete;
  PinnedMemory& operator=(const PinnedMemory&) = delete;
  ~PinnedMemory();

  // Pins `object`, a NumPy array, and every array and exporter below it.
  PyStatus pin(PyObject* object);

 private:
  std::vector<PyRef> weak_references_;
  Py_buffer view_{};
  bool exported_ = false;
};

}  // namespace brenvox
