#pragma once
// Ordinary failures as values, raised once at the boundary, and the one translation point
// that keeps every C++ exception from unwinding into the interpreter.

#include <Python.h>

#include <new>
#include <optional>
#include <string>

#include "kernel/internal_failure.hpp"
#include "kernel/kernel_error.hpp"
#include "py_ref.hpp"

namespace brenvox {

class ErrorValue {
 public:
  // `type` is one of the interpreter's static exception types.
  ErrorValue(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}
  static ErrorValue from_kernel(const KernelError& error);
  // Takes over the exception that CPython has raised.
  static ErrorValue fetch_raised();
  // Takes over an exception object.
  static ErrorValue holding(PyRef exception) { return ErrorValue(std::move(exception)); }

  // The exception as an object (new reference); null with an exception set if that fails.
  PyRef to_exception() const;
  // Sets the exception as the current one; returns null for the caller to return.
  PyObject* raise() const;

 private:
  explicit ErrorValue(PyRef raised) : type_(nullptr), raised_(std::move(raised)) {}

  PyObject* type_;
  std::string message_;
  PyRef raised_;
};

template <typename T>
using PyOutcome = Outcome<T, ErrorValue>;

// "<strerror text> (os error N)".
std::string describe_error_number(int error_number);

// Raises the internal-failure exception with `message`, after a short report on stderr.
void raise_internal_failure(const char* message, const InternalFailure* origin);

// Runs `body` (returning a new reference, or null with an exception set) so that any C++
// exception becomes a Python exception instead of unwinding into the interpreter.
template <typename Body>
PyObject* call_guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const InternalFailure& failure) {
    raise_internal_failure(failure.what(), &failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_failure(e.what(), nullptr);
  } catch (...) {
    raise_internal_failure("internal failure of an unknown kind", nullptr);
  }
  return nullptr;
}

}  // namespace brenvox
