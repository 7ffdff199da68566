#pragma once
// The search behind the array-native entry: float32 or float64 frames read in place, cut-offs
// chosen by the caller, and optionally a periodic box per frame (minimum-image criterion).
// Rows come by frame, then pair position, then acceptor position.

#include <cstdint>
#include <span>

#include "kernel/bond_buffer.hpp"
#include "kernel/opaque_storage.hpp"
#include "kernel/trajectory/criterion.hpp"
#include "kernel/trajectory/periodic_box.hpp"

namespace brenvox {

struct TrajectorySearch {
  const void* xyz;  // (n_frames, n_atoms, 3), frame-major
  bool single_precision;
  std::uint64_t n_frames;
  std::uint64_t n_atoms;
  // Atom indices, every one in 0 ... n_atoms - 1: pairs as donor, hydrogen, donor, ...
  std::span<const std::int64_t> pair_atoms;
  std::span<const std::int64_t> acceptors;
  std::span<const PeriodicBox> boxes;  // none, one for all frames, or one per frame
  double distance_cutoff;              // below half of every box's smallest width
  HbondCriterion criterion;
};

// Working storage of one thread, kept from frame to frame.
struct TrajectorySearchStorage;
using TrajectorySearchStoragePtr = OpaqueStorage<TrajectorySearchStorage>;
TrajectorySearchStoragePtr make_trajectory_search_storage();

// Appends the rows of frames first ... last - 1.
void collect_trajectory_frames(const TrajectorySearch& search, std::uint64_t first,
                               std::uint64_t last, TrajectorySearchStorage& storage,
                               BondBuffer& out);

// All frames on the calling thread.
BondBuffer search_trajectory(const TrajectorySearch& search);

}  // namespace brenvox
