#pragma once
// The serial drivers: one collector over a range of frames, the collector choice, and the
// capacity hint reserved before the frame loop.

#include <cstdint>

#include "kernel/bond_buffer.hpp"
#include "kernel/fixed/frame_collector.hpp"
#include "kernel/fixed/search_inputs.hpp"

namespace brenvox {

// Pairs × acceptors (after filtering) from which the grid search pays for itself.
inline constexpr std::uint64_t SPATIAL_SEARCH_THRESHOLD = 100000;

FrameCollector choose_frame_collector(std::uint64_t n_pairs, std::uint64_t n_acceptors);

// 4 × n_frames × ⌊n_pairs / 4⌋ values, saturating. Throws InternalFailure("capacity overflow")
// when that many bytes cannot even be represented.
std::uint64_t capacity_hint_values(std::uint64_t n_frames, std::uint64_t n_pairs);

// Reserves the capacity hint, bounded by what the search can plausibly need; a reservation
// that fails is skipped, since the hint never changes the rows found.
void reserve_capacity_hint(BondBuffer& out, std::uint64_t n_frames, const SearchInputs& inputs);

// Runs `collector` on frames first ... last - 1 in ascending order, appending to `out`.
void collect_frame_range(FrameCollector collector, CoordView xyz, std::uint64_t first,
                         std::uint64_t last, std::uint64_t n_atoms, const SearchInputs& inputs,
                         FrameScratch& scratch, BondBuffer& out);

// The serial search over all frames: capacity hint, then every frame with `collector`.
BondBuffer run_kernel(FrameCollector collector, CoordView xyz, std::uint64_t n_frames,
                      std::uint64_t n_atoms, const SearchInputs& inputs);

}  // namespace brenvox
