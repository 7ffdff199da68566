#pragma once
// The Baker–Hubbard test with cut-offs chosen by the caller. With the default cut-offs its
// constants and operations are exactly those of the fixed test, so its decisions are too.

#include <cmath>

namespace brenvox {

struct HbondCriterion {
  double distance_squared;  // H···A squared must be below this
  double cos_squared;       // cos² of the angle cut-off
  bool obtuse;              // cut-off of 90° or more: the D–H–A dot product must be negative
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
