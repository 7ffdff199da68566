#include "boundary/result_array.hpp"

#include <cstdlib>

#include "boundary/numpy_headers.hpp"
#include "engine_module/interface_texts.hpp"

namespace brenvox {

namespace {

// Owner of a result array's memory: frees the bond storage when the last view is gone.
struct PySliceContainer {
  PyObject_HEAD
  void* data;
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
    texts::kResultContainerType,
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
PyResult<PyRef> make_owner(BondStorage storage) {
  PyTypeObject* type = slice_container_type();
  PyObject* owner = type != nullptr ? type->tp_alloc(type, 0) : nullptr;
  if (owner == nullptr) {
    std::free(storage.data);
    return PyError::fetch_raised();
  }
  auto* container = reinterpret_cast<PySliceContainer*>(owner);
  container->data = storage.data;
  return PyRef(owner);
}

}  // namespace

PyResult<PyRef> bonds_to_pyarray(BondBuffer bonds) {
  // The buffer holds whole records only.
  const std::size_t n_bonds = bonds.size() / 4;
  PyArray_Descr* uint32 = PyArray_DescrFromType(NPY_UINT);
  if (uint32 == nullptr) return PyError::fetch_raised();
  if (n_bonds == 0) {
    npy_intp dims[2] = {0, 4};
    // Steals the dtype's reference.
    PyRef empty(PyArray_Zeros(2, dims, uint32, 0));
    if (!empty) return PyError::fetch_raised();
    return empty;
  }
  BondStorage storage = bonds.release();
  void* data = storage.data;
  PyResult<PyRef> owner = make_owner(storage);
  if (!owner.ok()) {
    Py_DECREF(uint32);
    return std::move(owner.error());
  }

  npy_intp dims[2] = {static_cast<npy_intp>(n_bonds), 4};
  npy_intp strides[2] = {4 * sizeof(std::uint32_t), sizeof(std::uint32_t)};
  PyRef array(PyArray_NewFromDescr(&PyArray_Type, uint32, 2, dims, strides, data,
                                   NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return PyError::fetch_raised();
  // Steals the owner's reference, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()),
                            owner.value().release()) < 0) {
    return PyError::fetch_raised();
  }
  return array;
}

}  // namespace brenvox
