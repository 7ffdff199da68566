#pragma once
// Conversion of bound arguments into native values, one parameter at a time.

#include <Python.h>

#include <cstdint>

#include "coordinate_array.hpp"
#include "errors.hpp"
#include "kernel/search_inputs.hpp"

namespace brenvox {

PyOutcome<CoordinateArray> extract_coordinate_array(PyObject* object);
PyOutcome<std::uint64_t> extract_u64(PyObject* object);
PyOutcome<PairList> extract_pair_list(PyObject* object);
PyOutcome<AcceptorList> extract_acceptor_list(PyObject* object);

// Names the parameter in an exact TypeError ("argument 'name': ..."), keeping its __cause__;
// any other exception passes through unchanged.
ErrorValue argument_extraction_error(const char* name, ErrorValue error);

// The arguments that all three functions share, converted in parameter order.
struct SearchArguments {
  CoordinateArray xyz_flat;
  std::uint64_t n_frames;
  std::uint64_t n_atoms;
  PairList donor_h_pairs;
  AcceptorList acceptor_indices;
};

// `slots` holds the first five bound arguments, in parameter order.
PyOutcome<SearchArguments> convert_search_arguments(PyObject* const* slots);

}  // namespace brenvox
