#include "engine_module/coordinate_array.hpp"

#include <cstring>

#include "boundary/numpy_headers.hpp"
#include "engine_module/argument_errors.hpp"
#include "engine_module/interface_texts.hpp"

namespace brenvox {

PyStatus check_coordinate_array(PyObject* object) {
  ensure_numpy_api();
  if (!PyArray_Check(object) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) != 1) {
    return cannot_convert(object, texts::kArrayTarget);
  }
  PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
  if (float64 == nullptr) return PyError::fetch_raised();
  const bool equivalent =
      PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object)), float64);
  Py_DECREF(float64);
  if (!equivalent) return cannot_convert(object, texts::kArrayTarget);
  return {};
}

PyResult<CoordView> CoordinateArray::view() {
  if (PyStatus still = check_coordinate_array(array_.get()); !still.ok()) {
    return argument_extraction_error("xyz_flat", std::move(still.error()));
  }
  auto* array = reinterpret_cast<PyArrayObject*>(array_.get());
  if (!PyArray_CHKFLAGS(array, NPY_ARRAY_C_CONTIGUOUS) &&
      !PyArray_CHKFLAGS(array, NPY_ARRAY_F_CONTIGUOUS)) {
    return PyError(PyExc_TypeError, texts::kNotContiguous);
  }
  const auto* data = static_cast<const double*>(PyArray_DATA(array));
  const auto size = static_cast<std::size_t>(PyArray_SIZE(array));
  if (reinterpret_cast<std::uintptr_t>(data) % alignof(double) == 0) return CoordView(data, size);
  aligned_copy_.resize(size);
  std::memcpy(aligned_copy_.data(), PyArray_DATA(array), size * sizeof(double));
  return CoordView(aligned_copy_.data(), size);
}

}  // namespace brenvox
