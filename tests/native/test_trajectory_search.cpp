#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kernel/baker_hubbard.hpp"
#include "kernel/fixed/frame_collector.hpp"
#include "kernel/trajectory/atoms.hpp"
#include "kernel/trajectory/search.hpp"
#include "parallel/trajectory_threads.hpp"
#include "systems.hpp"
#include "trajectories.hpp"

namespace brenvox {
namespace {

using testing_support::Flavour;
using testing_support::random_system;
using testing_support::random_trajectory;
using testing_support::Record;
using testing_support::records_of;
using testing_support::search_of;
using testing_support::Trajectory;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(HbondCriterion, DefaultCutoffsDecideExactlyAsTheFixedTest) {
  const HbondCriterion c = make_hbond_criterion(0.25, 120.0);
  EXPECT_EQ(c.distance_squared, kCutoffSquared);
  EXPECT_EQ(c.cos_squared, kCosThresholdSquared);
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> coordinate(-0.3, 0.3);
  const double specials[] = {0.0, -0.0, kNaN, kInf, 0.25, -0.25, 0.125};
  for (int i = 0; i < 200000; ++i) {
    double d[3], h[3], a[3];
    for (double* p : {d, h, a}) {
      for (int k = 0; k < 3; ++k) p[k] = rng() % 16 == 0 ? specials[rng() % 7] : coordinate(rng);
    }
    const double v[3] = {a[0] - h[0], a[1] - h[1], a[2] - h[2]};
    const double w[3] = {d[0] - h[0], d[1] - h[1], d[2] - h[2]};
    ASSERT_EQ(passes_criterion(c, v, w), is_hydrogen_bond(d, h, a)) << i;
  }
}

TEST(HbondCriterion, SquaredCosinesOfCommonAnglesAreExact) {
  EXPECT_EQ(exact_cos_squared(120.0), 0.25);
  EXPECT_EQ(exact_cos_squared(150.0), 0.75);
  EXPECT_EQ(exact_cos_squared(90.0), 0.0);
  const double c = std::cos(100.0 * (M_PI / 180.0));
  EXPECT_EQ(exact_cos_squared(100.0), c * c);
}

TEST(HbondCriterion, AcuteCutoffAcceptsAnglesBetweenItAndNinety) {
  const HbondCriterion acute = make_hbond_criterion(0.25, 60.0);
  const HbondCriterion obtuse = make_hbond_criterion(0.25, 120.0);
  const double w[3] = {0.1, 0.0, 0.0};
  const double at_90[3] = {0.0, 0.2, 0.0};
  const double at_45[3] = {0.1, 0.1, 0.0};  // 45° < 60°: rejected
  const double at_80[3] = {0.2 * std::cos(80 * M_PI / 180), 0.2 * std::sin(80 * M_PI / 180), 0};
  EXPECT_TRUE(passes_criterion(acute, at_90, w));
  EXPECT_TRUE(passes_criterion(acute, at_80, w));
  EXPECT_FALSE(passes_criterion(acute, at_45, w));
  EXPECT_FALSE(passes_criterion(obtuse, at_90, w));
}

std::optional<PeriodicBox> box_of(std::initializer_list<double> rows) {
  BoxProblem problem{};
  return make_periodic_box(std::data(rows), problem);
}

TEST(PeriodicBox, RefusesNonFiniteAndFlatBoxes) {
  for (const auto& rows : {std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, kNaN},
                           std::vector<double>{kInf, 0, 0, 0, 1, 0, 0, 0, 1}}) {
    BoxProblem problem{};
    EXPECT_FALSE(make_periodic_box(rows.data(), problem));
    EXPECT_EQ(problem, BoxProblem::NotFinite);
  }
  for (const auto& rows : {std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 0},
                           std::vector<double>{1, 0, 0, 2, 0, 0, 0, 0, 1}}) {
    BoxProblem problem{};
    EXPECT_FALSE(make_periodic_box(rows.data(), problem));
    EXPECT_EQ(problem, BoxProblem::Degenerate);
  }
}

