// brenvox_hbond._native: the array-native search behind brenvox_hbond.find_hbonds. The Python
// layer shapes the arguments; this entry checks them again, since nothing it reads may be
// trusted, then searches with the interpreter lock released.

#include <Python.h>
#include <cmath>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "boundary/guarded_call.hpp"
#include "boundary/numpy_headers.hpp"
#include "boundary/py_error.hpp"
#include "boundary/result_array.hpp"
#include "kernel/trajectory/input_checks.hpp"
#include "kernel/trajectory/search.hpp"
#include "package_module/gro_files.hpp"
#include "package_module/package_texts.hpp"
#include "package_module/pinned_memory.hpp"
#include "package_module/row_text.hpp"
#include "package_module/search_arrays.hpp"
#include "package_module/triplet_tally.hpp"
#include "package_module/xdr_files.hpp"
#include "parallel/trajectory_threads.hpp"
#include "parallel/worker_pool.hpp"

namespace brenvox {
namespace {

constinit InternalFailureKind internal_failures{package_texts::kModuleName,
                                                package_texts::kInternalFailureType,
                                                package_texts::kInternalFailureDoc};
constinit ResultOwnerType result_owners{package_texts::kResultOwnerType};

PyObject* raise(const SearchError& error) {
  return PyError::from_search(error).raise();
}

// Runs the search with the interpreter lock released; a C++ exception is carried across and
// rethrown with the lock held again.
BondBuffer run_unlocked(const TrajectorySearch& search, WorkerPool* pool) {
  BondBuffer bonds;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS try {
    bonds = pool != nullptr ? search_trajectory_threaded(*pool, search) : search_trajectory(search);
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
  return bonds;
}

// The rows as an array, searched on up to `n_threads` workers.
PyResult<PyRef> search_rows(const TrajectorySearch& search, std::uint64_t n_threads) {
  std::unique_ptr<WorkerPool> pool;
  // Workers take whole frames: more workers than frames would only wait.
  const std::uint64_t n_workers = std::min(pool_size_for(n_threads), search.n_frames);
  if (n_workers > 1) {
    auto created = WorkerPool::create(n_workers);
    if (!created.ok()) {
      return PyError(PyExc_RuntimeError, "could not start the worker threads: " +
                                             describe_error_number(created.error().error_number));
    }
    pool = std::move(created.value());
  }
  // The arguments' references are held by the caller's tuple for the whole call, and the
  // search reads only the pinned coordinates and memory of its own.
  BondBuffer bonds;
  try {
    bonds = run_unlocked(search, pool.get());
  } catch (const RefusedSearch& refused) {
    pool.reset();
    const std::string first = n_workers > 1 ? first_refusal(search) : std::string();
    return PyError(PyExc_ValueError, first.empty() ? std::string(refused.what()) : first);
  }
  pool.reset();
  return bonds_to_pyarray(std::move(bonds), result_owners);
}

PyObject* find_hbonds(PyObject*, PyObject* args) {
  return call_guarded(internal_failures, [&]() -> PyObject* {
    PyObject *xyz, *pairs, *acceptors, *box;
    double distance_cutoff, angle_cutoff;
    Py_ssize_t n_threads;
    int from_donor = 0, angle_at_donor = 0, distance_inclusive = 0, angle_inclusive = 0,
        merge_hydrogens = 0;
    CriterionForm form;
    if (!PyArg_ParseTuple(args, "OOOOddn|(pppppdd):find_hbonds", &xyz, &pairs, &acceptors, &box,
                          &distance_cutoff, &angle_cutoff, &n_threads, &from_donor, &angle_at_donor,
                          &distance_inclusive, &angle_inclusive, &merge_hydrogens,
                          &form.donor_hydrogen_cutoff, &form.cone_slope)) {
      return nullptr;
    }
    form.from_donor = from_donor != 0;
    form.angle_at_donor = angle_at_donor != 0;
    form.distance_inclusive = distance_inclusive != 0;
    form.angle_inclusive = angle_inclusive != 0;
    form.merge_hydrogens = merge_hydrogens != 0;
    if (!(form.donor_hydrogen_cutoff > 0.0) || !(form.cone_slope >= 0.0) ||
        !std::isfinite(form.cone_slope)) {
      PyErr_SetString(PyExc_ValueError,
                      "the donor-hydrogen cut-off must be positive and the cone slope finite and "
                      "not negative");
      return nullptr;
    }
    ensure_numpy_api();
    PinnedMemory pinned;
    PyResult<SearchArrays> read = read_search_arrays(xyz, pairs, acceptors, box, pinned);
    if (!read.ok()) return read.error().raise();
    const SearchArrays& arrays = read.value();
    if (SearchStatus settings = check_search_settings(distance_cutoff, angle_cutoff, n_threads);
        !settings.ok()) {
      return raise(settings.error());
    }
    if (SearchStatus limits = check_search_limits(arrays.n_frames, arrays.n_atoms, arrays.n_pairs,
                                                  arrays.n_acceptors);
        !limits.ok()) {
      return raise(limits.error());
    }
    const IndexCopy pair_atoms = copy_indices(arrays.pairs, arrays.n_atoms);
    const IndexCopy acceptor_atoms = copy_indices(arrays.acceptors, arrays.n_atoms);
    if (!pair_atoms.in_range || !acceptor_atoms.in_range) {
      return raise(
          check_indices_in_range(pair_atoms.span(), acceptor_atoms.span(), arrays.n_atoms).error());
    }
    std::vector<PeriodicBox> boxes;
    if (arrays.box != nullptr) {
      SearchResult<std::vector<PeriodicBox>> made = make_search_boxes(
          static_cast<const double*>(PyArray_DATA(arrays.box)),
          static_cast<std::uint64_t>(PyArray_DIM(arrays.box, 0)), distance_cutoff);
      if (!made.ok()) return raise(made.error());
      boxes = std::move(made.value());
    }

    const TrajectorySearch search{PyArray_DATA(arrays.xyz),
                                  PyArray_TYPE(arrays.xyz) == NPY_FLOAT32,
                                  arrays.n_frames,
                                  arrays.n_atoms,
                                  pair_atoms.span(),
                                  acceptor_atoms.span(),
                                  boxes,
                                  distance_cutoff,
                                  make_hbond_criterion(distance_cutoff, angle_cutoff, form)};
    return return_or_raise(search_rows(search, static_cast<std::uint64_t>(n_threads)));
  });
}

PyObject* index_xdr(PyObject*, PyObject* args) {
  return call_guarded(internal_failures, [&] { return return_or_raise(index_xdr_body(args)); });
}

PyObject* read_xdr(PyObject*, PyObject* args) {
  return call_guarded(internal_failures, [&] { return return_or_raise(read_xdr_body(args)); });
}

PyObject* read_gro_atoms(PyObject*, PyObject* args) {
  return call_guarded(internal_failures,
                      [&] { return return_or_raise(read_gro_atoms_body(args)); });
}

PyObject* format_rows(PyObject*, PyObject* args) {
  return call_guarded(internal_failures, [&] { return return_or_raise(format_rows_body(args)); });
}

PyObject* tally_rows(PyObject*, PyObject* args) {
  return call_guarded(internal_failures, [&] { return return_or_raise(tally_rows_body(args)); });
}

PyObject* tally_keys(PyObject*, PyObject* args) {
  return call_guarded(internal_failures, [&] { return return_or_raise(tally_keys_body(args)); });
}

PyObject* count_frames(PyObject*, PyObject* args) {
  return call_guarded(internal_failures, [&] { return return_or_raise(count_frames_body(args)); });
}

PyMethodDef kFunctions[] = {
    {"find_hbonds", reinterpret_cast<PyCFunction>(find_hbonds), METH_VARARGS,
     package_texts::kFindHbondsDoc},
    {"index_xdr", reinterpret_cast<PyCFunction>(index_xdr), METH_VARARGS,
     package_texts::kIndexXdrDoc},
    {"read_xdr", reinterpret_cast<PyCFunction>(read_xdr), METH_VARARGS, package_texts::kReadXdrDoc},
    {"read_gro_atoms", reinterpret_cast<PyCFunction>(read_gro_atoms), METH_VARARGS,
     package_texts::kReadGroAtomsDoc},
    {"format_rows", reinterpret_cast<PyCFunction>(format_rows), METH_VARARGS,
     package_texts::kFormatRowsDoc},
    {"tally_rows", reinterpret_cast<PyCFunction>(tally_rows), METH_VARARGS,
     package_texts::kTallyRowsDoc},
    {"tally_keys", reinterpret_cast<PyCFunction>(tally_keys), METH_VARARGS,
     package_texts::kTallyKeysDoc},
    {"count_frames", reinterpret_cast<PyCFunction>(count_frames), METH_VARARGS,
     package_texts::kCountFramesDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    package_texts::kModuleName,
    package_texts::kModuleDoc,
    0,
    kFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace brenvox

PyMODINIT_FUNC PyInit__native() {
  return PyModule_Create(&brenvox::kModuleDef);
}
