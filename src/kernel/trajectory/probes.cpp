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

// The probe of pair i, but for its cell; false when it cannot bond.
template <typename T>
bool prepare_probe(const TrajectorySearch& s, const T* coords, const PeriodicBox* box,
                   std::size_t i, Probe& p, double& s2) {
  double d[3], h[3];
  load_atom(coords, s.pair_atoms[2 * i], d);
  load_atom(coords, s.pair_atoms[2 * i + 1], h);
  if (!is_finite(d) || !is_finite(h)) return false;
  donor_offset(box, d, h, p.w);
  s2 = squared_length(p.w);
  if (!(s2 <= s.criterion.donor_hydrogen_squared)) return false;
  std::memcpy(p.hydrogen, h, sizeof h);
  p.pair_position = static_cast<std::uint32_t>(i);
  if (box != nullptr) {
    double rest[3];
    wrap(*box, h, p.lattice, rest);
    cartesian(*box, rest, p.position);
  } else {
    p.lattice[0] = p.lattice[1] = p.lattice[2] = 0.0;
    std::memcpy(p.position, h, sizeof h);
  }
  return true;
}

}  // namespace

// Probes are large: they stay where they are made, and only their positions are sorted.
template <typename T>
DonorHydrogenLengths prepare_probes(const TrajectorySearch& s, const T* coords,
                                    const PeriodicBox* box, TrajectoryProbes& out) {
  const std::size_t n_pairs = s.pair_atoms.size() / 2;
  if (out.probes.size() < n_pairs) out.probes.resize(n_pairs);
  double low = std::numeric_limits<double>::infinity(), high = 0.0;  // squared
  std::size_t n = 0;
  constexpr std::size_t kAhead = 8;  // pairs name atoms in no particular order
  for (std::size_t i = 0; i < n_pairs; ++i) {
    if (i + kAhead < n_pairs) {
      __builtin_prefetch(coords + 3 * s.pair_atoms[2 * (i + kAhead)]);
      __builtin_prefetch(coords + 3 * s.pair_atoms[2 * (i + kAhead) + 1]);
    }
    double s2;
    if (!prepare_probe(s, coords, box, i, out.probes[n], s2)) continue;
    low = std::fmin(low, s2);
    high = std::fmax(high, s2);
    ++n;
  }
  out.prepared = n;
  if (n == 0) return {};
  return {std::sqrt(low), std::sqrt(high)};
}

void place_probes(const TrajectorySearch& s, const TrajectoryGrid& g, TrajectoryProbes& out) {
  const std::size_t n = out.prepared;
  out.band_cell.resize(n);
  out.by_cell.reset(g.n_band_cells);
  constexpr std::uint64_t kLeftOut = ~std::uint64_t{0};
  const bool beside = s.reach.anchor != ProbeReach::Anchor::Hydrogen;
  for (std::size_t k = 0; k < n; ++k) {
    Probe& p = out.probes[k];
    double at[3] = {p.position[0], p.position[1], p.position[2]};
    if (beside) {
      for (int j = 0; j < 3; ++j) at[j] += s.reach.factor * p.w[j];
    }
    if (!cell_near_grid(g, at, p.cell)) {
      out.band_cell[k] = kLeftOut;
      continue;
    }
    out.band_cell[k] =
        g.band_cell(std::clamp<std::int64_t>(p.cell[0], 0, g.n[0] - 1), p.cell[1] + 1,
                    std::clamp<std::int64_t>(p.cell[2], 0, g.n[2] - 1));
    out.by_cell.count(out.band_cell[k]);
  }
  out.visits.resize(out.by_cell.finish_counting());
  for (std::uint32_t k = 0; k < n; ++k) {
    if (out.band_cell[k] != kLeftOut) out.visits[out.by_cell.place(out.band_cell[k])] = k;
  }
}

template <typename T>
void make_probes(const TrajectorySearch& s, const T* coords, const PeriodicBox* box,
                 const TrajectoryGrid& g, TrajectoryProbes& out) {
  prepare_probes(s, coords, box, out);
  place_probes(s, g, out);
}

template DonorHydrogenLengths prepare_probes(const TrajectorySearch&, const float*,
                                             const PeriodicBox*, TrajectoryProbes&);
template DonorHydrogenLengths prepare_probes(const TrajectorySearch&, const double*,
                                             const PeriodicBox*, TrajectoryProbes&);
template void make_probes(const TrajectorySearch&, const float*, const PeriodicBox*,
                          const TrajectoryGrid&, TrajectoryProbes&);
template void make_probes(const TrajectorySearch&, const double*, const PeriodicBox*,
                          const TrajectoryGrid&, TrajectoryProbes&);

}  // namespace brenvox
