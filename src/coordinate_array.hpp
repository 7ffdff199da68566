#pragma once
// The converted `xyz_flat`: a strong reference to a one-dimensional float64 array whose memory
// the search reads in place.

#include <Python.h>

#include "kernel/kernel_error.hpp"
#include "kernel/search_inputs.hpp"
#include "py_ref.hpp"

namespace brenvox {

class CoordinateArray {
 public:
  // Takes over a new reference to an array already checked to be 1-D float64.
  explicit CoordinateArray(PyRef array) : array_(std::move(array)) {}

  // The values as one contiguous sequence, or the TypeError for a strided array.
  Outcome<CoordView> view() const;

 private:
  PyRef array_;
};

}  // namespace brenvox
