#pragma once
// Binding of fast-call positional and keyword arguments to a function's parameters.

#include <Python.h>

#include <span>

#include "boundary/py_error.hpp"

namespace brenvox {

struct FunctionDescription {
  const char* function_name;                // as messages show it, with "()"
  std::span<const char* const> parameters;  // every one required
};

// The most parameters a function has.
inline constexpr std::size_t kMaxParameters = 6;

// Fills `slots` (one per parameter, all null on entry) with borrowed references. Looks at no
// value and converts nothing; returns the first binding error.
// `slots` has room for kMaxParameters.
PyStatus extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

}  // namespace brenvox