TEST(PeriodicBox, WidthsAreDistancesBetweenFaces) {
  // A rhombic dodecahedron (xy-square) as GROMACS writes it, edge 2.
  const auto box = box_of({2, 0, 0, 0, 2, 0, 1, 1, std::sqrt(2.0)});
  ASSERT_TRUE(box);
  EXPECT_NEAR(box->width[0], 2 * std::sqrt(2.0) / std::sqrt(3.0), 1e-12);
  EXPECT_NEAR(box->width[2], std::sqrt(2.0), 1e-12);
  EXPECT_EQ(box->min_width, box->width[2]);
  EXPECT_FALSE(box->rectangular);
  EXPECT_TRUE(box_of({2, 0, 0, 0, 3, 0, 0, 0, 4})->rectangular);
}

TEST(PeriodicBox, MinimumImageIsTheShortestLatticeTranslate) {
  const auto box = box_of({2.0, 0, 0, 0.7, 1.9, 0, -0.6, 0.5, 1.7});
  ASSERT_TRUE(box);
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> coordinate(-9.0, 9.0);
  for (int i = 0; i < 2000; ++i) {
    const double d[3] = {coordinate(rng), coordinate(rng), coordinate(rng)};
    double v[3];
    minimum_image(*box, d, v);
    double best = kInf;
    for (int a = -8; a <= 8; ++a) {
      for (int b = -8; b <= 8; ++b) {
        for (int c = -8; c <= 8; ++c) {
          double u[3];
          image_of(*box, d, a, b, c, u);
          best = std::min(best, (u[0] * u[0] + u[1] * u[1]) + u[2] * u[2]);
        }
      }
    }
    ASSERT_NEAR((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2], best, 1e-12) << i;
  }
}

// The trajectory search on a random periodic system, against a plain reference: every pair
// against every acceptor, minimum images from the definition.
std::vector<Record> reference_rows(const TrajectorySearch& s) {
  std::vector<Record> rows;
  const auto* xyz = static_cast<const double*>(s.xyz);
  const auto finite = [](const double* p) {
    return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
  };
  for (std::uint64_t f = 0; f < s.n_frames; ++f) {
    const double* frame = xyz + f * s.n_atoms * 3;
    const PeriodicBox* box = s.boxes.empty() ? nullptr : &s.boxes[s.boxes.size() == 1 ? 0 : f];
    for (std::size_t i = 0; i < s.pair_atoms.size(); i += 2) {
      const double* d = frame + 3 * s.pair_atoms[i];
      const double* h = frame + 3 * s.pair_atoms[i + 1];
      if (!finite(d) || !finite(h)) continue;
      double w[3] = {d[0] - h[0], d[1] - h[1], d[2] - h[2]};
      if (box != nullptr) minimum_image(*box, std::array<double, 3>{w[0], w[1], w[2]}.data(), w);
      for (std::int64_t acceptor : s.acceptors) {
        const double* a = frame + 3 * acceptor;
        if (acceptor == s.pair_atoms[i] || !finite(a)) continue;
        double v[3] = {a[0] - h[0], a[1] - h[1], a[2] - h[2]};
        if (box != nullptr) minimum_image(*box, std::array<double, 3>{v[0], v[1], v[2]}.data(), v);
        if (passes_criterion(s.criterion, v, w)) {
          rows.push_back({std::uint32_t(f), std::uint32_t(s.pair_atoms[i]),
                          std::uint32_t(s.pair_atoms[i + 1]), std::uint32_t(acceptor)});
        }
      }
    }
  }
  return rows;
}

class TrajectorySearchAgainstReference
    : public ::testing::TestWithParam<std::tuple<bool, double, double>> {};

