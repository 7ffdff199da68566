#pragma once
// Atoms of a float32 or float64 frame, read as float64, and their place in a box's unit cell.

#include <cmath>
#include <cstdint>

#include "kernel/trajectory/periodic_box.hpp"

namespace brenvox {

// Atom `index` of a frame, widened to float64 when the frame is float32: exact, so float32
// input decides exactly as its float64 copy would, with no copy of the frame. Another thread
// may write the caller's memory meanwhile, so every test and cell must come from one read of
// each value: the empty asm makes the values opaque, and the compiler cannot read them again.
// (A volatile read does the same, but slowed the search by 4 %.)
template <typename T>
void load_atom(const T* frame, std::int64_t index, double out[3]) {
  const T* p = frame + 3 * index;
  double x = p[0], y = p[1], z = p[2];
#if defined(__x86_64__)
  asm("" : "+x"(x), "+x"(y), "+x"(z));
#else
  asm("" : "+m"(x), "+m"(y), "+m"(z));
#endif
  out[0] = x;
  out[1] = y;
  out[2] = z;
}

inline bool is_finite(const double* p) {
  return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

// std::floor without the call into libm that a baseline x86-64 build makes for it (floor is an
// instruction only from SSE4.1 on): exact, but for the sign of a zero result, which no
// decision depends on.
inline double floor_of(double x) {
  if (!(std::fabs(x) < 4503599627370496.0)) return x;  // 2^52: whole already, or not finite
  const double truncated = static_cast<double>(static_cast<std::int64_t>(x));
  return truncated - static_cast<double>(truncated > x);
}

// Fractional coordinates of p, split into the lattice numbers floor(f) and the rest.
[[gnu::always_inline]] inline void wrap(const PeriodicBox& box, const double* p, double lattice[3],
                                        double rest[3]) {
  if (box.rectangular) {
    // The general product with its zero terms left out: the same values.
    for (int j = 0; j < 3; ++j) rest[j] = p[j] * box.inverse[j][j];
  } else {
    fractional_coordinates(box, p, rest);
  }
  for (int j = 0; j < 3; ++j) {
    lattice[j] = floor_of(rest[j]);
    rest[j] -= lattice[j];
  }
}

// The Cartesian position of fractional coordinates f.
inline void cartesian(const PeriodicBox& box, const double f[3], double out[3]) {
  if (box.rectangular) {
    out[0] = f[0] * box.a[0];
    out[1] = f[1] * box.b[1];
    out[2] = f[2] * box.c[2];
    return;
  }
  for (int k = 0; k < 3; ++k) out[k] = (f[0] * box.a[k] + f[1] * box.b[k]) + f[2] * box.c[k];
}

}  // namespace brenvox
