#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "kernel/fixed/cell_key.hpp"
#include "kernel/fixed/frame_collector.hpp"
#include "kernel/fixed/frame_loop.hpp"
#include "systems.hpp"

namespace brenvox {
namespace {

using testing_support::expected_grid_order;
using testing_support::Flavour;
using testing_support::random_system;
using testing_support::Record;
using testing_support::records_of;
using testing_support::sorted;
using testing_support::System;

std::vector<Record> collect(FrameCollector collector, const std::vector<double>& xyz,
                            const PairList& pairs, const AcceptorList& acceptors,
                            std::uint64_t frame = 0, std::uint64_t frame_offset = 0) {
  BondBuffer out;
  FrameScratch scratch;
  collector(xyz, frame, frame_offset, pairs, acceptors, scratch, out);
  return records_of(out);
}

// Hydrogen at atom 0, donor at atom 1, acceptors from atom 2 on.
std::vector<double> frame_of(std::initializer_list<std::array<double, 3>> atoms) {
  std::vector<double> xyz;
  for (const auto& a : atoms) xyz.insert(xyz.end(), a.begin(), a.end());
  return xyz;
}

TEST(ExhaustiveSearch, RowsFollowPairsThenAcceptorListWithDuplicates) {
  // Hydrogen 0 with donors 1 (along x) and 4 (along y); acceptor 3 bonds to both, 2 to donor 1.
  const auto xyz = frame_of({{0, 0, 0}, {1, 0, 0}, {-0.2, 0, 0}, {-0.15, -0.15, 0}, {0, 1, 0}});
  const PairList pairs{{4, 0}, {1, 0}, {4, 0}};
  const AcceptorList acceptors{3, 2, 4, 3, 0, 1};
  const std::vector<Record> expected{{7, 4, 0, 3}, {7, 4, 0, 3}, {7, 1, 0, 3}, {7, 1, 0, 2},
                                     {7, 1, 0, 3}, {7, 4, 0, 3}, {7, 4, 0, 3}};
  EXPECT_EQ(collect(collect_bonds_brute_frame, xyz, pairs, acceptors, 7), expected);
  EXPECT_EQ(sorted(collect(collect_bonds_spatial_frame, xyz, pairs, acceptors, 7)),
            sorted(expected));
}

TEST(GridSearch, OrdersByNeighbourCellThenListPosition) {
  // A2 sits in the hydrogen's own cell (neighbour 13), A1 one cell up in x (neighbour 22).
  const auto xyz = frame_of(
      {{0.125, 0.125, 0.125}, {0.025, 0.125, 0.125}, {0.3, 0.125, 0.125}, {0.2, 0.125, 0.125}});
  const PairList pairs{{1, 0}};
  const AcceptorList acceptors{2, 3};
  EXPECT_EQ(collect(collect_bonds_brute_frame, xyz, pairs, acceptors),
            (std::vector<Record>{{0, 1, 0, 2}, {0, 1, 0, 3}}));
  EXPECT_EQ(collect(collect_bonds_spatial_frame, xyz, pairs, acceptors),
            (std::vector<Record>{{0, 1, 0, 3}, {0, 1, 0, 2}}));
}

TEST(GridSearch, CellsFloorTowardsNegativeInfinity) {
  // Hydrogen x = -0.05 lies in cell -1: A2 is neighbour 16, A1 neighbour 25. Truncation would
  // have put both in one cell and kept list order.
  const auto xyz = frame_of(
      {{-0.05, 0.125, 0.125}, {-0.05, 0.025, 0.125}, {0.0, 0.3, 0.125}, {-0.1, 0.3, 0.125}});
  EXPECT_EQ(collect(collect_bonds_spatial_frame, xyz, {{1, 0}}, {2, 3}),
            (std::vector<Record>{{0, 1, 0, 3}, {0, 1, 0, 2}}));
}

TEST(GridSearch, FindsBondsAcrossCellBoundariesAndAtSaturatedEdges) {
  const auto across = frame_of({{-0.0001, 0, 0}, {-1, 0, 0}, {0.2498, 0, 0}, {0.25, 0, 0}});
  // 0.2498 is in the next cell and bonds; an acceptor exactly 0.25 away does not.
  EXPECT_EQ(collect(collect_bonds_spatial_frame, across, {{1, 0}}, {2, 3}),
            (std::vector<Record>{{0, 1, 0, 2}}));
  const double far = 1e10;
  const auto saturated = frame_of({{far, 0, 0}, {far - 1, 0, 0}, {far + 0.1, 0, 0}});
  EXPECT_EQ(collect(collect_bonds_spatial_frame, saturated, {{1, 0}}, {2}),
            (std::vector<Record>{{0, 1, 0, 2}}));
  EXPECT_EQ(collect(collect_bonds_brute_frame, saturated, {{1, 0}}, {2}),
            (std::vector<Record>{{0, 1, 0, 2}}));
}

class GridAgreesWithExhaustive : public testing::TestWithParam<std::tuple<Flavour, std::uint64_t>> {
};

TEST_P(GridAgreesWithExhaustive, SameRowsInGridOrder) {
  const auto [flavour, seed] = GetParam();
  const System s = random_system(seed, flavour);
  for (std::uint64_t frame = 0; frame < s.n_frames; ++frame) {
    const std::uint64_t offset = frame * s.n_atoms * 3;
    BondBuffer brute, grid;
    FrameScratch scratch;
    collect_bonds_brute_frame(s.xyz, frame, offset, s.inputs.pairs, s.inputs.acceptors, scratch,
                              brute);
    collect_bonds_spatial_frame(s.xyz, frame, offset, s.inputs.pairs, s.inputs.acceptors, scratch,
                                grid);
    ASSERT_EQ(sorted(records_of(grid)), sorted(records_of(brute)));
    ASSERT_EQ(records_of(grid), expected_grid_order(s, frame));
  }
}

INSTANTIATE_TEST_SUITE_P(RandomSystems, GridAgreesWithExhaustive,
                         testing::Combine(testing::Values(Flavour::Clustered,
                                                          Flavour::OnCellBoundaries,
                                                          Flavour::Sparse, Flavour::Pathological),
                                          testing::Range<std::uint64_t>(0, 60)));

TEST(SerialDrivers, FramesInAscendingOrderWhateverTheCollector) {
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    const System s = random_system(seed, Flavour::Clustered, 5);
    for (FrameCollector collector : {collect_bonds_brute_frame, collect_bonds_spatial_frame}) {
      BondBuffer all;
      FrameScratch scratch;
      collect_frame_range(collector, s.xyz, 0, s.n_frames, s.n_atoms, s.inputs, scratch, all);
      std::vector<Record> expected;
      for (std::uint64_t f = 0; f < s.n_frames; ++f) {
        const auto rows =
            collect(collector, s.xyz, s.inputs.pairs, s.inputs.acceptors, f, f * s.n_atoms * 3);
        expected.insert(expected.end(), rows.begin(), rows.end());
      }
      EXPECT_EQ(records_of(all), expected);
    }
  }
}

TEST(ChooseFrameCollector, GridFromTheThresholdOnAndOnOverflow) {
  EXPECT_EQ(choose_frame_collector(1, 99999), collect_bonds_brute_frame);
  EXPECT_EQ(choose_frame_collector(100, 1000), collect_bonds_spatial_frame);
  EXPECT_EQ(choose_frame_collector(3, 40000), collect_bonds_spatial_frame);
  EXPECT_EQ(choose_frame_collector(0, UINT64_MAX), collect_bonds_brute_frame);
  EXPECT_EQ(choose_frame_collector(std::uint64_t{1} << 32, std::uint64_t{1} << 32),
            collect_bonds_spatial_frame);
}

}  // namespace
}  // namespace brenvox
