#pragma once
// Conversion of bound arguments into native values, one parameter at a time.

#include <Python.h>

#include <cstdint>

#include "boundary/py_error.hpp"
#include "engine_module/coordinate_array.hpp"
#include "kernel/fixed/search_inputs.hpp"

namespace brenvox {

PyResult<CoordinateArray> extract_coordinate_array(PyObject* object);
PyResult<std::uint64_t> extract_u64(PyObject* object);
PyResult<PairList> extract_pair_list(PyObject* object);
PyResult<AcceptorList> extract_acceptor_list(PyObject* object);

// The arguments that all three functions share, converted in parameter order.
struct SearchArguments {
  CoordinateArray xyz_flat;
  std::uint64_t n_frames;
  std::uint64_t n_atoms;
  PairList donor_h_pairs;
  AcceptorList acceptor_indices;
};

// The parameters that all three functions share, first in each.
inline constexpr std::size_t kSharedParameters = 5;

// `slots` holds the first kSharedParameters bound arguments, in parameter order.
PyResult<SearchArguments> convert_search_arguments(PyObject* const* slots);

}  // namespace brenvox
