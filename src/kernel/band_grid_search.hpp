#pragma once
// The grid search over a dense box of cells. Every acceptor is entered three times: band cell
// (x, y, z) holds the acceptors of the cells (x, y - 1 ... y + 1, z), so the 27 cells around a
// hydrogen are three runs of consecutive entries, tested in vector lanes. Pairs are visited in
// the order of their hydrogens' cells; their rows are put back into pair-list order, and each
// pair's rows into neighbour order, before they are appended.

#include <cstdint>
#include <memory>
#include <span>

#include "kernel/acceptor_cells.hpp"
#include "kernel/bond_buffer.hpp"
#include "kernel/search_inputs.hpp"

namespace brenvox {

// Band cells for these acceptors, or 0 when their box is too sparse or too large for a dense
// grid.
std::uint64_t band_cell_count(const AcceptorKeys& keys, std::size_t n_acceptors,
                              std::size_t n_pairs);

// Working storage, kept by the caller from frame to frame so that a trajectory does not pay
// for fresh pages in every frame.
struct BandSearchStorage;
struct BandSearchStorageDeleter {
  void operator()(BandSearchStorage* storage) const noexcept;
};
using BandSearchStoragePtr = std::unique_ptr<BandSearchStorage, BandSearchStorageDeleter>;
BandSearchStoragePtr make_band_search_storage();

void search_band_grid(const FrameView& view, std::uint64_t frame, std::span<const Pair> pairs,
                      std::span<const std::uint64_t> acceptors, const AcceptorKeys& keys,
                      std::uint64_t n_cells, BandSearchStorage& storage, BondBuffer& out);

}  // namespace brenvox
