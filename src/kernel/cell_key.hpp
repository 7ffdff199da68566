#pragma once
// Grid cells of edge 0.25, the hydrogen–acceptor cut-off: a bonded acceptor always lies in the
// hydrogen's cell or one of its 26 neighbours.

#include <cstdint>

namespace brenvox {

struct CellKey {
  std::int32_t x;
  std::int32_t y;
  std::int32_t z;

  friend bool operator==(const CellKey&, const CellKey&) = default;
};

// floor(4.0 * c) converted to int32 with saturation; NaN gives 0. Exact without libm: 4.0 * c
// is exact (a power of two) and every double below 2^31 in magnitude truncates exactly.
inline std::int32_t cell_coordinate(double c) {
  const double scaled = c * 4.0;
  if (scaled != scaled) return 0;
  if (scaled < -2147483648.0) return INT32_MIN;
  if (scaled >= 2147483648.0) return INT32_MAX;
  std::int64_t whole = static_cast<std::int64_t>(scaled);
  if (static_cast<double>(whole) > scaled) --whole;
  return static_cast<std::int32_t>(whole);
}

inline CellKey cell_key(const double* p) {
  return CellKey{cell_coordinate(p[0]), cell_coordinate(p[1]), cell_coordinate(p[2])};
}

}  // namespace brenvox
