#include "kernel/trajectory/periodic_box.hpp"

#include <cmath>

namespace brenvox {

namespace {

double squared_length(const double v[3]) {
  return (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2];
}

void cross(const double u[3], const double w[3], double out[3]) {
  out[0] = u[1] * w[2] - u[2] * w[1];
  out[1] = u[2] * w[0] - u[0] * w[2];
  out[2] = u[0] * w[1] - u[1] * w[0];
}

// The reciprocal vectors (b × c, c × a, a × b), the volume, the widths between opposite faces
// and the smallest; false when the volume or the smallest width is zero or not finite.
bool measure(const double a[3], const double b[3], const double c[3], double reciprocal[3][3],
             double& volume, double width[3], double& min_width) {
  cross(b, c, reciprocal[0]);
  cross(c, a, reciprocal[1]);
  cross(a, b, reciprocal[2]);
  volume = (a[0] * reciprocal[0][0] + a[1] * reciprocal[0][1]) + a[2] * reciprocal[0][2];
  if (!(std::fabs(volume) > 0.0) || !std::isfinite(volume)) return false;
  min_width = INFINITY;
  for (int j = 0; j < 3; ++j) {
    width[j] = std::fabs(volume) / std::sqrt(squared_length(reciprocal[j]));
    min_width = std::fmin(min_width, width[j]);
  }
  return min_width > 0.0 && std::isfinite(min_width);
}

// Why the measures of a finite box failed: the same box scaled by a power of two, which
// changes no shape, tells a flat box from one too large or too small for double precision.
BoxProblem problem_of_finite_box(const double* rows) {
  double largest = 0.0;
  for (int i = 0; i < 9; ++i) largest = std::fmax(largest, std::fabs(rows[i]));
  if (!(largest > 0.0)) return BoxProblem::Degenerate;
  const int exponent = std::ilogb(largest);
  double scaled[9];
  for (int i = 0; i < 9; ++i) scaled[i] = std::scalbn(rows[i], -exponent);
  double reciprocal[3][3], volume, width[3], min_width;
  if (!measure(scaled, scaled + 3, scaled + 6, reciprocal, volume, width, min_width)) {
    return BoxProblem::Degenerate;
  }
  return exponent > 0 ? BoxProblem::TooLarge : BoxProblem::TooSmall;
}

}  // namespace

std::optional<PeriodicBox> make_periodic_box(const double* rows, BoxProblem& problem) {
  for (int i = 0; i < 9; ++i) {
    if (!std::isfinite(rows[i])) {
      problem = BoxProblem::NotFinite;
      return std::nullopt;
    }
  }
  PeriodicBox box{};
  for (int k = 0; k < 3; ++k) {
    box.a[k] = rows[k];
    box.b[k] = rows[3 + k];
    box.c[k] = rows[6 + k];
  }
  // The inverse's columns are the reciprocal vectors divided by the volume; their lengths are
  // the reciprocals of the widths.
  double reciprocal[3][3], volume;
  if (!measure(box.a, box.b, box.c, reciprocal, volume, box.width, box.min_width)) {
    problem = problem_of_finite_box(rows);
    return std::nullopt;
  }
  for (int j = 0; j < 3; ++j) {
    for (int k = 0; k < 3; ++k) box.inverse[k][j] = reciprocal[j][k] / volume;
  }
  box.rectangular = box.a[1] == 0.0 && box.a[2] == 0.0 && box.b[0] == 0.0 && box.b[2] == 0.0 &&
                    box.c[0] == 0.0 && box.c[1] == 0.0;
  return box;
}

void minimum_image(const PeriodicBox& box, const double d[3], double v[3]) {
  double f[3];
  fractional_coordinates(box, d, f);
  const double na = std::nearbyint(f[0]);
  const double nb = std::nearbyint(f[1]);
  const double nc = std::nearbyint(f[2]);
  image_of(box, d, na, nb, nc, v);
  // Shorter than 0.4 widths, no other image can be as short: they are all at least 0.6 away.
  const double sure = 0.16 * box.min_width * box.min_width;
  const double best_r2 = squared_length(v);
  if (best_r2 < sure) return;
  double best = INFINITY;
  for (int da = -1; da <= 1; ++da) {
    for (int db = -1; db <= 1; ++db) {
      for (int dc = -1; dc <= 1; ++dc) {
        double candidate[3];
        image_of(box, d, na + da, nb + db, nc + dc, candidate);
        const double r2 = squared_length(candidate);
        if (r2 < best) {
          best = r2;
          v[0] = candidate[0];
          v[1] = candidate[1];
          v[2] = candidate[2];
        }
      }
    }
  }
}

}  // namespace brenvox
