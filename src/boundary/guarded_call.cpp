#include "boundary/guarded_call.hpp"

#include <unistd.h>

#include <cstdio>

#include "boundary/py_ref.hpp"

namespace brenvox {

void InternalFailureKind::raise(const char* message, const InternalFailure* origin) {
  if (origin != nullptr) {
    std::fprintf(stderr, "%s: internal failure on thread %ld at %s:%u: %s\n", reporter_,
                 static_cast<long>(origin->thread_id()), origin->where().file_name(),
                 static_cast<unsigned>(origin->where().line()), message);
  } else {
    std::fprintf(stderr, "%s: internal failure on thread %ld: %s\n", reporter_,
                 static_cast<long>(gettid()), message);
  }
  std::fflush(stderr);
  if (type_ == nullptr) {
    type_ = PyErr_NewExceptionWithDoc(type_name_, doc_, PyExc_BaseException, nullptr);
    if (type_ == nullptr) return;  // the failure to create it is the exception raised
  }
  PyRef text(PyUnicode_FromString(message));
  if (text) PyErr_SetObject(type_, text.get());
}

}  // namespace brenvox
