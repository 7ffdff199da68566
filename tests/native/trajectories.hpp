#pragma once
// Random trajectories with periodic boxes, shared by the native tests of the trajectory search.

#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "kernel/trajectory/criterion.hpp"
#include "kernel/trajectory/periodic_box.hpp"
#include "kernel/trajectory/search.hpp"

namespace brenvox::testing_support {

struct Trajectory {
  std::uint64_t n_frames, n_atoms;
  std::vector<double> xyz;
  std::vector<std::int64_t> pair_atoms, acceptors;
  std::vector<PeriodicBox> boxes;
};

// Donor–hydrogen pairs 0.1 apart, spread over three box widths in every frame; every donor is
// an acceptor, and about a tenth are listed twice.
inline Trajectory random_trajectory(std::uint64_t seed, bool triclinic,
                                    std::uint64_t n_frames = 3) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Trajectory t{n_frames, 2 * (20 + rng() % 80), {}, {}, {}, {}};
  for (std::uint64_t f = 0; f < n_frames; ++f) {
    const double l[3] = {0.9 + unit(rng), 0.9 + unit(rng), 0.9 + unit(rng)};
    const double s = triclinic ? 0.45 : 0.0;
    BoxProblem problem{};
    const double rows[9] = {l[0],
                            0,
                            0,
                            s * l[0] * (unit(rng) - 0.5),
                            l[1],
                            0,
                            s * l[0] * (unit(rng) - 0.5),
                            s * l[1] * (unit(rng) - 0.5),
                            l[2]};
    t.boxes.push_back(*make_periodic_box(rows, problem));
    // Donors anywhere within three boxes of the origin, hydrogens 0.1 away in any direction.
    for (std::uint64_t i = 0; i < t.n_atoms; i += 2) {
      double d[3], dir[3], norm = 0;
      for (int k = 0; k < 3; ++k) {
        d[k] = (unit(rng) * 3.0 - 1.0) * l[k];
        dir[k] = unit(rng) - 0.5;
        norm += dir[k] * dir[k];
      }
      for (int k = 0; k < 3; ++k) t.xyz.push_back(d[k]);
      for (int k = 0; k < 3; ++k) t.xyz.push_back(d[k] + 0.1 * dir[k] / std::sqrt(norm));
    }
  }
  for (std::uint64_t i = 0; i < t.n_atoms; i += 2) {
    t.pair_atoms.insert(t.pair_atoms.end(), {std::int64_t(i), std::int64_t(i + 1)});
    t.acceptors.push_back(std::int64_t(i));
    if (rng() % 10 == 0) t.acceptors.push_back(std::int64_t(i));  // duplicates give duplicate rows
  }
  return t;
}

inline TrajectorySearch search_of(const Trajectory& t, double cutoff, double angle, bool periodic) {
  return TrajectorySearch{
      t.xyz.data(),
      false,
      t.n_frames,
      t.n_atoms,
      t.pair_atoms,
      t.acceptors,
      periodic ? std::span<const PeriodicBox>(t.boxes) : std::span<const PeriodicBox>(),
      cutoff,
      make_hbond_criterion(cutoff, angle)};
}

}  // namespace brenvox::testing_support
