#pragma once
// The uint32 (n_bonds, 4) array that every search returns, built over the bond buffer's own
// storage without copying it.

#include <Python.h>

#include "boundary/py_error.hpp"
#include "kernel/bond_buffer.hpp"

namespace brenvox {

// The type of the objects that own result arrays' memory, named by the module whose arrays
// they own ("module.Name"). Each module keeps one for the life of the process; the type is made
// at the first non-empty result.
class ResultOwnerType {
 public:
  explicit constexpr ResultOwnerType(const char* name) : name_(name) {}

  // Null with an exception set when the type cannot be made.
  PyTypeObject* get();

 private:
  const char* name_;
  PyType_Spec spec_{};  // kept with the type, which may refer to it
  PyObject* type_ = nullptr;
};

// Takes over the buffer: its storage passes to an owner object of `owner_type` or is freed.
PyResult<PyRef> bonds_to_pyarray(BondBuffer bonds, ResultOwnerType& owner_type);

}  // namespace brenvox
