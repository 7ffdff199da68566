#pragma once
// What one trajectory search is asked: the frames, the atoms to pair, the boxes and the
// criterion. Every stage of the search reads it.

#include <cstdint>
#include <span>

#include "kernel/trajectory/criterion.hpp"
#include "kernel/trajectory/periodic_box.hpp"
#include "kernel/trajectory/probe_reach.hpp"

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
  // Where each frame's search looks, around or beside the hydrogens; its radius is the grid's
  // cut-off, and images are entered up to radius + offset beyond the unit cell.
  ProbeReach reach{ProbeReach::Anchor::Hydrogen, distance_cutoff};
};

}  // namespace brenvox
