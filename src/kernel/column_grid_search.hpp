#pragma once
// The grid search for acceptors scattered over a huge box (far-flung or saturated coordinates),
// where a dense grid would be mostly empty: acceptors sorted by cell, a hash table from each
// (x, y) column to its run of entries, and the z range found by binary search. Candidates are
// visited in neighbour order, so rows need no reordering.

#include <cstdint>
#include <span>

#include "kernel/acceptor_cells.hpp"
#include "kernel/bond_buffer.hpp"
#include "kernel/search_inputs.hpp"

namespace brenvox {

void search_column_grid(const FrameView& view, std::uint64_t frame, std::span<const Pair> pairs,
                        std::span<const std::uint64_t> acceptors, const AcceptorKeys& keys,
                        BondBuffer& out);

}  // namespace brenvox
