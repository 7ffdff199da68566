#pragma once
// The checks of a fixed search's inputs, once per call: the coordinates' length, the indices
// dropped or kept, and whether every row the search can find fits in uint32.

#include <cstdint>

#include "kernel/fixed/search_inputs.hpp"
#include "kernel/search_error.hpp"

namespace brenvox {

// Checks the coordinate length, then drops out-of-range indices in place. Both lists are
// consumed; on failure they are gone too.
SearchResult<SearchInputs> validate_inputs(std::uint64_t xyz_length, std::uint64_t n_frames,
                                           std::uint64_t n_atoms, PairList pairs,
                                           AcceptorList acceptors);

// Result rows hold uint32 indices. When some row of this search could carry a frame or atom
// index of 2^32 or more, fails with the OverflowError that the call must raise instead.
SearchStatus check_rows_representable(std::uint64_t n_frames, const SearchInputs& inputs);

}  // namespace brenvox
