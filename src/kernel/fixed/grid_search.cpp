// The grid search. Records come pair by pair, and within a pair in the order of the
// acceptor's neighbour cell (dx, then dy, then dz) and then its list position. Two layouts
// produce exactly those records: the dense grid for compact systems, whose runs hold the
// candidates in that order already, and the sparse table for acceptors scattered over a huge
// box.
//
// Neighbour cells are numbered in 64-bit arithmetic rather than with 32-bit wrap-around: a cell
// reached only through the wrap lies at the opposite end of an axis, more than 5e8 units away
// (or at infinity), so none of its acceptors can pass the distance test and no row changes.

#include "kernel/fixed/acceptor_cells.hpp"
#include "kernel/fixed/dense_grid_search.hpp"
#include "kernel/fixed/frame_collector.hpp"
#include "kernel/fixed/sparse_grid_search.hpp"

namespace brenvox {

void collect_bonds_spatial_frame(CoordView xyz, std::uint64_t frame, std::uint64_t frame_offset,
                                 std::span<const Pair> pairs,
                                 std::span<const std::uint64_t> acceptors, FrameScratch& scratch,
                                 BondBuffer& out) {
  if (pairs.empty() || acceptors.empty()) return;
  const FrameView view(xyz, frame_offset);
  compute_acceptor_cells(view, acceptors, scratch.acceptor_cells);
  // Pair positions are kept in 32 bits by the dense search.
  const std::optional<DenseGridShape> dense =
      pairs.size() < UINT32_MAX ? plan_dense_grid(scratch.acceptor_cells) : std::nullopt;
  if (dense) {
    if (!scratch.dense) scratch.dense = make_dense_search_storage();
    search_dense_grid(view, frame, pairs, acceptors, scratch.acceptor_cells, *dense, *scratch.dense,
                      out);
  } else {
    if (!scratch.sparse) scratch.sparse = make_sparse_search_storage();
    search_sparse_grid(view, frame, pairs, acceptors, scratch.acceptor_cells, *scratch.sparse, out);
  }
}

}  // namespace brenvox
