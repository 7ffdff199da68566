#pragma once
// The TypeErrors of argument conversion, and the rewording that names the argument in them.

#include <Python.h>

#include "boundary/py_error.hpp"

namespace brenvox {

// "'{type}' object cannot be converted to '{target}'", the TypeError of a failed conversion.
PyError cannot_convert(PyObject* object, const char* target);

// Names the parameter in an exact TypeError ("argument 'name': ..."), keeping its __cause__;
// any other exception passes through unchanged.
PyError argument_extraction_error(const char* name, PyError error);

}  // namespace brenvox
