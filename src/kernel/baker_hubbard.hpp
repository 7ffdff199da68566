#pragma once
// The Baker–Hubbard criterion: H···A closer than 0.25 and angle D–H–A above 120 degrees, both
// strict. The scalar searches call this function; the vector lanes of the distance test repeat
// its first operations in the same order. The build forbids contraction into fused
// multiply-adds, so all searches make bit-identical decisions.

namespace brenvox {

inline constexpr double kCutoffSquared = 0.0625;      // 0.25²
inline constexpr double kCosThresholdSquared = 0.25;  // cos²(120°)

// `donor` and `hydrogen` point at x, y, z. The donor is read only when the acceptor passes
// the distance test.
inline bool is_hydrogen_bond(const double* donor, const double* hydrogen, double ax, double ay,
                             double az) {
  const double vx = ax - hydrogen[0];
  const double vy = ay - hydrogen[1];
  const double vz = az - hydrogen[2];
  const double r2 = (vx * vx + vy * vy) + vz * vz;
  if (r2 >= kCutoffSquared) return false;
  if (r2 <= 0.0) return false;
  const double wx = donor[0] - hydrogen[0];
  const double wy = donor[1] - hydrogen[1];
  const double wz = donor[2] - hydrogen[2];
  const double s2 = (wx * wx + wy * wy) + wz * wz;
  if (s2 <= 0.0) return false;
  const double dot = (vx * wx + vy * wy) + vz * wz;
  if (!(dot < 0.0)) return false;
  const double limit = r2 * (s2 * kCosThresholdSquared);
  return dot * dot > limit;
}

inline bool is_hydrogen_bond(const double* donor, const double* hydrogen, const double* acceptor) {
  return is_hydrogen_bond(donor, hydrogen, acceptor[0], acceptor[1], acceptor[2]);
}

}  // namespace brenvox
