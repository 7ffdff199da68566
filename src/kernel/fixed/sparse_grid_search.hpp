#pragma once
// The grid search through a sparse table, for acceptors scattered over a huge box (far-flung or
// saturated coordinates) where a dense grid would be mostly empty: acceptors sorted by cell, a
// hash table from each (x, y) column of cells to its run of entries, and the z range found by
// binary search. Candidates are visited in neighbour order, so rows need no reordering.

#include <cstdint>
#include <span>

#include "kernel/bond_buffer.hpp"
#include "kernel/fixed/acceptor_cells.hpp"
#include "kernel/fixed/search_inputs.hpp"
#include "kernel/opaque_storage.hpp"

namespace brenvox {

// Working storage, kept by the caller from frame to frame.
struct SparseSearchStorage;
using SparseSearchStoragePtr = OpaqueStorage<SparseSearchStorage>;
SparseSearchStoragePtr make_sparse_search_storage();

void search_sparse_grid(const FrameView& view, std::uint64_t frame, std::span<const Pair> pairs,
                        std::span<const std::uint64_t> acceptors, const AcceptorCells& cells,
                        SparseSearchStorage& storage, BondBuffer& out);

}  // namespace brenvox
