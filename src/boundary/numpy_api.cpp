// NumPy's table is loaded on the first call rather than at import, so importing this module
// does not import NumPy. The loader does what NumPy's own import_array does, but takes the
// table from the multiarray module of the installed major version.

#define BRENVOX_OWNS_NUMPY_API
#include "boundary/numpy_headers.hpp"

#include <new>
#include <string>

#include "boundary/boundary_texts.hpp"
#include "boundary/py_ref.hpp"
#include "kernel/internal_failure.hpp"

namespace brenvox {

namespace {

[[noreturn]] void fail(const std::string& detail) {
  BRENVOX_HBOND_ARRAY_API = nullptr;
  throw InternalFailure(std::string(texts::kNumpyCapsuleFailure) + ": " + detail);
}

// "TypeName: message" of the raised exception, which is cleared.
std::string describe_raised() {
  PyRef raised(PyErr_GetRaisedException());
  if (!raised) return "unknown error";
  std::string text = Py_TYPE(raised.get())->tp_name;
  PyRef message(PyObject_Str(raised.get()));
  const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
  if (utf8 != nullptr && *utf8 != '\0') text += std::string(": ") + utf8;
  PyErr_Clear();
  return text;
}

// Running out of memory is not a fault of NumPy or of this build: it stays a MemoryError.
[[noreturn]] void fail_with_raised() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    BRENVOX_HBOND_ARRAY_API = nullptr;
    PyErr_Clear();
    throw std::bad_alloc();
  }
  fail(describe_raised());
}

PyRef import_or_fail(const char* name) {
  PyRef module(PyImport_ImportModule(name));
  if (!module) fail_with_raised();
  return module;
}

PyRef attribute_or_fail(PyObject* object, const char* name) {
  PyRef value(PyObject_GetAttrString(object, name));
  if (!value) fail_with_raised();
  return value;
}

long numpy_major_version() {
  PyRef numpy = import_or_fail("numpy");
  PyRef version = attribute_or_fail(numpy.get(), "__version__");
  PyRef lib = import_or_fail("numpy.lib");
  PyRef numpy_version_type = attribute_or_fail(lib.get(), "NumpyVersion");
  PyRef parsed(PyObject_CallOneArg(numpy_version_type.get(), version.get()));
  if (!parsed) fail_with_raised();
  PyRef major = attribute_or_fail(parsed.get(), "major");
  const long value = PyLong_AsLong(major.get());
  if (value == -1 && PyErr_Occurred()) fail_with_raised();
  return value;
}

void check_runtime_matches_build() {
  if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
    fail("module compiled against ABI version " + std::to_string(NPY_VERSION) +
         " but this version of numpy is " + std::to_string(PyArray_GetNDArrayCVersion()));
  }
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  if (NPY_FEATURE_VERSION > PyArray_RUNTIME_VERSION) {
    fail("module compiled against NumPy C-API version " + std::to_string(NPY_FEATURE_VERSION) +
         " (NumPy " NPY_FEATURE_VERSION_STRING ") but the running NumPy has C-API version " +
         std::to_string(PyArray_RUNTIME_VERSION));
  }
  const int endianness = PyArray_GetEndianness();
  if (endianness == NPY_CPU_UNKNOWN_ENDIAN) fail("module compiled as unknown endian");
#if NPY_BYTE_ORDER == NPY_BIG_ENDIAN
  if (endianness != NPY_CPU_BIG) fail("module compiled as big endian, but running on another");
#else
  if (endianness != NPY_CPU_LITTLE)
    fail("module compiled as little endian, but running on another");
#endif
}

}  // namespace

void ensure_numpy_api() {
  if (BRENVOX_HBOND_ARRAY_API != nullptr) return;
  const char* multiarray_name =
      numpy_major_version() >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  PyRef multiarray = import_or_fail(multiarray_name);
  PyRef capsule = attribute_or_fail(multiarray.get(), "_ARRAY_API");
  if (!PyCapsule_CheckExact(capsule.get())) fail("_ARRAY_API is not PyCapsule object");
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) {
    PyErr_Clear();
    fail("_ARRAY_API is NULL pointer");
  }
  BRENVOX_HBOND_ARRAY_API = static_cast<void**>(table);
  check_runtime_matches_build();
  // The table lives in NumPy's extension module, which is never unloaded; holding the
  // capsule keeps that true even if someone deletes the module from sys.modules.
  capsule.release();
}

}  // namespace brenvox
