#include "coordinate_array.hpp"

#include "numpy_headers.hpp"

namespace brenvox {

Outcome<CoordView> CoordinateArray::view() const {
  auto* array = reinterpret_cast<PyArrayObject*>(array_.get());
  if (!PyArray_CHKFLAGS(array, NPY_ARRAY_C_CONTIGUOUS) &&
      !PyArray_CHKFLAGS(array, NPY_ARRAY_F_CONTIGUOUS)) {
    return KernelError{ErrorKind::TypeError, "The given array is not contiguous"};
  }
  return CoordView(static_cast<const double*>(PyArray_DATA(array)),
                   static_cast<std::size_t>(PyArray_SIZE(array)));
}

}  // namespace brenvox
