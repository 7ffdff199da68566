#pragma once
// The acceptor grid of the trajectory search. Per frame, every acceptor is entered in a cell
// grid of edge just above the cut-off; with a box, acceptors are wrapped into the unit cell and
// their images near its faces are entered too, each keeping the lattice numbers that turn its
// raw coordinates into that image.
//
// Band cell (x, b, z) holds every image whose cell is (x, b - 2 ... b, z), and band cells are
// stored one after the other in (x, b, z) order, z fastest. The 27 cells around a position in
// cell (hx, hy, hz) are therefore three runs of consecutive entries: band cells
// (hx + dx, hy + 1, hz - 1 ... hz + 1) for dx = -1, 0, +1. Each image is entered three times.
// The fixed search's dense grid is the transpose: its bands run along z and its runs along y.

#include <cstdint>
#include <vector>

#include "kernel/bucket_starts.hpp"
#include "kernel/distance_lanes.hpp"
#include "kernel/trajectory/atoms.hpp"
#include "kernel/trajectory/periodic_box.hpp"
#include "kernel/trajectory/search_parameters.hpp"

namespace brenvox {

// An acceptor image: where it sits in the grid, and how to get its exact offset.
struct Image {
  double grid[3];
  double raw[3];
  double lattice[3];  // the image is raw − (lattice_a a + lattice_b b + lattice_c c)
  std::uint32_t position;
};

struct TrajectoryGrid {
  double origin[3];
  double inverse_edge;
  std::int64_t n[3];  // cells per axis
  std::uint64_t n_band_cells;
  BucketStarts start;  // per band cell
  // Raw coordinates and (periodic only) lattice numbers of the entries, padded with a block
  // at infinity.
  std::vector<double> x, y, z, la, lb, lc;
  std::vector<std::uint32_t> position;  // in the acceptor list
  // Periodic only: how many entries before entry e have a lattice number that is not zero.
  std::vector<std::uint32_t> translated_before;

  // True when every entry in begin ... end - 1 sits at its raw coordinates.
  bool untranslated(std::uint32_t begin, std::uint32_t end) const {
    return translated_before[end] == translated_before[begin];
  }

  // Band b holds y cells b - 2 ... b, so a position in y cell h reads band h + 1.
  std::uint64_t band_cell(std::int64_t cx, std::int64_t band, std::int64_t cz) const {
    return (std::uint64_t(cx) * std::uint64_t(n[1] + 2) + std::uint64_t(band)) *
               std::uint64_t(n[2]) +
           std::uint64_t(cz);
  }
};

// Working storage of the build, kept from frame to frame.
struct TrajectoryGridBuild {
  std::vector<Image> images;
  std::vector<std::uint64_t> image_cell;
  BucketStarts images_by_cell;
  std::vector<std::uint32_t> images_in_cell_order;
};

// The grid of a frame's acceptors; false when none has finite coordinates.
template <typename T>
bool build_trajectory_grid(const TrajectorySearch& s, const T* coords, const PeriodicBox* box,
                           TrajectoryGridBuild& build, TrajectoryGrid& g);

// The cell of a grid position, or false when it lies beyond the cells next to the grid (no
// image can then be within the cut-off).
inline bool cell_near_grid(const TrajectoryGrid& g, const double* p, std::int32_t cell[3]) {
  for (int k = 0; k < 3; ++k) {
    const double t = g.inverse_edge == 0.0 ? 0.0 : (p[k] - g.origin[k]) * g.inverse_edge;
    if (!(t >= -1.0 && t < double(g.n[k] + 1))) return false;
    cell[k] = static_cast<std::int32_t>(floor_of(t));
  }
  return true;
}

}  // namespace brenvox
