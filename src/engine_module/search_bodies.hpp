#pragma once
// The bodies behind the three Python functions. Each owns the converted arguments it is given
// and releases them on every path.

#include <cstdint>

#include "boundary/py_error.hpp"
#include "engine_module/conversion.hpp"

namespace brenvox {

// Every pair against every acceptor, frame by frame: the reference result.
PyResult<PyRef> run_baker_hubbard_brute(SearchArguments arguments);

// The exhaustive or the grid search, chosen once per call from pairs × acceptors.
PyResult<PyRef> run_baker_hubbard(SearchArguments arguments);

// As run_baker_hubbard, with the frames shared out over a pool of workers built for the call.
PyResult<PyRef> run_baker_hubbard_with_threads(SearchArguments arguments, std::uint64_t n_threads);

}  // namespace brenvox
