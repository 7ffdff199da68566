#pragma once
// The one translation point that keeps every C++ exception from unwinding into the interpreter:
// an internal failure becomes the module's own internal-failure exception, reported on stderr.

#include <Python.h>

#include <new>

#include "boundary/boundary_texts.hpp"
#include "kernel/exception_state.hpp"
#include "kernel/internal_failure.hpp"

namespace brenvox {

// How a module names its internal failures. Each module keeps one for the life of the process;
// the exception type is made at the first failure.
class InternalFailureKind {
 public:
  // `type_name` is "module.Name"; the type derives from BaseException, so that it propagates
  // through ordinary handlers.
  constexpr InternalFailureKind(const char* reporter, const char* type_name, const char* doc)
      : reporter_(reporter), type_name_(type_name), doc_(doc) {}

  // Raises the internal-failure exception with `message`, after a short report on stderr that
  // begins with the reporter's name.
  void raise(const char* message, const InternalFailure* origin);

 private:
  const char* reporter_;
  const char* type_name_;
  const char* doc_;
  PyObject* type_ = nullptr;
};

// Runs `body` (returning a new reference, or null with an exception set) so that any C++
// exception becomes a Python exception instead of unwinding into the interpreter.
template <typename Body>
PyObject* call_guarded(InternalFailureKind& failures, Body&& body) noexcept {
  if (!prepare_exception_state()) return PyErr_NoMemory();
  try {
    return body();
  } catch (const InternalFailure& failure) {
    failures.raise(failure.what(), &failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    failures.raise(e.what(), nullptr);
  } catch (...) {
    failures.raise(texts::kUnknownInternalFailure, nullptr);
  }
  return nullptr;
}

}  // namespace brenvox