TEST_P(TrajectorySearchAgainstReference, PeriodicAndOpen) {
  const auto [triclinic, cutoff, angle] = GetParam();
  std::size_t periodic_rows = 0, open_rows = 0;
  for (std::uint64_t seed = 0; seed < 12; ++seed) {
    const Trajectory t = random_trajectory(seed, triclinic);
    for (bool periodic : {true, false}) {
      const TrajectorySearch s = search_of(t, cutoff, angle, periodic);
      const std::vector<Record> expected = reference_rows(s);
      ASSERT_EQ(records_of(search_trajectory(s)), expected) << "seed " << seed;
      (periodic ? periodic_rows : open_rows) += expected.size();
    }
  }
  EXPECT_GT(periodic_rows, open_rows);  // bonds across the faces are found
}

INSTANTIATE_TEST_SUITE_P(Boxes, TrajectorySearchAgainstReference,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(0.25, 0.4),
                                            ::testing::Values(120.0, 100.0, 70.0)));

TEST(TrajectorySearch, OpenDefaultsGiveTheExhaustiveRowsAndFloat32TheRowsOfItsWidening) {
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    const auto system = random_system(seed, Flavour::Pathological);
    Trajectory t{system.n_frames, system.n_atoms, system.xyz, {}, {}, {}};
    for (const Pair& p : system.inputs.pairs) {
      t.pair_atoms.insert(t.pair_atoms.end(), {std::int64_t(p.donor), std::int64_t(p.hydrogen)});
    }
    for (std::uint64_t a : system.inputs.acceptors) t.acceptors.push_back(std::int64_t(a));
    BondBuffer exhaustive;
    FrameScratch scratch;
    for (std::uint64_t f = 0; f < t.n_frames; ++f) {
      collect_bonds_brute_frame(t.xyz, f, f * t.n_atoms * 3, system.inputs.pairs,
                                system.inputs.acceptors, scratch, exhaustive);
    }
    ASSERT_EQ(records_of(search_trajectory(search_of(t, 0.25, 120.0, false))),
              records_of(exhaustive))
        << "seed " << seed;

    std::vector<float> narrow(t.xyz.begin(), t.xyz.end());
    Trajectory widened = t;
    widened.xyz.assign(narrow.begin(), narrow.end());
    TrajectorySearch single = search_of(t, 0.25, 120.0, false);
    single.xyz = narrow.data();
    single.single_precision = true;
    ASSERT_EQ(records_of(search_trajectory(single)),
              records_of(search_trajectory(search_of(widened, 0.25, 120.0, false))));
  }
}

TEST(TrajectorySearch, ThreadedRowsEqualSerialRows) {
  const Trajectory t = random_trajectory(3, true, 23);
  const TrajectorySearch s = search_of(t, 0.3, 120.0, true);
  const std::vector<Record> serial = records_of(search_trajectory(s));
  ASSERT_FALSE(serial.empty());
  for (std::size_t workers : {1, 2, 5}) {
    auto pool = WorkerPool::create(workers);
    ASSERT_TRUE(pool.ok());
    EXPECT_EQ(records_of(search_trajectory_threaded(*pool.value(), s)), serial);
  }
}

// Acceptors packed around hydrogens, one cluster inside the box and one across a face: runs far
// longer than a block, and pairs with many hits, some of them images of one acceptor.
TEST(TrajectorySearch, CrowdedCellsGiveTheReferenceRows) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> offset(-0.3, 0.3);
  Trajectory t{1, 0, {}, {}, {}, {}};
  BoxProblem problem{};
  const double rows[9] = {1.6, 0, 0, 0.2, 1.7, 0, -0.1, 0.3, 1.8};
  t.boxes.push_back(*make_periodic_box(rows, problem));
  for (const double centre : {0.8, 1.6}) {
    for (int i = 0; i < 120; ++i) {
      for (int k = 0; k < 3; ++k) t.xyz.push_back(centre + offset(rng));
      t.acceptors.push_back(std::int64_t(t.xyz.size() / 3 - 1));
    }
    for (int i = 0; i < 12; ++i) {
      const std::int64_t donor = std::int64_t(t.xyz.size() / 3);
      for (int k = 0; k < 3; ++k) t.xyz.push_back(centre + offset(rng) / 3);
      for (int k = 0; k < 3; ++k) t.xyz.push_back(t.xyz[3 * donor + k] + (k == 0 ? 0.1 : 0.0));
      t.pair_atoms.insert(t.pair_atoms.end(), {donor, donor + 1});
      t.acceptors.push_back(donor);
    }
  }
  t.n_atoms = t.xyz.size() / 3;
  for (bool periodic : {false, true}) {
    for (double angle : {120.0, 70.0}) {
      const TrajectorySearch s = search_of(t, 0.25, angle, periodic);
      const std::vector<Record> expected = reference_rows(s);
      EXPECT_GT(expected.size(), 24u * 4u);  // several hits per pair
      EXPECT_EQ(records_of(search_trajectory(s)), expected) << periodic << " " << angle;
    }
  }
}

