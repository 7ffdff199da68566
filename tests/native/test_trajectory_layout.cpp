// The trajectory search's grid and probe order on their own, for open, rectangular and
// triclinic frames.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "kernel/trajectory/grid.hpp"
#include "kernel/trajectory/probes.hpp"
#include "trajectories.hpp"

namespace brenvox {
namespace {

using testing_support::random_trajectory;
using testing_support::search_of;
using testing_support::Trajectory;

enum class Box { Open, Rectangular, Triclinic };

struct Frame {
  Trajectory t;
  TrajectorySearch s;
  const double* coords;
  const PeriodicBox* box;
};

Frame frame_of(Box kind, std::uint64_t seed) {
  Frame f{random_trajectory(seed, kind == Box::Triclinic, 1), {}, nullptr, nullptr};
  // Some atoms that can never bond.
  for (std::size_t i = 5; i < f.t.xyz.size(); i += 41) f.t.xyz[i] = seed % 2 ? NAN : INFINITY;
  f.s = search_of(f.t, 0.25, 120.0, kind != Box::Open);
  f.coords = f.t.xyz.data();
  f.box = kind == Box::Open ? nullptr : &f.t.boxes[0];
  return f;
}

// The cell of a grid position on one axis, as the entries must be placed.
std::int64_t cell_along(const TrajectoryGrid& g, const double* p, int k) {
  const double t = (p[k] - g.origin[k]) * g.inverse_edge;
  return t >= 0.0 ? std::min(std::int64_t(t), g.n[k] - 1) : 0;
}

// One frame's grid, built before each test.
class TrajectoryLayout : public testing::TestWithParam<std::tuple<Box, std::uint64_t>> {
 protected:
  void SetUp() override {
    const auto [kind, seed] = GetParam();
    f = frame_of(kind, seed);
    ASSERT_TRUE(build_trajectory_grid(f.s, f.coords, f.box, build, g));
  }

