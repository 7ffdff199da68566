#pragma once
// The hydrogen-bond test with cut-offs chosen by the caller. In its Baker–Hubbard form (H···A
// distance, D–H–A angle, both strict) and with the default cut-offs its constants and operations
// are exactly those of the fixed test, so its decisions are too. The other forms measure D···A,
// take the H–D–A angle, accept at the cut-offs, bound the D–H length, shrink the distance
// cut-off with the angle, or merge a donor's hydrogens.

#include <cmath>
#include <limits>

namespace brenvox {

struct HbondCriterion {
  double distance_squared;  // H···A squared must be below this
  double cos_squared;       // cos² of the angle cut-off
  bool obtuse;              // cut-off of 90° or more: the D–H–A dot product must be negative
  bool from_donor = false;  // the distance is D···A
  bool angle_at_donor = false;  // H–D–A, which must be small; else D–H–A, which must be large
  bool distance_inclusive = false;  // a distance equal to the cut-off qualifies
  bool angle_inclusive = false;     // an angle equal to the cut-off qualifies
  bool merge_hydrogens = false;  // a donor–acceptor pair is one bond, through its first hydrogen
  // Pairs whose D–H length is above this are left out.
  double donor_hydrogen_squared = std::numeric_limits<double>::infinity();
  // Above zero, the distance must also be below cone_cutoff − cone_slope · θ², θ the angle in
  // degrees.
  double cone_slope = 0.0;
  double distance_cutoff = 0.0;
  double angle_cutoff = 0.0;  // degrees
  // With the angle at the donor: the point D + axis_point·(H − D)/s of the D→H axis nearest to
  // its farthest acceptor, and that distance (see probe_reach).
  double axis_point = 0.0;
  double axis_reach = 0.0;

  // The Baker–Hubbard form, which the search runs on its own fastest path.
  bool baker_hubbard_form() const {
    return !from_donor && !angle_at_donor && !angle_inclusive && cone_slope == 0.0;
  }
  // sign(cos θ) · cos² θ of the angle cut-off θ.
  double signed_cos_squared() const { return obtuse ? -cos_squared : cos_squared; }
};

// Squared cosines that are exact in binary, so that common cut-offs (120° above all) get the
// exact constant rather than cos(θ)² with its rounding (0.24999999999999978 for 120°).
inline double exact_cos_squared(double degrees) {
  constexpr struct {
    double degrees, cos_squared;
  } kExact[] = {{0, 1.0},    {30, 0.75}, {45, 0.5},   {60, 0.25}, {90, 0.0},
                {120, 0.25}, {135, 0.5}, {150, 0.75}, {180, 1.0}};
  for (const auto& e : kExact) {
    if (degrees == e.degrees) return e.cos_squared;
  }
  const double c = std::cos(degrees * (M_PI / 180.0));
  return c * c;
}

inline HbondCriterion make_hbond_criterion(double distance_cutoff, double angle_cutoff_degrees) {
  return HbondCriterion{distance_cutoff * distance_cutoff, exact_cos_squared(angle_cutoff_degrees),
                        angle_cutoff_degrees >= 90.0};
}

namespace criterion_detail {

// The farthest point from D + x·axis of the acceptors within d(θ) of D at θ ≤ θc from the axis:
// |A − P|² = r² + x² − 2rx cos θ is convex in r, so on each piece of angles it is largest at
// r = 0 or r = d(θ), with the smallest cosine of the piece; a cone shrinks d(θ) piece by piece.
inline double farthest_from_axis_point(const HbondCriterion& c, double x) {
  constexpr double kRadians = M_PI / 180.0;
  const int pieces = c.cone_slope > 0.0 ? 180 : 1;
  double r2 = x * x;
  for (int i = 0; i < pieces; ++i) {
    const double low = c.angle_cutoff * i / pieces;
    const double high = c.angle_cutoff * (i + 1) / pieces;
    const double reach = c.distance_cutoff - c.cone_slope * low * low;
    if (reach <= 0.0) break;
    r2 = std::fmax(r2, reach * reach + x * x - 2.0 * reach * x * std::cos(high * kRadians));
  }
  return std::sqrt(r2);
}

}  // namespace criterion_detail

// The acceptors of a criterion with the angle at the donor lie in a sector around the D→H
// axis whatever s is: its ball's centre is the point D + x·(H − D)/s of the axis, among a few,
// whose farthest acceptor is nearest.
inline void place_axis_point(HbondCriterion& c) {
  double best_x = 0.0, best = criterion_detail::farthest_from_axis_point(c, 0.0);
  constexpr int kCandidates = 64;
  for (int k = 1; k <= kCandidates; ++k) {
    const double x = c.distance_cutoff * k / kCandidates;
    const double farthest = criterion_detail::farthest_from_axis_point(c, x);
    if (farthest < best) best = farthest, best_x = x;
  }
  c.axis_point = best_x;
  c.axis_reach = best;
}

// How a criterion departs from Baker–Hubbard's.
struct CriterionForm {
  bool from_donor = false;
  bool angle_at_donor = false;
  bool distance_inclusive = false;
  bool angle_inclusive = false;
  bool merge_hydrogens = false;
  double donor_hydrogen_cutoff = std::numeric_limits<double>::infinity();
  double cone_slope = 0.0;
};

inline HbondCriterion make_hbond_criterion(double distance_cutoff, double angle_cutoff_degrees,
                                           const CriterionForm& form) {
  HbondCriterion c = make_hbond_criterion(distance_cutoff, angle_cutoff_degrees);
  c.from_donor = form.from_donor;
  c.angle_at_donor = form.angle_at_donor;
  c.angle_inclusive = form.angle_inclusive;
  c.merge_hydrogens = form.merge_hydrogens;
  // r² ≤ d² exactly when r² is below the next double above d².
  c.distance_inclusive = form.distance_inclusive;
  if (form.distance_inclusive) {
    c.distance_squared =
        std::nextafter(c.distance_squared, std::numeric_limits<double>::infinity());
  }
  c.donor_hydrogen_squared = form.donor_hydrogen_cutoff * form.donor_hydrogen_cutoff;
  c.cone_slope = form.cone_slope;
  c.distance_cutoff = distance_cutoff;
  c.angle_cutoff = angle_cutoff_degrees;
  if (c.from_donor && c.angle_at_donor) place_axis_point(c);
  return c;
}

// Whether a candidate that passed the lane test also passes the cone: r the measured distance,
// cos_angle the cosine of the criterion's angle.
inline bool within_cone(const HbondCriterion& c, double r_squared, double cos_angle) {
  const double degrees = std::acos(std::fmin(1.0, std::fmax(-1.0, cos_angle))) * (180.0 / M_PI);
  const double limit = c.distance_cutoff - c.cone_slope * (degrees * degrees);
  const double r = std::sqrt(r_squared);
  return c.distance_inclusive ? r <= limit : r < limit;
}

// v = acceptor − hydrogen, w = donor − hydrogen (minimum images when periodic).
inline bool passes_criterion(const HbondCriterion& c, const double v[3], const double w[3]) {
  const double r2 = (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2];
  if (!(r2 < c.distance_squared) || !(r2 > 0.0)) return false;
  const double s2 = (w[0] * w[0] + w[1] * w[1]) + w[2] * w[2];
  if (!(s2 > 0.0)) return false;
  const double dot = (v[0] * w[0] + v[1] * w[1]) + v[2] * w[2];
  const double limit = r2 * (s2 * c.cos_squared);
  return c.obtuse ? (dot < 0.0 && dot * dot > limit) : (dot < 0.0 || dot * dot < limit);
}

}  // namespace brenvox
