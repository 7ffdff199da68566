#pragma once

#include <cstdint>
#include <span>

#include "kernel/bond_buffer.hpp"
#include "kernel/search_inputs.hpp"

namespace brenvox {

// Appends the bonds of one frame to `out`, in the collector's own order.
using FrameCollector = void (*)(CoordView xyz, std::uint64_t frame, std::uint64_t frame_offset,
                                std::span<const Pair> pairs,
                                std::span<const std::uint64_t> acceptors, BondBuffer& out);

// Every pair against every acceptor; rows by pair, then by acceptor-list position.
void collect_bonds_brute_frame(CoordView xyz, std::uint64_t frame, std::uint64_t frame_offset,
                               std::span<const Pair> pairs,
                               std::span<const std::uint64_t> acceptors, BondBuffer& out);

// Each pair against the acceptors in the 27 grid cells (edge 0.25) around its hydrogen; rows by
// pair, then by neighbour cell (dx, then dy, then dz, each -1, 0, +1), then by list position.
void collect_bonds_spatial_frame(CoordView xyz, std::uint64_t frame, std::uint64_t frame_offset,
                                 std::span<const Pair> pairs,
                                 std::span<const std::uint64_t> acceptors, BondBuffer& out);

// The grid search keeps its working storage on the calling thread from one frame to the next;
// this frees it. Frame loops call it when they are done.
void release_spatial_search_storage() noexcept;

}  // namespace brenvox
