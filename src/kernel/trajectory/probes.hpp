#pragma once
// The donor–hydrogen pairs of a frame as the trajectory search visits them: each pair's centre
// (its hydrogen, or its donor when the criterion measures D···A) wrapped as the acceptors were,
// and the pairs ordered by the band cell of their centre.

#include <cstdint>
#include <vector>

#include "kernel/bucket_starts.hpp"
#include "kernel/trajectory/grid.hpp"
#include "kernel/trajectory/periodic_box.hpp"
#include "kernel/trajectory/search_parameters.hpp"

namespace brenvox {

struct Probe {
  double center[3];
  double lattice[3];  // of the centre's own wrap
  double w[3];        // the pair's other atom − its centre, the minimum image when periodic
  std::int32_t cell[3];
  std::uint32_t pair_position;
};

// The probes of the pairs that can bond, in list order, and `visits`, their positions in the
// order of their centre's band cell, so that consecutive probes read cached entries.
struct TrajectoryProbes {
  std::vector<Probe> probes;  // only the first visits.size() are current
  std::vector<std::uint32_t> visits;
  std::vector<std::uint64_t> band_cell;
  BucketStarts by_cell;
};

// Leaves out the pairs that cannot bond: an atom is not finite, the centre lies beyond the
// cells next to the grid, or D–H is longer than the criterion allows.
template <typename T>
void make_probes(const TrajectorySearch& s, const T* coords, const PeriodicBox* box,
                 const TrajectoryGrid& g, TrajectoryProbes& out);

}  // namespace brenvox
