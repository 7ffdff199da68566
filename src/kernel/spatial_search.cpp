// The grid search. Records come pair by pair, and within a pair in the order of the
// acceptor's neighbour cell (dx, then dy, then dz) and then its list position. Two layouts
// produce exactly those records: a dense band grid for compact systems, which gathers
// candidates in the fastest order and sorts each pair's few accepted acceptors afterwards, and
// a sparse column table for acceptors scattered over a huge box.
//
// Neighbour keys are formed in 64-bit arithmetic rather than with 32-bit wrap-around: a cell
// reached only through the wrap lies at the opposite end of an axis, more than 5e8 units away
// (or at infinity), so none of its acceptors can pass the distance test and no row changes.

#include "kernel/acceptor_cells.hpp"
#include "kernel/band_grid_search.hpp"
#include "kernel/column_grid_search.hpp"
#include "kernel/frame_collector.hpp"

namespace brenvox {

void collect_bonds_spatial_frame(CoordView xyz, std::uint64_t frame, std::uint64_t frame_offset,
                                 std::span<const Pair> pairs,
                                 std::span<const std::uint64_t> acceptors, FrameScratch& scratch,
                                 BondBuffer& out) {
  if (pairs.empty() || acceptors.empty()) return;
  const FrameView view(xyz, frame_offset);
  compute_acceptor_keys(view, acceptors, scratch.acceptor_keys);
  const std::uint64_t n_cells =
      band_cell_count(scratch.acceptor_keys, acceptors.size(), pairs.size());
  if (n_cells != 0) {
    if (!scratch.band) scratch.band = make_band_search_storage();
    search_band_grid(view, frame, pairs, acceptors, scratch.acceptor_keys, n_cells, *scratch.band,
                     out);
  } else {
    search_column_grid(view, frame, pairs, acceptors, scratch.acceptor_keys, out);
  }
}

}  // namespace brenvox
