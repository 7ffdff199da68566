#pragma once
// Grid cells whose edge is the hydrogen–acceptor cut-off: a bonded acceptor always lies in the
// hydrogen's cell or one of its 26 neighbours.

#include <cstdint>

#include "kernel/baker_hubbard.hpp"

namespace brenvox {

inline constexpr double kCellEdge = 0.25;
inline constexpr double kCellsPerUnit = 4.0;
static_assert(kCellEdge * kCellEdge == kCutoffSquared, "cells must be as wide as the cut-off");
static_assert(kCellsPerUnit * kCellEdge == 1.0, "a power of two, so that scaling is exact");

struct CellKey {
  std::int32_t x;
  std::int32_t y;
  std::int32_t z;

  friend bool operator==(const CellKey&, const CellKey&) = default;
};

// floor(scaled) for a finite value below 2^63 in magnitude, without libm (floor is no
// instruction before SSE4.1): every such double truncates exactly.
inline std::int64_t floor_to_int64(double scaled) {
  std::int64_t whole = static_cast<std::int64_t>(scaled);
  if (static_cast<double>(whole) > scaled) --whole;
  return whole;
}

// floor(4.0 * c) converted to int32 with saturation; NaN gives 0.
inline std::int32_t cell_coordinate(double c) {
  const double scaled = c * kCellsPerUnit;
  if (scaled != scaled) return 0;
  if (scaled < -2147483648.0) return INT32_MIN;
  if (scaled >= 2147483648.0) return INT32_MAX;
  return static_cast<std::int32_t>(floor_to_int64(scaled));
}

inline CellKey cell_key(const double* p) {
  return CellKey{cell_coordinate(p[0]), cell_coordinate(p[1]), cell_coordinate(p[2])};
}

}  // namespace brenvox
