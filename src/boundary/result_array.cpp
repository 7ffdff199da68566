#include "boundary/result_array.hpp"

#include <cstdlib>

#include "boundary/numpy_headers.hpp"

namespace brenvox {

namespace {

// Owner of a result array's memory: frees the bond storage when the last view is gone.
struct ResultOwner {
  PyObject_HEAD
  void* data;
};

void result_owner_dealloc(PyObject* self) {
  std::free(reinterpret_cast<ResultOwner*>(self)->data);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot result_owner_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(result_owner_dealloc)},
    {0, nullptr},
};

}  // namespace

PyTypeObject* ResultOwnerType::get() {
  if (type_ == nullptr) {
    spec_ = {
        name_,
        sizeof(ResultOwner),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        result_owner_slots,
    };
    type_ = PyType_FromSpec(&spec_);
  }
  return reinterpret_cast<PyTypeObject*>(type_);
}

namespace {

// Takes over `storage` on every path.
PyResult<PyRef> make_owner(BondStorage storage, ResultOwnerType& owner_type) {
  PyTypeObject* type = owner_type.get();
  PyObject* owner = type != nullptr ? type->tp_alloc(type, 0) : nullptr;
  if (owner == nullptr) {
    std::free(storage.data);
    return PyError::fetch_raised();
  }
  reinterpret_cast<ResultOwner*>(owner)->data = storage.data;
  return PyRef(owner);
}

}  // namespace

PyResult<PyRef> bonds_to_pyarray(BondBuffer bonds, ResultOwnerType& owner_type) {
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
  PyResult<PyRef> owner = make_owner(storage, owner_type);
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
