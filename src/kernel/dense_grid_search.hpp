#pragma once
// The grid search through the dense grid. Pairs are visited in the order of their hydrogens'
// cells, so that consecutive pairs read entries already in cache; each pair's accepted
// acceptors are put in neighbour order, and the pairs back in list order, before any row is
// appended.

#include <cstdint>
#include <span>

#include "kernel/acceptor_cells.hpp"
#include "kernel/bond_buffer.hpp"
#include "kernel/dense_grid.hpp"
#include "kernel/opaque_storage.hpp"
#include "kernel/search_inputs.hpp"

namespace brenvox {

// Working storage, kept by the caller from frame to frame so that a trajectory does not pay
// for fresh pages in every frame.
struct DenseSearchStorage;
using DenseSearchStoragePtr = OpaqueStorage<DenseSearchStorage>;
DenseSearchStoragePtr make_dense_search_storage();

void search_dense_grid(const FrameView& view, std::uint64_t frame, std::span<const Pair> pairs,
                       std::span<const std::uint64_t> acceptors, const AcceptorCells& cells,
                       const DenseGridShape& shape, DenseSearchStorage& storage, BondBuffer& out);

}  // namespace brenvox
