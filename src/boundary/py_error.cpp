#include "boundary/py_error.hpp"

#include <cstring>

#include "boundary/boundary_texts.hpp"

namespace brenvox {

namespace {

PyObject* exception_type(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::ValueError: return PyExc_ValueError;
    case ErrorKind::OverflowError: return PyExc_OverflowError;
    case ErrorKind::IndexError: return PyExc_IndexError;
  }
  return PyExc_SystemError;
}

}  // namespace

PyError PyError::from_search(const SearchError& error) {
  return PyError(exception_type(error.kind), error.message);
}

PyError PyError::fetch_raised() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) {
    return PyError(PyExc_SystemError, texts::kNoExceptionSet);
  }
  return PyError(PyRef(raised));
}

PyRef PyError::to_exception() const {
  if (raised_) return PyRef::borrow(raised_.get());
  PyRef text(PyUnicode_FromStringAndSize(message_.data(), Py_ssize_t(message_.size())));
  if (!text) return PyRef();
  return PyRef(PyObject_CallOneArg(type_, text.get()));
}

PyObject* PyError::raise() const {
  if (raised_) {
    PyErr_SetRaisedException(Py_NewRef(raised_.get()));
    return nullptr;
  }
  PyRef text(PyUnicode_FromStringAndSize(message_.data(), Py_ssize_t(message_.size())));
  if (text) PyErr_SetObject(type_, text.get());
  return nullptr;
}

std::string describe_error_number(int error_number) {
  char buffer[256];
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace brenvox
