#pragma once
// The per-frame searches of the fixed criterion: the signature they share, and the storage
// they keep from frame to frame.

#include <cstdint>
#include <span>

#include "kernel/bond_buffer.hpp"
#include "kernel/fixed/acceptor_cells.hpp"
#include "kernel/fixed/search_inputs.hpp"
#include "kernel/opaque_storage.hpp"

namespace brenvox {

// Working storage that a frame loop owns and lends to its collector frame after frame, so that
// a trajectory does not pay for fresh grid pages in every frame. Each worker owns its own: no
// thread-local storage, whose lazy allocation the C library cannot fail gracefully. Each grid
// search makes its own storage at its first frame; here it is opaque.
struct DenseSearchStorage;
struct SparseSearchStorage;
struct FrameScratch {
  AcceptorCells acceptor_cells;
  OpaqueStorage<DenseSearchStorage> dense;
  OpaqueStorage<SparseSearchStorage> sparse;
};

// Appends the bonds of one frame to `out`, in the collector's own order.
using FrameCollector = void (*)(CoordView xyz, std::uint64_t frame, std::uint64_t frame_offset,
                                std::span<const Pair> pairs,
                                std::span<const std::uint64_t> acceptors, FrameScratch& scratch,
                                BondBuffer& out);

// Every pair against every acceptor; rows by pair, then by acceptor-list position.
void collect_bonds_brute_frame(CoordView xyz, std::uint64_t frame, std::uint64_t frame_offset,
                               std::span<const Pair> pairs,
                               std::span<const std::uint64_t> acceptors, FrameScratch& scratch,
                               BondBuffer& out);

// Each pair against the acceptors in the 27 grid cells (edge 0.25) around its hydrogen; rows by
// pair, then by neighbour cell (dx, then dy, then dz, each -1, 0, +1), then by list position.
void collect_bonds_spatial_frame(CoordView xyz, std::uint64_t frame, std::uint64_t frame_offset,
                                 std::span<const Pair> pairs,
                                 std::span<const std::uint64_t> acceptors, FrameScratch& scratch,
                                 BondBuffer& out);

}  // namespace brenvox
