#pragma once
// The grid search through the dense grid, whose runs give each pair's accepted acceptors in the
// rows' order. A grid that stays in cache is searched pair by pair in list order, rows appended
// at once; a larger one in the order of the pairs' cells, so that consecutive pairs
// read the same entries, and the rows put back in pair-list order afterwards.

#include <cstdint>
#include <span>

#include "kernel/bond_buffer.hpp"
#include "kernel/fixed/acceptor_cells.hpp"
#include "kernel/fixed/dense_grid.hpp"
#include "kernel/fixed/search_inputs.hpp"
#include "kernel/opaque_storage.hpp"

namespace brenvox {

// Working storage, kept by the caller from frame to frame so that a trajectory does not pay
// for fresh pages in every frame.
struct DenseSearchStorage;
using DenseSearchStoragePtr = OpaqueStorage<DenseSearchStorage>;
DenseSearchStoragePtr make_dense_search_storage();

// Grids of up to this many entries (1 MiB at 32 bytes an entry, about a core's second-level
// cache) are searched in list order. Beyond, and above all with a worker on every core, the
// cells' order measured faster.
inline constexpr std::uint64_t kListOrderEntries = std::uint64_t{1} << 15;

void search_dense_grid(const FrameView& view, std::uint64_t frame, std::span<const Pair> pairs,
                       std::span<const std::uint64_t> acceptors, const AcceptorCells& cells,
                       const DenseGridShape& shape, DenseSearchStorage& storage, BondBuffer& out,
                       std::uint64_t list_order_entries = kListOrderEntries);

}  // namespace brenvox
