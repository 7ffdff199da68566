#pragma once
// Where the search looks for a pair's acceptors in a frame, for a criterion that measures D···A:
// the smallest ball beside the hydrogen that holds every acceptor the criterion can accept.

#include <cmath>

#include "kernel/trajectory/criterion.hpp"

namespace brenvox {

// Where the search looks for a pair's acceptors: within `radius` of P = H + factor·(D − H).
// Decisions never depend on P, only on which acceptors are tested, so P is put near the centre
// of the smallest ball that holds every acceptor the criterion can accept, with one factor for
// the frame (no root per pair): the radius covers the distance between the ideal centre of each
// D–H length in the frame and P. `offset` is the largest |P − H|.
struct ProbeReach {
  enum class Anchor { Hydrogen, AlongDonorAxis, BeyondHydrogen };
  Anchor anchor = Anchor::Hydrogen;
  double radius = 0.0;
  double offset = 0.0;
  double factor = 0.0;
};

namespace reach_detail {

inline double with_margin(double length) {
  return length * (1.0 + 1e-9) + 1e-9;
}

}  // namespace reach_detail

// The reach of a frame whose pairs' D–H lengths lie within s_min ... s_max.
inline ProbeReach probe_reach(const HbondCriterion& c, double s_min, double s_max) {
  using reach_detail::with_margin;
  ProbeReach reach;
  const double d = c.distance_cutoff;
  if (!c.from_donor) {
    reach.radius = d;
    return reach;
  }
  constexpr double kRadians = M_PI / 180.0;
  const double s_mid = 0.5 * s_min + 0.5 * s_max;
  // An endless D–H (coordinates near the largest doubles) leaves the whole grid in reach.
  const bool ordinary = s_mid > 0.0 && std::isfinite(s_max);
  if (c.angle_at_donor && ordinary) {
    // The acceptors lie in a sector around the D→H axis whatever s is (see place_axis_point).
    // P = H + (1 − x/s_mid)·(D − H) misses its ball's centre by x·|1 − s/s_mid|.
    const double best_x = c.axis_point, best = c.axis_reach;
    const double miss =
        best_x * std::fmax(std::fabs(1.0 - s_min / s_mid), std::fabs(1.0 - s_max / s_mid));
    reach.anchor = ProbeReach::Anchor::AlongDonorAxis;
    reach.factor = 1.0 - best_x / s_mid;
    reach.radius = with_margin(best + miss);
    reach.offset = with_margin(s_max * std::fabs(reach.factor));
    return reach;
  }
  if (!c.angle_at_donor && c.angle_cutoff >= 120.0 && ordinary) {
    // D–H–A ≥ φc: A lies within α = 180° − φc ≤ 60° of the D→H axis beyond H, and within
    // h(s) = √(d² − s² sin² φc) − s|cos φc| of H (from d² ≥ h² + s² + 2hs|cos φc|). Such a
    // cone lies within y(s) = h(s)/(2 cos α) of the point y(s) along its axis; y(s) − y(s_mid)·
    // s/s_mid decreases with s, so P = H − y(s_mid)/s_mid·(D − H) misses that point by at most
    // its value at s_min or s_max.
    const double cos_phi = std::cos(c.angle_cutoff * kRadians);
    const double cos_alpha = std::cos((180.0 - c.angle_cutoff) * kRadians);
    const auto ball = [&](double s) {
      const double h = std::sqrt(std::fmax(0.0, d * d - s * s * (1.0 - cos_phi * cos_phi))) -
                       s * std::fabs(cos_phi);
      return std::fmax(h, 0.0) / (2.0 * cos_alpha);
    };
    const double k = ball(s_mid) / s_mid;
    const double miss =
        std::fmax(std::fabs(ball(s_min) - k * s_min), std::fabs(ball(s_max) - k * s_max));
    reach.anchor = ProbeReach::Anchor::BeyondHydrogen;
    reach.factor = -k;
    reach.radius = with_margin(ball(s_min) + miss);
    reach.offset = with_margin(s_max * k);
    return reach;
  }
  reach.radius = with_margin(d + s_max);
  return reach;
}

}  // namespace brenvox
