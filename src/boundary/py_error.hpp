#pragma once
// Ordinary failures at the interpreter boundary as values (PyError, in a PyResult or PyStatus),
// raised once by the entry that returns them.

#include <Python.h>

#include <string>

#include "boundary/py_ref.hpp"
#include "kernel/result.hpp"
#include "kernel/search_error.hpp"

namespace brenvox {

// An exception to raise: a type and a message, or an exception object already made.
class PyError {
 public:
  // `type` is one of the interpreter's static exception types.
  PyError(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}
  static PyError from_search(const SearchError& error);
  // Takes over the exception that CPython has raised.
  static PyError fetch_raised();
  // Takes over an exception object.
  static PyError holding(PyRef exception) { return PyError(std::move(exception)); }

  // The exception as an object (new reference); null with an exception set if that fails.
  PyRef to_exception() const;
  // Sets the exception as the current one; returns null for the caller to return.
  PyObject* raise() const;

 private:
  explicit PyError(PyRef raised) : type_(nullptr), raised_(std::move(raised)) {}

  PyObject* type_;
  std::string message_;
  PyRef raised_;
};

template <typename T>
using PyResult = Result<T, PyError>;
using PyStatus = Status<PyError>;

// "<strerror text> (os error N)".
std::string describe_error_number(int error_number);

// The entry's result: the object, or the error raised.
inline PyObject* return_or_raise(PyResult<PyRef> result) {
  if (!result.ok()) return result.error().raise();
  return result.value().release();
}

}  // namespace brenvox
