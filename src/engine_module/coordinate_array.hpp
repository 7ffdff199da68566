#pragma once
// The converted `xyz_flat`: a strong reference to a one-dimensional float64 array whose memory
// the search reads in place.

#include <Python.h>

#include <vector>

#include "boundary/py_error.hpp"
#include "boundary/py_ref.hpp"
#include "kernel/fixed/search_inputs.hpp"

namespace brenvox {

// What conversion requires of `xyz_flat`: a NumPy array of one dimension whose dtype is
// equivalent to native float64. The error is the conversion's TypeError, not yet naming the
// argument.
PyStatus check_coordinate_array(PyObject* object);

class CoordinateArray {
 public:
  // Takes over a new reference to an array that passed check_coordinate_array.
  explicit CoordinateArray(PyRef array) : array_(std::move(array)) {}

  // The values as one contiguous sequence. The array is checked again as it is now, since the
  // caller's code that ran while later arguments were converted may have changed its dtype,
  // shape, strides or memory. Misaligned values are read from an aligned copy.
  PyResult<CoordView> view();

 private:
  PyRef array_;
  std::vector<double> aligned_copy_;
};

}  // namespace brenvox
