#include "engine_module/argument_errors.hpp"

#include <string>

namespace brenvox {

namespace {

std::string type_qualname(PyObject* object) {
  PyRef name(PyType_GetQualName(Py_TYPE(object)));
  const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return utf8;
}

}  // namespace

PyError cannot_convert(PyObject* object, const char* target) {
  std::string message = "'";
  message += type_qualname(object);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  return PyError(PyExc_TypeError, std::move(message));
}

PyError argument_extraction_error(const char* name, PyError error) {
  PyRef exception = error.to_exception();
  if (!exception) return PyError::fetch_raised();
  if (!Py_IS_TYPE(exception.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    return error;
  }
  PyRef text(PyObject_Str(exception.get()));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) return PyError::fetch_raised();
  PyError renamed(PyExc_TypeError, std::string("argument '") + name + "': " + utf8);
  PyRef replacement = renamed.to_exception();
  if (!replacement) return PyError::fetch_raised();
  PyException_SetCause(replacement.get(), PyException_GetCause(exception.get()));
  return PyError::holding(std::move(replacement));
}

}  // namespace brenvox
