#pragma once
// The arrays of one find_hbonds call: their dtype, layout and shape checked, and the atom
// indices copied out of the caller's memory.

#include <Python.h>

#include <cstdint>
#include <memory>
#include <span>

#include "boundary/numpy_headers.hpp"
#include "boundary/py_error.hpp"
#include "package_module/pinned_memory.hpp"

namespace brenvox {

// Borrowed from the call's arguments.
struct SearchArrays {
  PyArrayObject* xyz;        // float32 or float64, (n_frames, n_atoms, 3)
  PyArrayObject* pairs;      // int64, (n_pairs, 2)
  PyArrayObject* acceptors;  // int64, (n_acceptors,)
  PyArrayObject* box;        // float64, (1, 3, 3) or (n_frames, 3, 3); null for no box
  std::uint64_t n_frames;
  std::uint64_t n_atoms;
  std::uint64_t n_pairs;
  std::uint64_t n_acceptors;
};

// Checks the arrays in argument order, a TypeError or ValueError for the first that does not
// fit. The coordinates are pinned first, before anything of them is read: an exporter's code
// may run there.
PyResult<SearchArrays> read_search_arrays(PyObject* xyz, PyObject* pairs, PyObject* acceptors,
                                          PyObject* box, PinnedMemory& pinned);

// The indices of a checked int64 array, copied, since the search must not read the caller's
// array: another thread may change or free it while the lock is released. The copy is what is
// checked, in the same pass.
struct IndexCopy {
  std::unique_ptr<std::int64_t[]> values;
  std::size_t size;
  bool in_range;  // every index in 0 ... n_atoms - 1

  std::span<const std::int64_t> span() const { return {values.get(), size}; }
};

IndexCopy copy_indices(PyArrayObject* array, std::uint64_t n_atoms);

}  // namespace brenvox
