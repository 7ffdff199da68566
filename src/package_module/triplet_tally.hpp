#pragma once
// brenvox_hbond._native's tally of bonded frames per triplet and of rows per frame, on tables
// the caller owns, with the interpreter lock released while rows are counted.

#include <Python.h>

#include "boundary/py_error.hpp"

namespace brenvox {

// tally_rows(rows, pair_of_hydrogen, acceptor_position, table, used) -> (consumed, used)
PyResult<PyRef> tally_rows_body(PyObject* args);

// tally_keys(new_keys, new_counts, table, used) -> (consumed, used)
PyResult<PyRef> tally_keys_body(PyObject* args);

// count_frames(rows, n_frames) -> counts
PyResult<PyRef> count_frames_body(PyObject* args);

}  // namespace brenvox
