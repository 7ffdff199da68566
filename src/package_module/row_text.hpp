#pragma once
// brenvox_hbond._native's formatting of bond rows as CSV lines.

#include <Python.h>

#include "boundary/py_error.hpp"

namespace brenvox {

// format_rows(rows, columns) -> bytes
PyResult<PyRef> format_rows_body(PyObject* args);

}  // namespace brenvox
