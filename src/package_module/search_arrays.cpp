#include "package_module/search_arrays.hpp"

namespace brenvox {

namespace {

PyArrayObject* as_array(PyObject* object) {
  return reinterpret_cast<PyArrayObject*>(object);
}

bool is_plain_array(PyObject* object, int type, int ndim) {
  if (!PyArray_Check(object)) return false;
  PyArrayObject* array = as_array(object);
  return PyArray_TYPE(array) == type && PyArray_NDIM(array) == ndim &&
         PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array) && PyArray_ISNOTSWAPPED(array);
}

}  // namespace

PyResult<SearchArrays> read_search_arrays(PyObject* xyz, PyObject* pairs, PyObject* acceptors,
                                          PyObject* box, PinnedMemory& pinned) {
  if (PyArray_Check(xyz)) {
    if (PyStatus status = pinned.pin(xyz); !status.ok()) return std::move(status.error());
  }
  if (!is_plain_array(xyz, NPY_FLOAT64, 3) && !is_plain_array(xyz, NPY_FLOAT32, 3)) {
    return PyError(PyExc_TypeError,
                   "xyz must be a C-contiguous, aligned float32 or float64 array in native byte "
                   "order");
  }
  PyArrayObject* coordinates = as_array(xyz);
  if (PyArray_DIM(coordinates, 2) != 3) {
    return PyError(PyExc_ValueError, "xyz must have shape (n_frames, n_atoms, 3)");
  }
  if (!is_plain_array(pairs, NPY_INT64, 2) || PyArray_DIM(as_array(pairs), 1) != 2) {
    return PyError(PyExc_TypeError,
                   "donor_h_pairs must be a C-contiguous int64 array of shape (n_pairs, 2)");
  }
  if (!is_plain_array(acceptors, NPY_INT64, 1)) {
    return PyError(PyExc_TypeError,
                   "acceptors must be a C-contiguous int64 array of shape (n_acceptors,)");
  }
  const auto n_frames = static_cast<std::uint64_t>(PyArray_DIM(coordinates, 0));
  if (box != Py_None && (!is_plain_array(box, NPY_FLOAT64, 3) ||
                         PyArray_DIM(as_array(box), 1) != 3 || PyArray_DIM(as_array(box), 2) != 3 ||
                         (PyArray_DIM(as_array(box), 0) != 1 &&
                          static_cast<std::uint64_t>(PyArray_DIM(as_array(box), 0)) != n_frames))) {
    return PyError(PyExc_TypeError,
                   "box must be None or a C-contiguous float64 array of shape (1, 3, 3) or "
                   "(n_frames, 3, 3)");
  }
  return SearchArrays{coordinates,
                      as_array(pairs),
                      as_array(acceptors),
                      box != Py_None ? as_array(box) : nullptr,
                      n_frames,
                      static_cast<std::uint64_t>(PyArray_DIM(coordinates, 1)),
                      static_cast<std::uint64_t>(PyArray_DIM(as_array(pairs), 0)),
                      static_cast<std::uint64_t>(PyArray_DIM(as_array(acceptors), 0))};
}

IndexCopy copy_indices(PyArrayObject* array, std::uint64_t n_atoms) {
  const auto* source = static_cast<const std::int64_t*>(PyArray_DATA(array));
  const auto size = static_cast<std::size_t>(PyArray_SIZE(array));
  IndexCopy copy{std::make_unique_for_overwrite<std::int64_t[]>(size), size, true};
  bool outside = false;
  for (std::size_t i = 0; i < size; ++i) {
    const std::int64_t index = source[i];
    copy.values[i] = index;
    outside |= static_cast<std::uint64_t>(index) >= n_atoms;  // negative ones too
  }
  copy.in_range = !outside;
  return copy;
}

}  // namespace brenvox
