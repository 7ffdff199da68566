// Each grid layout on its own: the dense grid's band cells, and the rows of both layouts in the
// grid order.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "kernel/fixed/acceptor_cells.hpp"
#include "kernel/fixed/dense_grid.hpp"
#include "kernel/fixed/dense_grid_search.hpp"
#include "kernel/fixed/sparse_grid_search.hpp"
#include "systems.hpp"

namespace brenvox {
namespace {

using testing_support::expected_grid_order;
using testing_support::Flavour;
using testing_support::random_system;
using testing_support::Record;
using testing_support::records_of;
using testing_support::System;

AcceptorCells cells_of(const System& s, std::uint64_t frame) {
  AcceptorCells cells;
  compute_acceptor_cells(FrameView(s.xyz, frame * s.n_atoms * 3), s.inputs.acceptors, cells);
  return cells;
}

using FlavourAndSeed = std::tuple<Flavour, std::uint64_t>;

// The random one-frame systems whose acceptors can have a dense grid: the others have no layout
// to check.
std::vector<FlavourAndSeed> systems_with_dense_grid() {
  std::vector<FlavourAndSeed> kept;
  for (const Flavour flavour :
       {Flavour::Clustered, Flavour::OnCellBoundaries, Flavour::Pathological}) {
    for (std::uint64_t seed = 0; seed < 30; ++seed) {
      if (plan_dense_grid(cells_of(random_system(seed, flavour, 1), 0))) {
        kept.emplace_back(flavour, seed);
      }
    }
  }
  return kept;
}

// The filter must leave systems of every flavour, or the layout test would lose them unseen.
TEST(DenseGridLayoutSystems, EveryFlavourKeepsSystemsWithADenseGrid) {
  const std::vector<FlavourAndSeed> kept = systems_with_dense_grid();
  for (const Flavour flavour :
       {Flavour::Clustered, Flavour::OnCellBoundaries, Flavour::Pathological}) {
    EXPECT_GT(
        std::count_if(kept.begin(), kept.end(),
                      [flavour](const FlavourAndSeed& k) { return std::get<0>(k) == flavour; }),
        0)
        << "flavour " << static_cast<int>(flavour);
  }
}

class DenseGridLayout : public testing::TestWithParam<FlavourAndSeed> {};

TEST_P(DenseGridLayout, EveryBandCellHoldsItsThreeCellsInOrder) {
  const auto [flavour, seed] = GetParam();
  const System s = random_system(seed, flavour, 1);
  const AcceptorCells cells = cells_of(s, 0);
  const std::optional<DenseGridShape> shape = plan_dense_grid(cells);
  ASSERT_TRUE(shape);
  DenseGridBuild work;
  DenseGrid grid;
  build_dense_grid(*shape, cells, s.inputs.acceptors, work, grid);

  const std::size_t n = cells.keys.size();
  ASSERT_EQ(grid.start.front(), 0u);
  ASSERT_EQ(grid.start.back(), 3 * n);
  ASSERT_EQ(grid.acceptor.size(), 3 * n);
  std::uint64_t band_cell = 0;
  for (std::int64_t x = shape->min.x; x <= shape->max.x; ++x) {
    for (std::int64_t band = std::int64_t{shape->min.z} - 1; band <= std::int64_t{shape->max.z} + 1;
         ++band) {
      for (std::int64_t y = shape->min.y; y <= shape->max.y; ++y, ++band_cell) {
        ASSERT_EQ(shape->band_cell(x, band, y), band_cell);
        // The acceptors of cells (x, y, band - 1 ... band + 1), by z and then list position.
        std::vector<std::uint32_t> expected;
        for (std::int64_t z = band - 1; z <= band + 1; ++z) {
          for (std::uint32_t i = 0; i < n; ++i) {
            const CellKey& k = cells.keys[i];
            if (k.x == x && k.y == y && k.z == z) expected.push_back(i);
          }
        }
        const std::uint32_t first = grid.start[band_cell];
        ASSERT_EQ(grid.start[band_cell + 1] - first, expected.size())
            << "band cell (" << x << ", " << band << ", " << y << ")";
        for (std::size_t j = 0; j < expected.size(); ++j) {
          const std::uint32_t e = first + static_cast<std::uint32_t>(j);
          const double* p = cells.position(expected[j]);
          ASSERT_EQ(grid.acceptor[e], s.inputs.acceptors[expected[j]]);
          // Bit-for-bit copies, NaN included.
          ASSERT_EQ(std::memcmp(&grid.x[e], &p[0], 8) | std::memcmp(&grid.y[e], &p[1], 8) |
                        std::memcmp(&grid.z[e], &p[2], 8),
                    0);
        }
      }
    }
  }
  for (std::size_t e = 3 * n; e < grid.x.size(); ++e) {
    ASSERT_TRUE(std::isinf(grid.x[e]) && std::isinf(grid.y[e]) && std::isinf(grid.z[e]));
  }
}

INSTANTIATE_TEST_SUITE_P(RandomSystems, DenseGridLayout,
                         testing::ValuesIn(systems_with_dense_grid()));

// The dense grid in each of its two visiting orders, and the sparse table.
enum class Layout { DenseInListOrder, DenseInCellOrder, Sparse };

// Appends the rows of one frame, searched through `layout`; false when the dense grid does not
// suit the frame.
bool search_with(Layout layout, const System& s, std::uint64_t frame, BondBuffer& out) {
  const AcceptorCells cells = cells_of(s, frame);
  const FrameView view(s.xyz, frame * s.n_atoms * 3);
  if (layout == Layout::Sparse) {
    SparseSearchStoragePtr sparse = make_sparse_search_storage();
    if (!s.inputs.acceptors.empty()) {
      search_sparse_grid(view, frame, s.inputs.pairs, s.inputs.acceptors, cells, *sparse, out);
    }
    return true;
  }
  const std::optional<DenseGridShape> shape = plan_dense_grid(cells);
  if (!shape) return false;
  DenseSearchStoragePtr dense = make_dense_search_storage();
  search_dense_grid(view, frame, s.inputs.pairs, s.inputs.acceptors, cells, *shape, *dense, out,
                    layout == Layout::DenseInListOrder ? UINT64_MAX : 0);
  return true;
}

const auto kAllLayouts =
    testing::Values(Layout::DenseInListOrder, Layout::DenseInCellOrder, Layout::Sparse);

class LayoutRows : public testing::TestWithParam<std::tuple<Layout, Flavour, std::uint64_t>> {};

TEST_P(LayoutRows, FollowTheGridOrder) {
  const auto [layout, flavour, seed] = GetParam();
  const System s = random_system(seed, flavour);
  for (std::uint64_t frame = 0; frame < s.n_frames; ++frame) {
    BondBuffer out;
    if (!search_with(layout, s, frame, out)) continue;
    ASSERT_EQ(records_of(out), expected_grid_order(s, frame)) << "frame " << frame;
  }
}

INSTANTIATE_TEST_SUITE_P(RandomSystems, LayoutRows,
                         testing::Combine(kAllLayouts,
                                          testing::Values(Flavour::Clustered,
                                                          Flavour::OnCellBoundaries,
                                                          Flavour::Sparse, Flavour::Pathological),
                                          testing::Range<std::uint64_t>(0, 25)));

// A compact cluster at either end of the cell range: the band cells beyond the last cell lie
// outside 32-bit cell numbers.
class SaturatedCells : public testing::TestWithParam<std::tuple<Layout, double>> {};

TEST_P(SaturatedCells, FollowTheGridOrder) {
  const auto [layout, corner] = GetParam();
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> offset(-0.6, 0.6);
  System s{1, 60, std::vector<double>(180), {}};
  for (double& v : s.xyz) v = corner + offset(rng);
  for (std::uint64_t a = 0; a < 30; ++a) {
    s.inputs.pairs.push_back({a, a + 30});
    s.inputs.acceptors.push_back(a);
  }
  BondBuffer out;
  ASSERT_TRUE(search_with(layout, s, 0, out));
  const std::vector<Record> rows = records_of(out);
  EXPECT_FALSE(rows.empty());
  EXPECT_EQ(rows, expected_grid_order(s, 0));
}

// 4 * corner lies within a cell or two of 2^31 - 1 and -2^31, and the cluster spills past both.
INSTANTIATE_TEST_SUITE_P(BothEnds, SaturatedCells,
                         testing::Combine(kAllLayouts,
                                          testing::Values(536870911.5, -536870911.75)));

// More pairs than acceptors by far, many pairs to a cell and several rows to a pair.
class ManyPairs : public testing::TestWithParam<Layout> {};

TEST_P(ManyPairs, GiveTheGridOrder) {
  // Donors 0 ... 1999 at random, hydrogen k + 2000 at 0.1 from donor k: most pairs bond.
  std::mt19937_64 rng(5);
  constexpr std::uint64_t kDonors = 2000;
  System s{1, 2 * kDonors, std::vector<double>(6 * kDonors), {}};
  std::uniform_real_distribution<double> coordinate(0.0, 2.5);
  std::normal_distribution<double> direction;
  for (std::uint64_t d = 0; d < kDonors; ++d) {
    double v[3] = {direction(rng), direction(rng), direction(rng)};
    const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    for (int axis = 0; axis < 3; ++axis) {
      s.xyz[3 * d + axis] = coordinate(rng);
      s.xyz[3 * (d + kDonors) + axis] = s.xyz[3 * d + axis] + 0.1 * v[axis] / length;
    }
  }
  std::uniform_int_distribution<std::uint64_t> donor(0, kDonors - 1);
  for (int i = 0; i < 70000; ++i) {
    const std::uint64_t d = donor(rng);
    s.inputs.pairs.push_back({d, d + kDonors});
  }
  for (std::uint64_t d = 0; d < kDonors; ++d) s.inputs.acceptors.push_back(d);
  BondBuffer out;
  ASSERT_TRUE(search_with(GetParam(), s, 0, out));
  const std::vector<Record> rows = records_of(out);
  ASSERT_GT(rows.size(), 70000u);
  ASSERT_EQ(rows, expected_grid_order(s, 0));
}

INSTANTIATE_TEST_SUITE_P(Layouts, ManyPairs, kAllLayouts);

// Hydrogens 1 nm apart, each with `bonded` acceptors in its cone and two that fail the angle,
// all within one block per run: every count of accepted entries a short-run pair can have.
class CrowdedHydrogens : public testing::TestWithParam<std::tuple<Layout, int>> {};

TEST_P(CrowdedHydrogens, GiveTheGridOrder) {
  const auto [layout, bonded] = GetParam();
  std::mt19937_64 rng(std::uint64_t(17 + bonded));
  std::uniform_real_distribution<double> unit(-1.0, 1.0), reach(0.05, 0.24);
  System s{1, 0, {}, {}};
  const auto add_atom = [&](const double p[3]) {
    s.xyz.insert(s.xyz.end(), p, p + 3);
    return s.n_atoms++;
  };
  for (int site = 0; site < 27; ++site) {
    const double h[3] = {0.55 + site % 3, 0.55 + site / 3 % 3, 0.55 + site / 9};
    const double donor[3] = {h[0], h[1], h[2] + 0.1};
    s.inputs.pairs.push_back({add_atom(donor), add_atom(h)});
    for (int k = 0; k < bonded + 2; ++k) {
      // Below the hydrogen (away from the donor) bonds; beside it the angle fails.
      const double r = reach(rng), a = unit(rng) * 0.3, b = unit(rng) * 0.3;
      const double sign = k < bonded ? -1.0 : 0.0;
      const double side = k < bonded ? 1.0 : 0.0;
      const double length = std::sqrt(a * a + b * b + 1.0);
      const double p[3] = {h[0] + r * (a + (1.0 - side)) / length, h[1] + r * b / length,
                           h[2] + r * sign / length};
      s.inputs.acceptors.push_back(add_atom(p));
    }
  }
  BondBuffer out;
  ASSERT_TRUE(search_with(layout, s, 0, out));
  const std::vector<Record> rows = records_of(out);
  ASSERT_EQ(rows.size(), std::size_t(27 * bonded));
  ASSERT_EQ(rows, expected_grid_order(s, 0));
}

INSTANTIATE_TEST_SUITE_P(Counts, CrowdedHydrogens,
                         testing::Combine(kAllLayouts, testing::Range(0, 7)));

}  // namespace
}  // namespace brenvox
