#pragma once
// A periodic cell given by three box vectors (rows a, b, c), and the minimum image.
//
// An image of a vector d is d − (n_a a + n_b b + n_c c) for integers n, evaluated per component
// as ((d − n_c c) − n_b b) − n_a a, always in that order, so that an image is bit-identical
// however its integers were found.

#include <cstdint>
#include <optional>
#include <string>

namespace brenvox {

struct PeriodicBox {
  double a[3], b[3], c[3];
  double inverse[3][3];  // fractional coordinates: f = d · inverse
  double width[3];       // distances between opposite faces, across a, b and c
  double min_width;
  bool rectangular;  // a, b and c along x, y and z
};

// TooLarge and TooSmall: the box has a shape, but its volume overflows or underflows double
// precision.
enum class BoxProblem { NotFinite, Degenerate, TooLarge, TooSmall };

// The box with rows `rows[0..2]`, `rows[3..5]`, `rows[6..8]`, or what is wrong with it.
std::optional<PeriodicBox> make_periodic_box(const double* rows, BoxProblem& problem);

// f = d · inverse, each component ((d_x i_0j + d_y i_1j) + d_z i_2j).
inline void fractional_coordinates(const PeriodicBox& box, const double d[3], double f[3]) {
  for (int j = 0; j < 3; ++j) {
    f[j] = (d[0] * box.inverse[0][j] + d[1] * box.inverse[1][j]) + d[2] * box.inverse[2][j];
  }
}

// d − (n_a a + n_b b + n_c c) in the fixed order.
inline void image_of(const PeriodicBox& box, const double d[3], double na, double nb, double nc,
                     double v[3]) {
  for (int k = 0; k < 3; ++k) v[k] = ((d[k] - nc * box.c[k]) - nb * box.b[k]) - na * box.a[k];
}

// The shortest image of d: among the 27 images around the rounded fractional coordinates, the
// first (n_a outermost, n_c innermost) of smallest squared length.
void minimum_image(const PeriodicBox& box, const double d[3], double v[3]);

}  // namespace brenvox
