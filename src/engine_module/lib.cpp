// The module: its definition, its single-phase initialisation and the three entry points.

#include <Python.h>

#include <atomic>

#include "boundary/boundary_texts.hpp"
#include "boundary/guarded_call.hpp"
#include "boundary/py_error.hpp"
#include "engine_module/argument_errors.hpp"
#include "engine_module/binding.hpp"
#include "engine_module/conversion.hpp"
#include "engine_module/interface_texts.hpp"
#include "engine_module/search_bodies.hpp"

namespace brenvox {
namespace {

constexpr const char* kSearchParameters[] = {"xyz_flat", "n_frames", "n_atoms", "donor_h_pairs",
                                             "acceptor_indices"};
constexpr const char* kThreadedParameters[] = {"xyz_flat",      "n_frames",         "n_atoms",
                                               "donor_h_pairs", "acceptor_indices", "n_threads"};
static_assert(std::size(kThreadedParameters) <= kMaxParameters);

// Internal failures are reported under the module's name and raised as the exception type that
// callers catch.
constinit InternalFailureKind internal_failures{texts::kModuleName, texts::kInternalFailureType,
                                                texts::kInternalFailureDoc};

// Converts what follows the shared five parameters and runs the body.
using Body = PyResult<PyRef> (*)(SearchArguments arguments, PyObject* const* extra_slots);

PyResult<PyRef> exhaustive_body(SearchArguments arguments, PyObject* const*) {
  return run_baker_hubbard_brute(std::move(arguments));
}

PyResult<PyRef> by_size_body(SearchArguments arguments, PyObject* const*) {
  return run_baker_hubbard(std::move(arguments));
}

PyResult<PyRef> threaded_body(SearchArguments arguments, PyObject* const* extra_slots) {
  PyResult<std::uint64_t> n_threads = extract_u64(extra_slots[0]);
  if (!n_threads.ok()) return argument_extraction_error("n_threads", std::move(n_threads.error()));
  return run_baker_hubbard_with_threads(std::move(arguments), n_threads.value());
}

struct EntryPoint {
  FunctionDescription description;
  Body body;
};

constexpr EntryPoint kBySize{{"run_baker_hubbard()", kSearchParameters}, by_size_body};
constexpr EntryPoint kExhaustive{{"run_baker_hubbard_brute()", kSearchParameters}, exhaustive_body};
constexpr EntryPoint kThreaded{{"run_baker_hubbard_with_threads()", kThreadedParameters},
                               threaded_body};

// Binding, then conversion in parameter order, then the body; any failure raised once.
template <const EntryPoint& Entry>
PyObject* search_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded(internal_failures, [&]() -> PyObject* {
    PyObject* slots[kMaxParameters] = {};
    PyStatus bound = extract_arguments_fastcall(Entry.description, args, nargs, kwnames, slots);
    if (!bound.ok()) return bound.error().raise();
    PyResult<SearchArguments> arguments = convert_search_arguments(slots);
    if (!arguments.ok()) return arguments.error().raise();
    return return_or_raise(Entry.body(std::move(arguments.value()), slots + kSharedParameters));
  });
}

template <const EntryPoint& Entry>
constexpr PyCFunction as_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_entry<Entry>));
}

PyMethodDef kFunctions[] = {
    {"run_baker_hubbard", as_method<kBySize>(), METH_FASTCALL | METH_KEYWORDS, texts::kAdaptiveDoc},
    {"run_baker_hubbard_brute", as_method<kExhaustive>(), METH_FASTCALL | METH_KEYWORDS,
     texts::kBruteDoc},
    {"run_baker_hubbard_with_threads", as_method<kThreaded>(), METH_FASTCALL | METH_KEYWORDS,
     texts::kThreadedDoc},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, texts::kModuleName, "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> pinned_interpreter{-1};
PyObject* cached_module = nullptr;

PyObject* raise_fetched_or_system_error() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, texts::kNoExceptionSet);
  return nullptr;
}

PyStatus add_function(PyObject* module, PyMethodDef* definition) {
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return PyError::fetch_raised();
  PyRef function(PyCMethod_New(definition, module, module_name.get(), nullptr));
  if (!function) return PyError::fetch_raised();
  PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return PyError::fetch_raised();
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyError::fetch_raised();
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      return PyError::fetch_raised();
    }
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    throw InternalFailure(texts::kAllAppendFailed);
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return PyError::fetch_raised();
  return {};
}

PyObject* initialise_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return raise_fetched_or_system_error();
  std::int64_t expected = -1;
  if (!pinned_interpreter.compare_exchange_strong(expected, interpreter) &&
      expected != interpreter) {
    PyErr_SetString(PyExc_ImportError, texts::kSubinterpreters);
    return nullptr;
  }
  if (cached_module != nullptr) return Py_NewRef(cached_module);

  PyRef module(PyModule_Create2(&kModuleDef, PYTHON_API_VERSION));
  if (!module) return raise_fetched_or_system_error();
  for (PyMethodDef& definition : kFunctions) {
    if (PyStatus added = add_function(module.get(), &definition); !added.ok()) {
      return added.error().raise();
    }
  }
  cached_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace brenvox

PyMODINIT_FUNC PyInit_brenvox_hbond_rs() {
  return brenvox::call_guarded(brenvox::internal_failures,
                               [] { return brenvox::initialise_module(); });
}
