#pragma once
// The donor–hydrogen pairs of a frame as the trajectory search visits them: each hydrogen
// wrapped as the acceptors were, and the pairs ordered by the band cell of their hydrogen.

#include <cstdint>
#include <vector>

#include "kernel/bucket_starts.hpp"
#include "kernel/trajectory/grid.hpp"
#include "kernel/trajectory/periodic_box.hpp"
#include "kernel/trajectory/search_parameters.hpp"

namespace brenvox {

struct Probe {
  double hydrogen[3];
  double position[3];  // the hydrogen's place in the grid: wrapped when periodic
  double lattice[3];   // of the hydrogen's own wrap
  double w[3];         // donor − hydrogen, the minimum image when periodic
  std::int32_t cell[3];
  std::uint32_t pair_position;
};

// The probes of the pairs that can bond, in list order, and `visits`, their positions in the
// order of their hydrogen's band cell, so that consecutive probes read cached entries.
struct TrajectoryProbes {
  std::vector<Probe> probes;  // only the first `prepared` are current
  std::size_t prepared = 0;
  std::vector<std::uint32_t> visits;
  std::vector<std::uint64_t> band_cell;
  BucketStarts by_cell;
};

// Leaves out the pairs that cannot bond: an atom is not finite, the hydrogen lies beyond the
// cells next to the grid, or D–H is longer than the criterion allows.
// d − h, as the minimum image when periodic.
void donor_offset(const PeriodicBox* box, const double* d, const double* h, double w[3]);

struct DonorHydrogenLengths {
  double shortest = 0.0, longest = 0.0;  // both zero without pairs
};

// The probes of the pairs that can bond, before the grid is known: the atoms are finite and
// D–H is no longer than the criterion allows. Returns the range of their D–H lengths.
template <typename T>
DonorHydrogenLengths prepare_probes(const TrajectorySearch& s, const T* coords,
                                    const PeriodicBox* box, TrajectoryProbes& out);

// Their cells in the grid, beside the hydrogen as s.reach says, and the visiting order; those
// beyond the cells next to the grid are left out.
void place_probes(const TrajectorySearch& s, const TrajectoryGrid& g, TrajectoryProbes& out);

// Both steps, for a grid built already.
template <typename T>
void make_probes(const TrajectorySearch& s, const T* coords, const PeriodicBox* box,
                 const TrajectoryGrid& g, TrajectoryProbes& out);

}  // namespace brenvox