// Water-like density with every acceptor inside the box, as trajectories are usually written:
// pairs away from the faces meet only acceptors with zero lattice numbers, pairs near them meet
// images.
TEST(TrajectorySearch, AtomsInsideTheBoxGiveTheReferenceRowsInTheBulkAndAtTheFaces) {
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> direction;
  for (const double shear : {0.0, 0.3}) {
    Trajectory t{2, 1400, {}, {}, {}, {}};
    BoxProblem problem{};
    const double rows[9] = {2.4, 0, 0, shear, 2.5, 0, -shear, shear, 2.3};
    t.boxes.push_back(*make_periodic_box(rows, problem));
    t.boxes.push_back(t.boxes[0]);
    for (std::uint64_t f = 0; f < t.n_frames; ++f) {
      for (std::uint64_t i = 0; i < t.n_atoms; i += 2) {
        // Donors inside the cell, hydrogens wrapped into it.
        double fd[3], d[3], h[3], v[3], norm = 0;
        for (int k = 0; k < 3; ++k) {
          fd[k] = unit(rng);
          v[k] = direction(rng);
          norm += v[k] * v[k];
        }
        cartesian(t.boxes[0], fd, d);
        for (int k = 0; k < 3; ++k) h[k] = d[k] + 0.1 * v[k] / std::sqrt(norm);
        double lattice[3], rest[3];
        wrap(t.boxes[0], h, lattice, rest);
        cartesian(t.boxes[0], rest, h);
        // Some hydrogens a box vector away from the cell, as a whole-molecule trajectory
        // leaves them: a lattice number not zero among acceptors that have none.
        if (i % 10 == 0) {
          for (int k = 0; k < 3; ++k) h[k] += t.boxes[0].a[k];
        }
        t.xyz.insert(t.xyz.end(), d, d + 3);
        t.xyz.insert(t.xyz.end(), h, h + 3);
      }
    }
    for (std::uint64_t i = 0; i < t.n_atoms; i += 2) {
      t.pair_atoms.insert(t.pair_atoms.end(), {std::int64_t(i), std::int64_t(i + 1)});
      t.acceptors.push_back(std::int64_t(i));
    }
    for (double angle : {120.0, 70.0}) {
      const TrajectorySearch s = search_of(t, 0.25, angle, true);
      const std::vector<Record> expected = reference_rows(s);
      EXPECT_GT(expected.size(), t.n_atoms / 2);
      EXPECT_EQ(records_of(search_trajectory(s)), expected) << shear << " " << angle;
    }
  }
}

TEST(TrajectorySearch, FarFlungAndNonFiniteCoordinatesNeverBondNorCrash) {
  Trajectory t = random_trajectory(8, false, 2);
  const double specials[] = {kNaN, kInf, -kInf, 1e300, -1e300, 1.7e308, 6e8};
  for (std::size_t i = 0; i < t.xyz.size(); i += 7) t.xyz[i] = specials[i % 7];
  for (bool periodic : {false, true}) {
    const TrajectorySearch s = search_of(t, 0.25, 120.0, periodic);
    EXPECT_EQ(records_of(search_trajectory(s)), reference_rows(s));
  }
}

}  // namespace
}  // namespace brenvox
