#include "package_module/gro_files.hpp"

#include <cstring>
#include <string_view>
#include <vector>

#include "boundary/numpy_headers.hpp"
#include "structure_files/gro_atoms.hpp"

namespace brenvox {

namespace {

template <typename T>
PyResult<PyRef> array_of(const std::vector<T>& values, int type, npy_intp rows, npy_intp columns) {
  npy_intp dims[2] = {rows, columns};
  PyRef array(PyArray_SimpleNew(columns > 0 ? 2 : 1, dims, type));
  if (!array) return PyError::fetch_raised();
  if (!values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(),
                values.size() * sizeof(T));
  }
  return array;
}

PyResult<PyRef> codes_of(const std::vector<std::int32_t>& codes) {
  std::vector<std::int64_t> wide(codes.begin(), codes.end());
  return array_of(wide, NPY_INT64, npy_intp(wide.size()), 0);
}

PyResult<PyRef> bytes_list(const std::vector<std::string_view>& fields) {
  PyRef list(PyList_New(Py_ssize_t(fields.size())));
  if (!list) return PyError::fetch_raised();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    PyObject* item = PyBytes_FromStringAndSize(fields[i].data(), Py_ssize_t(fields[i].size()));
    if (item == nullptr) return PyError::fetch_raised();
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
  }
  return list;
}

// Holds a buffer for as long as views into it are read: a bytearray could otherwise be resized
// by code that a collection runs while the result's objects are made.
struct HeldBuffer {
  Py_buffer buffer{};
  ~HeldBuffer() {
    if (buffer.obj != nullptr) PyBuffer_Release(&buffer);
  }
};

}  // namespace

PyResult<PyRef> read_gro_atoms_body(PyObject* args) {
  HeldBuffer text;
  Py_ssize_t start, n_atoms, width;
  if (!PyArg_ParseTuple(args, "y*nnn:read_gro_atoms", &text.buffer, &start, &n_atoms, &width)) {
    return PyError::fetch_raised();
  }
  ensure_numpy_api();
  const std::string_view view(static_cast<const char*>(text.buffer.buf),
                              std::size_t(text.buffer.len));
  if (start < 0 || n_atoms < 0) {
    return PyError(PyExc_ValueError, "start and n_atoms must not be negative");
  }
  auto read = gro::read_gro_atoms(view, std::size_t(start), n_atoms, width);
  if (!read.ok()) return PyError(PyExc_ValueError, read.error().message);
  const gro::GroAtoms& atoms = read.value();

  PyResult<PyRef> residue_ids = array_of(atoms.residue_ids, NPY_INT64, n_atoms, 0);
  if (!residue_ids.ok()) return std::move(residue_ids.error());
  PyResult<PyRef> residue_codes = codes_of(atoms.residue_codes);
  if (!residue_codes.ok()) return std::move(residue_codes.error());
  PyResult<PyRef> residue_fields = bytes_list(atoms.residue_fields);
  if (!residue_fields.ok()) return std::move(residue_fields.error());
  PyResult<PyRef> name_codes = codes_of(atoms.name_codes);
  if (!name_codes.ok()) return std::move(name_codes.error());
  PyResult<PyRef> name_fields = bytes_list(atoms.name_fields);
  if (!name_fields.ok()) return std::move(name_fields.error());
  PyResult<PyRef> xyz = array_of(atoms.xyz, NPY_FLOAT32, n_atoms, 3);
  if (!xyz.ok()) return std::move(xyz.error());
  PyRef result(Py_BuildValue("(OOOOOOn)", residue_ids.value().get(), residue_codes.value().get(),
                             residue_fields.value().get(), name_codes.value().get(),
                             name_fields.value().get(), xyz.value().get(), Py_ssize_t(atoms.end)));
  if (!result) return PyError::fetch_raised();
  return result;
}

}  // namespace brenvox
