#pragma once
// brenvox_hbond._native's readers of GROMACS .xtc and .trr files: the frame index and the
// decoding of chosen frames, with the interpreter lock released while the file is read. The
// bodies may throw (memory, internal failures); the module's entries run them through its
// translation point.

#include <Python.h>

#include "boundary/py_error.hpp"

namespace brenvox {

// index_xdr(path) -> (offsets, n_atoms, damage)
PyResult<PyRef> index_xdr_body(PyObject* args);

// read_xdr(path, offsets, frames, n_atoms, n_threads[, kept_atoms])
//   -> (xyz, box, time, step, failure)
PyResult<PyRef> read_xdr_body(PyObject* args);

}  // namespace brenvox
