#pragma once
// Every file that uses NumPy includes this; numpy_api.cpp alone owns the API table.

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// Built against NumPy 2 headers, but only with what NumPy 1.25 already offered, so one binary
// runs on NumPy 1.26 and 2.x.
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL BRENVOX_HBOND_ARRAY_API
#ifndef BRENVOX_OWNS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace brenvox {

// Loads NumPy's C API table on first use. Throws InternalFailure when NumPy cannot be
// imported, its table cannot be read or it does not fit this build.
void ensure_numpy_api();

}  // namespace brenvox
