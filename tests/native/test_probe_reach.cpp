// The reach of a criterion that measures D···A must hold every acceptor it accepts: random
// acceptors that pass the criterion, around random donor–hydrogen pairs, all lie within the
// radius of the reach's point.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "kernel/trajectory/probe_reach.hpp"

namespace brenvox {
namespace {

struct Form {
  const char* name;
  double distance, angle;
  CriterionForm form;
};

const Form kForms[] = {
    {"gromacs", 0.35, 30.0, {true, true, true, true, true}},
    {"mdanalysis", 0.30, 150.0, {true, false, true, false, false}},
    {"wernet_nilsson", 0.33, 90.0, {true, true, false, false, false, 1e300, 0.000044}},
    {"obtuse at the donor", 0.30, 100.0, {true, true, false, false, false}},
    {"acute at the hydrogen", 0.30, 60.0, {true, false, false, false, false}},
};

double dot(const double a[3], const double b[3]) {
  return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2];
}

// The criterion's decision written out with angles, as a user would read it.
bool accepted(const Form& f, const double d[3], const double h[3], const double a[3]) {
  const double da[3] = {a[0] - d[0], a[1] - d[1], a[2] - d[2]};
  const double dh[3] = {h[0] - d[0], h[1] - d[1], h[2] - d[2]};
  const double ha[3] = {a[0] - h[0], a[1] - h[1], a[2] - h[2]};
  const double hd[3] = {-dh[0], -dh[1], -dh[2]};
  const double r = std::sqrt(dot(da, da));
  const bool at_donor = f.form.angle_at_donor;
  const double* arm = at_donor ? da : ha;
  const double* other = at_donor ? dh : hd;
  const double angle =
      std::acos(dot(arm, other) / std::sqrt(dot(arm, arm) * dot(other, other))) * 180.0 / M_PI;
  const double cutoff = f.distance - f.form.cone_slope * angle * angle;
  return r <= cutoff && (at_donor ? angle <= f.angle : angle >= f.angle);
}

class ProbeReachHolds : public testing::TestWithParam<Form> {};

TEST_P(ProbeReachHolds, EveryAcceptedAcceptorLiesWithinTheRadiusOfTheReachPoint) {
  const Form& f = GetParam();
  const HbondCriterion c = make_hbond_criterion(f.distance, f.angle, f.form);
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0), length(0.09, 0.11);
  const ProbeReach reach = probe_reach(c, 0.09, 0.11);
  int hits = 0;
  for (int trial = 0; trial < 200000; ++trial) {
    const double d[3] = {0.0, 0.0, 0.0};
    double axis[3] = {unit(random), unit(random), unit(random)};
    const double norm = std::sqrt(dot(axis, axis));
    const double s = length(random);
    const double h[3] = {axis[0] / norm * s, axis[1] / norm * s, axis[2] / norm * s};
    const double a[3] = {unit(random) * 0.36, unit(random) * 0.36, unit(random) * 0.36};
    if (!accepted(f, d, h, a)) continue;
    ++hits;
    double p[3];
    for (int k = 0; k < 3; ++k) p[k] = h[k] + reach.factor * (d[k] - h[k]);
    const double pa[3] = {a[0] - p[0], a[1] - p[1], a[2] - p[2]};
    const double ph[3] = {h[0] - p[0], h[1] - p[1], h[2] - p[2]};
    ASSERT_LE(std::sqrt(dot(pa, pa)), reach.radius) << f.name << " trial " << trial;
    ASSERT_LE(std::sqrt(dot(ph, ph)), reach.offset) << f.name;
  }
  EXPECT_GT(hits, 500) << f.name;
}

INSTANTIATE_TEST_SUITE_P(Criteria, ProbeReachHolds, testing::ValuesIn(kForms),
                         [](const testing::TestParamInfo<Form>& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) ch = std::isalnum(ch) ? ch : '_';
                           return name;
                         });

TEST(ProbeReach, BakerHubbardSearchesAroundTheHydrogenWithinItsCutoff) {
  const ProbeReach reach = probe_reach(make_hbond_criterion(0.25, 120.0, {}), 0.09, 0.11);
  EXPECT_EQ(reach.anchor, ProbeReach::Anchor::Hydrogen);
  EXPECT_EQ(reach.radius, 0.25);
  EXPECT_EQ(reach.factor, 0.0);
}

}  // namespace
}  // namespace brenvox
