#include "engine_module/binding.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace brenvox {

namespace {

PyError type_error(const FunctionDescription& d, const std::string& text) {
  return PyError(PyExc_TypeError, std::string(d.function_name) + text);
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string join_quoted(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// Formatted by the interpreter, so that a name without UTF-8 text (a lone surrogate) still
// gives the TypeError rather than an encoding error.
PyError unexpected_keyword(const FunctionDescription& d, PyObject* name) {
  PyRef message(
      PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'", d.function_name, name));
  if (!message) return PyError::fetch_raised();
  PyRef exception(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!exception) return PyError::fetch_raised();
  return PyError::holding(std::move(exception));
}

}  // namespace

PyStatus extract_arguments_fastcall(const FunctionDescription& d, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  const std::size_t n_params = d.parameters.size();
  const std::size_t n_positional = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < n_positional && i < n_params; ++i) slots[i] = args[i];
  if (n_positional > n_params) {
    return type_error(d, " takes " + std::to_string(n_params) + " positional arguments but " +
                             std::to_string(n_positional) + " were given");
  }

  const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n_keywords; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &length);
    if (utf8 == nullptr) {
      PyErr_Clear();
      return unexpected_keyword(d, name);
    }
    std::size_t index = 0;
    while (index < n_params && !(std::strlen(d.parameters[index]) == std::size_t(length) &&
                                 std::memcmp(d.parameters[index], utf8, length) == 0)) {
      ++index;
    }
    if (index == n_params) return unexpected_keyword(d, name);
    if (slots[index] != nullptr) {
      return type_error(d, " got multiple values for argument '" + std::string(utf8, length) + "'");
    }
    slots[index] = args[nargs + k];
  }

  if (n_positional < n_params) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < n_params; ++i) {
      if (slots[i] == nullptr) missing.push_back(d.parameters[i]);
    }
    if (!missing.empty()) {
      return type_error(d, " missing " + std::to_string(missing.size()) +
                               (missing.size() == 1 ? " required positional argument: "
                                                    : " required positional arguments: ") +
                               join_quoted(missing));
    }
  }
  return {};
}

}  // namespace brenvox
