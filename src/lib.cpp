// The module: its definition, its single-phase initialisation and the three entry points.

#include <Python.h>

#include <atomic>

#include "binding.hpp"
#include "conversion.hpp"
#include "errors.hpp"
#include "search_bodies.hpp"

namespace brenvox {
namespace {

constexpr const char* kSearchParameters[] = {"xyz_flat", "n_frames", "n_atoms", "donor_h_pairs",
                                             "acceptor_indices"};
constexpr const char* kThreadedParameters[] = {"xyz_flat",      "n_frames",         "n_atoms",
                                               "donor_h_pairs", "acceptor_indices", "n_threads"};

constexpr FunctionDescription kAdaptiveDescription{"run_baker_hubbard()", kSearchParameters, 5};
constexpr FunctionDescription kBruteDescription{"run_baker_hubbard_brute()", kSearchParameters, 5};
constexpr FunctionDescription kThreadedDescription{"run_baker_hubbard_with_threads()",
                                                   kThreadedParameters, 6};

#define BAKER_HUBBARD_EN_DASH "Baker\xE2\x80\x93" "Hubbard"

constexpr const char kAdaptiveDoc[] =
    "run_baker_hubbard(xyz_flat, n_frames, n_atoms, donor_h_pairs, acceptor_indices)\n--\n\n"
    "Run Baker-Hubbard over all frames. Uses spatial pruning for large search spaces\n"
    "and brute force for smaller ones (same geometry either way).";
constexpr const char kBruteDoc[] =
    "run_baker_hubbard_brute(xyz_flat, n_frames, n_atoms, donor_h_pairs, acceptor_indices)\n--\n\n"
    "Brute-force " BAKER_HUBBARD_EN_DASH " (reference implementation for regression tests).";
constexpr const char kThreadedDoc[] =
    "run_baker_hubbard_with_threads(xyz_flat, n_frames, n_atoms, donor_h_pairs, acceptor_indices, "
    "n_threads)\n--\n\n"
    "Threaded " BAKER_HUBBARD_EN_DASH " (adaptive spatial vs brute per frame batch).";

PyObject* finish(PyOutcome<PyRef> outcome) {
  if (!outcome.ok()) return outcome.error().raise();
  return outcome.value().release();
}

template <const FunctionDescription& Description, PyOutcome<PyRef> (*Body)(SearchArguments)>
PyObject* search_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&]() -> PyObject* {
    PyObject* slots[5] = {};
    if (auto error = extract_arguments_fastcall(Description, args, nargs, kwnames, slots)) {
      return error->raise();
    }
    PyOutcome<SearchArguments> arguments = convert_search_arguments(slots);
    if (!arguments.ok()) return arguments.error().raise();
    return finish(Body(std::move(arguments.value())));
  });
}

PyObject* threaded_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&]() -> PyObject* {
    PyObject* slots[6] = {};
    if (auto error = extract_arguments_fastcall(kThreadedDescription, args, nargs, kwnames, slots)) {
      return error->raise();
    }
    PyOutcome<SearchArguments> arguments = convert_search_arguments(slots);
    if (!arguments.ok()) return arguments.error().raise();
    PyOutcome<std::uint64_t> n_threads = extract_u64(slots[5]);
    if (!n_threads.ok()) {
      return argument_extraction_error("n_threads", std::move(n_threads.error())).raise();
    }
    return finish(run_baker_hubbard_with_threads(std::move(arguments.value()), n_threads.value()));
  });
}

PyMethodDef kFunctions[] = {
    {"run_baker_hubbard",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(search_entry<kAdaptiveDescription, run_baker_hubbard>)),
     METH_FASTCALL | METH_KEYWORDS, kAdaptiveDoc},
    {"run_baker_hubbard_brute",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(search_entry<kBruteDescription, run_baker_hubbard_brute>)),
     METH_FASTCALL | METH_KEYWORDS, kBruteDoc},
    {"run_baker_hubbard_with_threads",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(threaded_entry)),
     METH_FASTCALL | METH_KEYWORDS, kThreadedDoc},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "brenvox_hbond_rs", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> pinned_interpreter{-1};
PyObject* cached_module = nullptr;

PyObject* raise_fetched_or_system_error() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return nullptr;
}

// Returns false with an exception set.
bool add_function(PyObject* module, PyMethodDef* definition) {
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  PyRef function(PyCMethod_New(definition, module, module_name.get(), nullptr));
  if (!function) return false;
  PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    throw InternalFailure("could not append __name__ to __all__");
  }
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* initialise_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return raise_fetched_or_system_error();
  std::int64_t expected = -1;
  if (!pinned_interpreter.compare_exchange_strong(expected, interpreter) &&
      expected != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "PyO3 modules do not yet support subinterpreters, see the brenvox_hbond_rs "
                    "README: the module can be imported in one interpreter per process");
    return nullptr;
  }
  if (cached_module != nullptr) return Py_NewRef(cached_module);

  PyRef module(PyModule_Create2(&kModuleDef, 1013));
  if (!module) return raise_fetched_or_system_error();
  for (PyMethodDef& definition : kFunctions) {
    if (!add_function(module.get(), &definition)) return nullptr;
  }
  cached_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace brenvox

PyMODINIT_FUNC PyInit_brenvox_hbond_rs() {
  return brenvox::call_guarded([] { return brenvox::initialise_module(); });
}
