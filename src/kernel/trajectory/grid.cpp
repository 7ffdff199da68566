#include "kernel/trajectory/grid.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace brenvox {

namespace {

// Cells a little wider than the cut-off: grid positions differ from exact offsets only by
// rounding, far below this slack, so every bond's acceptor lies in the 27 cells.
constexpr double kCellSlack = 1.0 + 1e-4;
constexpr std::uint64_t kCellsPerImage = 16;
constexpr std::uint64_t kCellsMinimum = 4096;
// Beyond this extent the grid is one cell: every position meets every image.
constexpr double kMaxExtent = 1e300;

// Every acceptor image that may lie within the cut-off of a wrapped hydrogen: fractional
// coordinates within the cut-off of the unit cell, across each pair of faces.
template <typename T>
void enter_images(const TrajectorySearch& s, const T* coords, const PeriodicBox* box,
                  std::vector<Image>& images) {
  images.clear();
  double margin[3] = {};
  if (box != nullptr) {
    // A probe may sit up to the reach's offset beyond the unit cell.
    const double reach = s.distance_cutoff + s.reach.offset;
    for (int j = 0; j < 3; ++j) margin[j] = reach / box->width[j] * kCellSlack + 1e-9;
  }
  for (std::size_t i = 0; i < s.acceptors.size(); ++i) {
    double a[3];
    load_atom(coords, s.acceptors[i], a);
    if (!is_finite(a)) continue;  // never bonds
    // Written in place: a copy from the stack would read back fields just stored.
    const auto add_image = [&]() -> Image& {
      Image& image = images.emplace_back();
      std::memcpy(image.raw, a, sizeof a);
      image.position = static_cast<std::uint32_t>(i);
      return image;
    };
    if (box == nullptr) {
      Image& image = add_image();
      std::memcpy(image.grid, a, sizeof a);
      continue;
    }
    double lattice[3], rest[3];
    wrap(*box, a, lattice, rest);
    // Per axis, the shifts m for which rest + m stays within the margin of [0, 1].
    int shifts[3][3];
    int n_shifts[3];
    for (int j = 0; j < 3; ++j) {
      n_shifts[j] = 0;
      shifts[j][n_shifts[j]++] = 0;
      if (rest[j] < margin[j]) shifts[j][n_shifts[j]++] = 1;
      if (rest[j] > 1.0 - margin[j]) shifts[j][n_shifts[j]++] = -1;
    }
    for (int ia = 0; ia < n_shifts[0]; ++ia) {
      for (int ib = 0; ib < n_shifts[1]; ++ib) {
        for (int ic = 0; ic < n_shifts[2]; ++ic) {
          const int m[3] = {shifts[0][ia], shifts[1][ib], shifts[2][ic]};
          const double f[3] = {rest[0] + m[0], rest[1] + m[1], rest[2] + m[2]};
          Image& image = add_image();
          cartesian(*box, f, image.grid);
          for (int j = 0; j < 3; ++j) image.lattice[j] = lattice[j] - m[j];
        }
      }
    }
  }
}

// Chooses the grid's origin, edge and size; false when no image was entered.
bool size_grid(const std::vector<Image>& images, double cutoff, TrajectoryGrid& g) {
  if (images.empty()) return false;
  double lo[3] = {INFINITY, INFINITY, INFINITY};
  double hi[3] = {-INFINITY, -INFINITY, -INFINITY};
  for (const Image& image : images) {
    for (int k = 0; k < 3; ++k) {
      lo[k] = image.grid[k] < lo[k] ? image.grid[k] : lo[k];
      hi[k] = image.grid[k] > hi[k] ? image.grid[k] : hi[k];
    }
  }
  const double limit =
      double(std::max<std::uint64_t>(kCellsPerImage * images.size(), kCellsMinimum));
  double extent[3];
  bool one_cell = false;
  for (int k = 0; k < 3; ++k) {
    g.origin[k] = lo[k];
    extent[k] = hi[k] - lo[k];
    one_cell = one_cell || !(extent[k] <= kMaxExtent);
  }
  double edge = std::max(cutoff * kCellSlack, 1e-300);
  one_cell = one_cell || !(edge <= kMaxExtent);  // an endless reach meets every image anyway
  while (!one_cell) {
    double cells = 1.0;
    bool axes_fit = true;  // cell numbers stay far inside int32
    for (int k = 0; k < 3; ++k) {
      const double along = std::floor(extent[k] / edge) + 1.0;
      cells *= along + (k == 1 ? 2.0 : 0.0);
      axes_fit = axes_fit && along < 1e9;
    }
    if (cells <= limit && axes_fit) break;
    edge *= 1.5;
  }
  if (one_cell) {
    g.inverse_edge = 0.0;
    g.n[0] = g.n[1] = g.n[2] = 1;
  } else {
    g.inverse_edge = 1.0 / edge;
    for (int k = 0; k < 3; ++k) g.n[k] = std::int64_t(std::floor(extent[k] * g.inverse_edge)) + 1;
  }
  g.n_band_cells = std::uint64_t(g.n[0]) * std::uint64_t(g.n[1] + 2) * std::uint64_t(g.n[2]);
  return true;
}

std::int64_t image_cell(const TrajectoryGrid& g, const double* p, int k) {
  const double t = (p[k] - g.origin[k]) * g.inverse_edge;
  if (!(t >= 0.0)) return 0;
  return std::min(std::int64_t(t), g.n[k] - 1);
}

// A counting sort of the images into band cells, each image entered in three bands. Images are
// placed in the order of their first band cell, so that each copy lands just after the previous
// image's rather than anywhere: within a run, entries are then by y cell and image order, which
// no result depends on, as each pair's hits are sorted.
void fill_grid(bool periodic, TrajectoryGridBuild& build, TrajectoryGrid& g) {
  const std::vector<Image>& images = build.images;
  const std::size_t n = images.size();
  const std::uint64_t band_step = std::uint64_t(g.n[2]);
  std::vector<std::uint64_t>& cells = build.image_cell;
  cells.resize(n);
  g.start.reset(g.n_band_cells);
  build.images_by_cell.reset(g.n_band_cells);
  for (std::size_t i = 0; i < n; ++i) {
    const double* p = images[i].grid;
    cells[i] = g.band_cell(image_cell(g, p, 0), image_cell(g, p, 1), image_cell(g, p, 2));
    build.images_by_cell.count(cells[i]);
    for (std::uint64_t b = 0; b < 3; ++b) g.start.count(cells[i] + b * band_step);
  }
  g.start.finish_counting();
  build.images_by_cell.finish_counting();
  build.images_in_cell_order.resize(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    build.images_in_cell_order[build.images_by_cell.place(cells[i])] = i;
  }
  const std::size_t entries = 3 * n;
  for (auto* v : {&g.x, &g.y, &g.z}) v->resize(entries + kRunBlock);
  for (auto* v : {&g.la, &g.lb, &g.lc}) v->resize(periodic ? entries + kRunBlock : 0);
  g.position.resize(entries);
  for (const std::uint32_t i : build.images_in_cell_order) {
    for (std::uint64_t b = 0; b < 3; ++b) {
      const std::uint32_t at = g.start.place(cells[i] + b * band_step);
      g.x[at] = images[i].raw[0];
      g.y[at] = images[i].raw[1];
      g.z[at] = images[i].raw[2];
      g.position[at] = images[i].position;
      if (!periodic) continue;
      g.la[at] = images[i].lattice[0];
      g.lb[at] = images[i].lattice[1];
      g.lc[at] = images[i].lattice[2];
    }
  }
  for (auto* v : {&g.x, &g.y, &g.z}) std::fill(v->begin() + entries, v->end(), __builtin_inf());
  if (periodic) {
    for (auto* v : {&g.la, &g.lb, &g.lc}) std::fill(v->begin() + entries, v->end(), 0.0);
  }
  g.translated_before.resize(periodic ? entries + 1 : 0);
  if (periodic) {
    std::uint32_t translated = 0;
    for (std::size_t e = 0; e < entries; ++e) {
      g.translated_before[e] = translated;
      translated += (g.la[e] != 0.0) | (g.lb[e] != 0.0) | (g.lc[e] != 0.0);
    }
    g.translated_before[entries] = translated;
  }
}

}  // namespace

template <typename T>
bool build_trajectory_grid(const TrajectorySearch& s, const T* coords, const PeriodicBox* box,
                           TrajectoryGridBuild& build, TrajectoryGrid& g) {
  enter_images(s, coords, box, build.images);
  if (!size_grid(build.images, s.distance_cutoff, g)) return false;
  fill_grid(box != nullptr, build, g);
  return true;
}

template bool build_trajectory_grid(const TrajectorySearch&, const float*, const PeriodicBox*,
                                    TrajectoryGridBuild&, TrajectoryGrid&);
template bool build_trajectory_grid(const TrajectorySearch&, const double*, const PeriodicBox*,
                                    TrajectoryGridBuild&, TrajectoryGrid&);

}  // namespace brenvox
