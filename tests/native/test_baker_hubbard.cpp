#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "kernel/baker_hubbard.hpp"
#include "kernel/distance_lanes.hpp"
#include "kernel/fixed/cell_key.hpp"

namespace brenvox {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Geometry {
  const char* name;
  double donor[3];
  double acceptor[3];
  bool bond;
};

class BakerHubbardTest : public testing::TestWithParam<Geometry> {};

TEST_P(BakerHubbardTest, DecidesWithHydrogenAtOrigin) {
  const Geometry& g = GetParam();
  const double hydrogen[3] = {0.0, 0.0, 0.0};
  EXPECT_EQ(is_hydrogen_bond(g.donor, hydrogen, g.acceptor), g.bond);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, BakerHubbardTest,
    testing::Values(Geometry{"straight", {1, 0, 0}, {-0.2, 0, 0}, true},
                    Geometry{"at_cutoff", {1, 0, 0}, {-0.25, 0, 0}, false},
                    Geometry{"inside_cutoff", {1, 0, 0}, {-0.2499, 0, 0}, true},
                    Geometry{"angle_exactly_120", {1, 1, 0}, {-0.125, 0, 0.125}, false},
                    Geometry{"angle_129", {1, 1, 0}, {-0.125, 0, 0.0625}, true},
                    Geometry{"angle_90", {1, 0, 0}, {0, 0.1, 0}, false},
                    Geometry{"acceptor_on_hydrogen", {1, 0, 0}, {0, 0, 0}, false},
                    Geometry{"donor_on_hydrogen", {0, 0, 0}, {-0.1, 0, 0}, false},
                    Geometry{"nan_acceptor", {1, 0, 0}, {kNaN, 0, 0}, false},
                    Geometry{"infinite_donor", {kInf, 0, 0}, {-0.1, 0, 0}, false},
                    Geometry{"nan_donor", {kNaN, 0, 0}, {-0.1, 0, 0}, false},
                    Geometry{"infinite_acceptor", {1, 0, 0}, {-kInf, 0, 0}, false}),
    [](const testing::TestParamInfo<Geometry>& info) { return info.param.name; });

// The vector lanes decide as the scalar test: `acceptors` go one per lane.
void expect_lanes_match_scalar(const double donor[3], const double hydrogen[3],
                               const double (&acceptors)[kLanes][3]) {
  double ax[kLanes], ay[kLanes], az[kLanes];
  for (std::size_t k = 0; k < kLanes; ++k) {
    ax[k] = acceptors[k][0];
    ay[k] = acceptors[k][1];
    az[k] = acceptors[k][2];
  }
  PairLanes lanes;
  const bool pair_can_bond = prepare_pair(donor, hydrogen, lanes);
  const unsigned bonded = pair_can_bond ? lane_bits(bonded_lanes(lanes, ax, ay, az)) : 0;
  const unsigned near = lane_bits(near_lanes(broadcast(hydrogen), ax, ay, az));
  for (std::size_t k = 0; k < kLanes; ++k) {
    const double* a = acceptors[k];
    const double vx = a[0] - hydrogen[0], vy = a[1] - hydrogen[1], vz = a[2] - hydrogen[2];
    const double r2 = (vx * vx + vy * vy) + vz * vz;
    EXPECT_EQ(bool(bonded >> k & 1), is_hydrogen_bond(donor, hydrogen, a))
        << "lane " << k << ": donor " << donor[0] << " " << donor[1] << " " << donor[2]
        << ", hydrogen " << hydrogen[0] << " " << hydrogen[1] << " " << hydrogen[2] << ", acceptor "
        << a[0] << " " << a[1] << " " << a[2];
    EXPECT_EQ(bool(near >> k & 1), r2 < kCutoffSquared && r2 > 0.0) << "lane " << k;
  }
}

TEST_P(BakerHubbardTest, LanesDecideAsTheScalarTestInEveryLane) {
  const Geometry& g = GetParam();
  const double hydrogen[3] = {0.0, 0.0, 0.0};
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    double acceptors[kLanes][3] = {{-0.2, 0, 0}, {kNaN, 0, 0}, {0.3, 0, 0}, {0, 0, 0}};
    std::copy(g.acceptor, g.acceptor + 3, acceptors[lane]);
    expect_lanes_match_scalar(g.donor, hydrogen, acceptors);
  }
}

// Coordinates near the hydrogen (where decisions are close), exact cut-off distances, and raw
// bit patterns: NaN, infinities, subnormals and huge values.
double random_coordinate(std::mt19937_64& rng, double around) {
  switch (rng() % 4) {
    case 0: return std::bit_cast<double>(rng());
    case 1: return around + 0.25 * double(std::int64_t(rng() % 5) - 2);
    default: return around + std::ldexp(double(rng() >> 11), -53) * 0.6 - 0.3;
  }
}

TEST(DistanceLanes, DecideAsTheScalarTestOnRandomBitPatterns) {
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 100000; ++trial) {
    double hydrogen[3], donor[3], acceptors[kLanes][3];
    for (double& c : hydrogen) c = (rng() % 8 == 0) ? std::bit_cast<double>(rng()) : 1.0;
    for (int axis = 0; axis < 3; ++axis) donor[axis] = random_coordinate(rng, hydrogen[axis]);
    for (auto& a : acceptors) {
      for (int axis = 0; axis < 3; ++axis) a[axis] = random_coordinate(rng, hydrogen[axis]);
    }
    expect_lanes_match_scalar(donor, hydrogen, acceptors);
    if (testing::Test::HasFailure()) return;
  }
}

// The reference floor for cells: the maths library's floor, saturated to int32.
std::int32_t reference_cell(double c) {
  const double f = std::floor(c * 4.0);
  if (std::isnan(f)) return 0;
  if (f < -2147483648.0) return INT32_MIN;
  if (f > 2147483647.0) return INT32_MAX;
  return static_cast<std::int32_t>(f);
}

TEST(CellCoordinate, FloorsAndSaturates) {
  const struct {
    double c;
    std::int32_t cell;
  } cases[] = {
      {-0.05, -1},
      {0.0, 0},
      {-0.0, 0},
      {0.2499, 0},
      {0.25, 1},
      {-0.25, -1},
      {-1e-300, -1},
      {kNaN, 0},
      {kInf, INT32_MAX},
      {-kInf, INT32_MIN},
      {536870911.75, INT32_MAX},   // 4c = 2^31 - 1
      {536870912.0, INT32_MAX},    // 4c = 2^31
      {-536870912.0, INT32_MIN},   // 4c = -2^31
      {-536870911.9, INT32_MIN},   // floor reaches -2^31 from above
      {-536870912.25, INT32_MIN},  // below the range
      {1e300, INT32_MAX},
      {-1e300, INT32_MIN},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cell_coordinate(c.c), c.cell) << "c = " << c.c;
    EXPECT_EQ(cell_coordinate(c.c), reference_cell(c.c)) << "c = " << c.c;
  }
}

TEST(CellCoordinate, MatchesLibmFloorOnRandomBitPatterns) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> exponent(-60, 40);
  for (int i = 0; i < 200000; ++i) {
    const double mantissa = std::bit_cast<double>((rng() >> 12) | 0x3FF0000000000000ull);
    const double c = std::ldexp(mantissa, exponent(rng)) * ((rng() & 1) ? -1.0 : 1.0);
    ASSERT_EQ(cell_coordinate(c), reference_cell(c)) << "c = " << c;
    const double next = std::nextafter(c, kInf);
    ASSERT_EQ(cell_coordinate(next), reference_cell(next)) << "c = " << next;
  }
}

}  // namespace
}  // namespace brenvox
