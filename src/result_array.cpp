#include "result_array.hpp"

#include <cstdlib>

#include "numpy_headers.hpp"

namespace brenvox {

namespace {

// Owner of a result array's memory: frees the bond storage when the last view is gone.
struct PySliceContainer {
  PyObject_HEAD
  void* data;
  std::size_t length;
  std::size_t capacity;
};

void slice_container_dealloc(PyObject* self) {
  std::free(reinterpret_cast<PySliceContainer*>(self)->data);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "brenvox_hbond_rs.PySliceContainer",
    sizeof(PySliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slice_container_slots,
};

// Created at the first non-empty result and kept for the life of the process.
PyTypeObject* slice_container_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&slice_container_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

// Takes over `storage` on every path.
PyOutcome<PyRef> make_owner(BondStorage storage) {
  PyTypeObject* type = slice_container_type();
  PyObject* owner = type != nullptr ? type->tp_alloc(type, 0) : nullptr;
  if (owner == nullptr) {
    std::free(storage.data);
    return ErrorValue::fetch_raised();
  }
  auto* container = reinterpret_cast<PySliceContainer*>(owner);
  container->data = storage.data;
  container->length = storage.length;
  container->capacity = storage.capacity;
  return PyRef(owner);
}

}  // namespace

PyOutcome<PyRef> bonds_to_pyarray(BondBuffer bonds) {
  const std::size_t n_bonds = bonds.size() / 4;
  if (n_bonds == 0) {
    npy_intp dims[2] = {0, 4};
    PyRef empty(PyArray_Zeros(2, dims, PyArray_DescrFromType(NPY_UINT), 0));
    if (!empty) return ErrorValue::fetch_raised();
    return empty;
  }
  if (bonds.size() != 4 * n_bonds) {
    return ErrorValue(PyExc_ValueError,
                      "bond buffer shape: ShapeError/IncompatibleShape: incompatible shapes");
  }
  BondStorage storage = bonds.release();
  void* data = storage.data;
  PyOutcome<PyRef> owner = make_owner(storage);
  if (!owner.ok()) return std::move(owner.error());

  npy_intp dims[2] = {static_cast<npy_intp>(n_bonds), 4};
  npy_intp strides[2] = {4 * sizeof(std::uint32_t), sizeof(std::uint32_t)};
  PyRef array(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_UINT), 2, dims,
                                   strides, data, NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return ErrorValue::fetch_raised();
  // Steals the owner's reference, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.value().release()) <
      0) {
    return ErrorValue::fetch_raised();
  }
  return array;
}

}  // namespace brenvox