  Frame f;
  TrajectoryGridBuild build;
  TrajectoryGrid g;
};

TEST_P(TrajectoryLayout, EveryBandCellHoldsItsImagesByYCellThenImage) {
  const std::vector<Image>& images = build.images;

  std::size_t entries = 0;
  for (std::int64_t x = 0; x < g.n[0]; ++x) {
    for (std::int64_t band = 0; band < g.n[1] + 2; ++band) {
      for (std::int64_t z = 0; z < g.n[2]; ++z) {
        std::vector<std::size_t> expected;
        for (std::int64_t y = band - 2; y <= band; ++y) {
          for (std::size_t i = 0; i < images.size(); ++i) {
            const double* p = images[i].grid;
            if (cell_along(g, p, 0) == x && cell_along(g, p, 1) == y && cell_along(g, p, 2) == z) {
              expected.push_back(i);
            }
          }
        }
        const std::uint64_t cell = g.band_cell(x, band, z);
        ASSERT_EQ(g.start.end(cell) - g.start.begin(cell), expected.size());
        for (std::size_t j = 0; j < expected.size(); ++j) {
          const std::uint32_t e = g.start.begin(cell) + static_cast<std::uint32_t>(j);
          const Image& image = images[expected[j]];
          ASSERT_EQ(g.position[e], image.position);
          ASSERT_EQ(std::memcmp(&g.x[e], &image.raw[0], 8) |
                        std::memcmp(&g.y[e], &image.raw[1], 8) |
                        std::memcmp(&g.z[e], &image.raw[2], 8),
                    0);
          if (f.box != nullptr) {
            ASSERT_EQ(g.la[e], image.lattice[0]);
            ASSERT_EQ(g.lb[e], image.lattice[1]);
            ASSERT_EQ(g.lc[e], image.lattice[2]);
          }
        }
        entries += expected.size();
      }
    }
  }
  ASSERT_EQ(entries, 3 * images.size());
  // One block past the entries can be read by any run, and accepts nothing.
  ASSERT_EQ(g.x.size(), entries + kRunBlock);
  for (std::size_t e = entries; e < g.x.size(); ++e) {
    ASSERT_TRUE(std::isinf(g.x[e]) && std::isinf(g.y[e]) && std::isinf(g.z[e]));
    if (f.box != nullptr) {
      ASSERT_EQ(g.la[e] + g.lb[e] + g.lc[e], 0.0);
    }
  }
}

TEST_P(TrajectoryLayout, ImagesAreTheLatticeTranslatesNearTheUnitCell) {
  std::vector<std::vector<std::array<double, 3>>> lattices_of(f.s.acceptors.size());
  for (const Image& image : build.images) {
    lattices_of[image.position].push_back({image.lattice[0], image.lattice[1], image.lattice[2]});
    const double* a = f.coords + 3 * f.s.acceptors[image.position];
    ASSERT_EQ(std::memcmp(image.raw, a, sizeof image.raw), 0);
    if (f.box == nullptr) {
      ASSERT_EQ(std::memcmp(image.grid, a, sizeof image.grid), 0);
      continue;
    }
    double translate[3], fractional[3];
    image_of(*f.box, a, image.lattice[0], image.lattice[1], image.lattice[2], translate);
    for (int k = 0; k < 3; ++k) ASSERT_NEAR(image.grid[k], translate[k], 1e-12);
    // Within the cut-off of the unit cell, across every pair of faces.
    fractional_coordinates(*f.box, image.grid, fractional);
    for (int k = 0; k < 3; ++k) {
      const double margin = f.s.distance_cutoff / f.box->width[k] * 1.001;
      ASSERT_GT(fractional[k], -margin);
      ASSERT_LT(fractional[k], 1.0 + margin);
    }
  }
  // Every translate that reaches within the cut-off of the unit cell is there, once.
  for (std::size_t i = 0; i < lattices_of.size(); ++i) {
    const double* a = f.coords + 3 * f.s.acceptors[i];
    std::vector<std::array<double, 3>> expected;
    if (is_finite(a) && f.box == nullptr) expected.push_back({0, 0, 0});
    if (is_finite(a) && f.box != nullptr) {
      double fractional[3];
      fractional_coordinates(*f.box, a, fractional);
      for (int ma = -1; ma <= 1; ++ma) {
        for (int mb = -1; mb <= 1; ++mb) {
          for (int mc = -1; mc <= 1; ++mc) {
            const int m[3] = {ma, mb, mc};
            std::array<double, 3> lattice;
            bool near = true;
            for (int k = 0; k < 3; ++k) {
              lattice[k] = std::floor(fractional[k]) - m[k];
              const double at = fractional[k] - lattice[k];
              const double reach = f.s.distance_cutoff / f.box->width[k];
              near = near && at > -reach && at < 1.0 + reach;
            }
            if (near) expected.push_back(lattice);
          }
        }
      }
    }
    std::vector<std::array<double, 3>> found = lattices_of[i];
    std::sort(expected.begin(), expected.end());
    std::sort(found.begin(), found.end());
    EXPECT_TRUE(std::includes(found.begin(), found.end(), expected.begin(), expected.end()))
        << "acceptor " << i;
    EXPECT_EQ(std::adjacent_find(found.begin(), found.end()), found.end()) << "acceptor " << i;
  }
}

TEST_P(TrajectoryLayout, ProbesComeByBandCellThenListOrder) {
  TrajectoryProbes probes;
  make_probes(f.s, f.coords, f.box, g, probes);

  std::vector<bool> probed(f.s.pair_atoms.size() / 2, false);
  std::uint64_t last_cell = 0;
  std::uint32_t last_pair = 0;
  for (std::size_t v = 0; v < probes.visits.size(); ++v) {
    const Probe& p = probes.probes[probes.visits[v]];
    const std::uint64_t cell =
        g.band_cell(std::clamp<std::int64_t>(p.cell[0], 0, g.n[0] - 1), p.cell[1] + 1,
                    std::clamp<std::int64_t>(p.cell[2], 0, g.n[2] - 1));
    ASSERT_TRUE(v == 0 || cell > last_cell || (cell == last_cell && p.pair_position > last_pair));
    last_cell = cell;
    last_pair = p.pair_position;
    ASSERT_FALSE(probed[p.pair_position]);
    probed[p.pair_position] = true;

    const double* d = f.coords + 3 * f.s.pair_atoms[2 * p.pair_position];
    const double* h = f.coords + 3 * f.s.pair_atoms[2 * p.pair_position + 1];
    ASSERT_EQ(std::memcmp(p.hydrogen, h, sizeof p.hydrogen), 0);
    double w[3] = {d[0] - h[0], d[1] - h[1], d[2] - h[2]};
    if (f.box != nullptr) {
      const double raw[3] = {w[0], w[1], w[2]};
      minimum_image(*f.box, raw, w);
    }
    for (int k = 0; k < 3; ++k) ASSERT_EQ(p.w[k], w[k]);
  }
  // Only pairs with an atom that is not finite are left out: every hydrogen here lies within
  // the grid's reach.
  for (std::size_t i = 0; i < probed.size(); ++i) {
    const bool finite = is_finite(f.coords + 3 * f.s.pair_atoms[2 * i]) &&
                        is_finite(f.coords + 3 * f.s.pair_atoms[2 * i + 1]);
    EXPECT_EQ(probed[i], finite) << "pair " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Frames, TrajectoryLayout,
                         testing::Combine(testing::Values(Box::Open, Box::Rectangular,
                                                          Box::Triclinic),
                                          testing::Range<std::uint64_t>(0, 6)));

}  // namespace
}  // namespace brenvox
