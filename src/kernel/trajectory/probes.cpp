#include "kernel/trajectory/probes.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "kernel/trajectory/atoms.hpp"

namespace brenvox {

// A short raw offset is its own minimum image: its fractional coordinates all round to zero.
void donor_offset(const PeriodicBox* box, const double* d, const double* h, double w[3]) {
  const double dh[3] = {d[0] - h[0], d[1] - h[1], d[2] - h[2]};
  const double r2 = (dh[0] * dh[0] + dh[1] * dh[1]) + dh[2] * dh[2];
  if (box == nullptr || r2 < 0.16 * box->min_width * box->min_width) {
    std::memcpy(w, dh, sizeof dh);
  } else {
    minimum_image(*box, dh, w);
  }
}

namespace {

double squared_length(const double w[3]) {
  return (w[0] * w[0] + w[1] * w[1]) + w[2] * w[2];
}

// The probe of pair i, or false when it cannot bond.
template <typename T>
bool make_probe(const TrajectorySearch& s, const T* coords, const PeriodicBox* box,
                const TrajectoryGrid& g, std::size_t i, Probe& p) {
  double d[3], h[3];
  load_atom(coords, s.pair_atoms[2 * i], d);
  load_atom(coords, s.pair_atoms[2 * i + 1], h);
  if (!is_finite(d) || !is_finite(h)) return false;
  donor_offset(box, d, h, p.w);
  const double s2 = squared_length(p.w);
  if (!(s2 <= s.criterion.donor_hydrogen_squared)) return false;
  std::memcpy(p.hydrogen, h, sizeof h);
  p.pair_position = static_cast<std::uint32_t>(i);
  double grid[3] = {h[0], h[1], h[2]};
  if (box != nullptr) {
    double rest[3];
    wrap(*box, h, p.lattice, rest);
    cartesian(*box, rest, grid);
  } else {
    p.lattice[0] = p.lattice[1] = p.lattice[2] = 0.0;
  }
  // The cells are those around the reach's point beside the hydrogen.
  if (s.reach.anchor != ProbeReach::Anchor::Hydrogen) {
    for (int k = 0; k < 3; ++k) grid[k] += s.reach.factor * p.w[k];
  }
  return cell_near_grid(g, grid, p.cell);
}

}  // namespace

template <typename T>
void donor_hydrogen_lengths(const TrajectorySearch& s, const T* coords, const PeriodicBox* box,
                            double& shortest, double& longest) {
  double low = std::numeric_limits<double>::infinity(), high = 0.0;  // squared
  for (std::size_t i = 0; i < s.pair_atoms.size() / 2; ++i) {
    double d[3], h[3], w[3];
    load_atom(coords, s.pair_atoms[2 * i], d);
    load_atom(coords, s.pair_atoms[2 * i + 1], h);
    if (!is_finite(d) || !is_finite(h)) continue;
    donor_offset(box, d, h, w);
    const double s2 = squared_length(w);
    low = std::fmin(low, s2);
    high = std::fmax(high, s2);
  }
  shortest = std::isinf(low) ? 0.0 : std::sqrt(low);
  longest = std::sqrt(high);
}

template void donor_hydrogen_lengths(const TrajectorySearch&, const float*, const PeriodicBox*,
                                     double&, double&);
template void donor_hydrogen_lengths(const TrajectorySearch&, const double*, const PeriodicBox*,
                                     double&, double&);

// Probes are large: they stay where they are made, and only their positions are sorted.
template <typename T>
void make_probes(const TrajectorySearch& s, const T* coords, const PeriodicBox* box,
                 const TrajectoryGrid& g, TrajectoryProbes& out) {
  const std::size_t n_pairs = s.pair_atoms.size() / 2;
  if (out.probes.size() < n_pairs) out.probes.resize(n_pairs);
  out.band_cell.resize(n_pairs);
  out.by_cell.reset(g.n_band_cells);
  std::size_t n = 0;
  constexpr std::size_t kAhead = 8;  // pairs name atoms in no particular order
  for (std::size_t i = 0; i < n_pairs; ++i) {
    if (i + kAhead < n_pairs) {
      __builtin_prefetch(coords + 3 * s.pair_atoms[2 * (i + kAhead)]);
      __builtin_prefetch(coords + 3 * s.pair_atoms[2 * (i + kAhead) + 1]);
    }
    Probe& p = out.probes[n];
    if (!make_probe(s, coords, box, g, i, p)) continue;
    out.band_cell[n] =
        g.band_cell(std::clamp<std::int64_t>(p.cell[0], 0, g.n[0] - 1), p.cell[1] + 1,
                    std::clamp<std::int64_t>(p.cell[2], 0, g.n[2] - 1));
    out.by_cell.count(out.band_cell[n]);
    ++n;
  }
  out.visits.resize(out.by_cell.finish_counting());
  for (std::uint32_t k = 0; k < n; ++k) {
    out.visits[out.by_cell.place(out.band_cell[k])] = k;
  }
}

template void make_probes(const TrajectorySearch&, const float*, const PeriodicBox*,
                          const TrajectoryGrid&, TrajectoryProbes&);
template void make_probes(const TrajectorySearch&, const double*, const PeriodicBox*,
                          const TrajectoryGrid&, TrajectoryProbes&);

}  // namespace brenvox
