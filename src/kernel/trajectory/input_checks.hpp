#pragma once
// The checks of a trajectory search's inputs, in the order the entry makes them: the settings,
// the sizes the search can number, the atom indices and the boxes. Each returns the first
// problem it finds, with the message the caller sees.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kernel/search_error.hpp"
#include "kernel/trajectory/periodic_box.hpp"

namespace brenvox {

// A positive finite distance cut-off, an angle cut-off within 0 ... 180 degrees, and at least
// one worker.
SearchStatus check_search_settings(double distance_cutoff, double angle_cutoff,
                                   std::int64_t n_threads);

// Images carry their acceptor's list position and grid entries their index in 32 bits, and
// rows hold uint32 frame and atom indices.
SearchStatus check_search_limits(std::uint64_t n_frames, std::uint64_t n_atoms,
                                 std::uint64_t n_pairs, std::uint64_t n_acceptors);

// An IndexError naming the first index outside 0 ... n_atoms - 1, pairs first; pair_atoms holds
// donor, hydrogen, donor, ...
SearchStatus check_indices_in_range(std::span<const std::int64_t> pair_atoms,
                                    std::span<const std::int64_t> acceptors, std::uint64_t n_atoms);

// The boxes of `rows` (n_boxes × 3 × 3 values), every one finite, not flat, and wide enough
// that at most one image of an acceptor can be within the cut-off of a hydrogen.
SearchResult<std::vector<PeriodicBox>> make_search_boxes(const double* rows, std::uint64_t n_boxes,
                                                         double distance_cutoff);

// Why a frame cannot be searched: its D–H lengths up to `longest` put acceptors up to `extent`
// from a hydrogen, not below half the box's smallest width.
std::string reach_refusal(std::uint64_t frame, double longest, double extent, double min_width);

}  // namespace brenvox
