#pragma once
// brenvox_hbond._native's reader of a .gro file's atom lines.

#include <Python.h>

#include "boundary/py_error.hpp"

namespace brenvox {

// read_gro_atoms(text, start, n_atoms, width)
//   -> (residue_ids, residue_codes, residue_fields, name_codes, name_fields, xyz, end)
PyResult<PyRef> read_gro_atoms_body(PyObject* args);

}  // namespace brenvox
