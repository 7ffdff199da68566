#include "boundary/errors.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace brenvox {

namespace {

PyObject* exception_type(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::ValueError: return PyExc_ValueError;
    case ErrorKind::OverflowError: return PyExc_OverflowError;
  }
  return PyExc_SystemError;
}

// Created at the first internal failure and kept for the life of the process.
PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(texts::kInternalFailureType, texts::kInternalFailureDoc,
                                     PyExc_BaseException, nullptr);
  }
  return type;
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

void raise_internal_failure(const char* message, const InternalFailure* origin) {
  if (origin != nullptr) {
    std::fprintf(stderr, "brenvox_hbond_rs: internal failure on thread %ld at %s:%u: %s\n",
                 static_cast<long>(origin->thread_id()), origin->where().file_name(),
                 static_cast<unsigned>(origin->where().line()), message);
  } else {
    std::fprintf(stderr, "brenvox_hbond_rs: internal failure on thread %ld: %s\n",
                 static_cast<long>(gettid()), message);
  }
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the failure to create it is the exception raised
  PyRef text(PyUnicode_FromString(message));
  if (text) PyErr_SetObject(type, text.get());
}

}  // namespace brenvox
