#include "kernel/fixed/dense_grid.hpp"

#include <algorithm>
#include <cstring>

#include "kernel/checked_math.hpp"

namespace brenvox {

namespace {

// A dense grid may hold this many band cells per acceptor, and kMinimumBandCells in any case.
constexpr std::uint64_t kBandCellsPerAcceptor = 16;
constexpr std::uint64_t kMinimumBandCells = 4096;

std::uint64_t extent(std::int32_t lo, std::int32_t hi) {
  return std::uint64_t(std::int64_t{hi} - lo) + 1;
}

}  // namespace

std::optional<DenseGridShape> plan_dense_grid(const AcceptorCells& cells) {
  const std::size_t n = cells.keys.size();
  if (n == 0 || n >= UINT32_MAX / 3) return std::nullopt;
  const DenseGridShape s{cells.min, cells.max, extent(cells.min.x, cells.max.x),
                         extent(cells.min.z, cells.max.z) + 2, extent(cells.min.y, cells.max.y)};
  const std::optional<std::uint64_t> n_x_bands = checked_product(s.n_x, s.n_bands);
  const std::optional<std::uint64_t> n_band_cells =
      n_x_bands ? checked_product(*n_x_bands, s.n_y) : std::nullopt;
  const std::uint64_t limit = std::max(kBandCellsPerAcceptor * n, kMinimumBandCells);
  if (!n_band_cells || *n_band_cells > limit || *n_band_cells >= UINT32_MAX) return std::nullopt;
  return s;
}

namespace {

// Counts every acceptor into its three band cells, and sorts the acceptors by the first of
// them, list order within one: within a band cell, by z and then list position.
void sort_acceptors_by_cell(const DenseGridShape& shape, const AcceptorCells& cells,
                            DenseGridBuild& work) {
  const std::size_t n = cells.keys.size();
  const std::uint64_t band_step = shape.n_y;  // from band cell (x, b, y) to (x, b + 1, y)
  work.first_band_cell.resize(n);
  work.band_cells.reset(shape.n_band_cells());
  work.by_cell.reset(shape.n_band_cells());
  for (std::size_t i = 0; i < n; ++i) {
    const CellKey& k = cells.keys[i];
    const std::uint64_t first = shape.band_cell(k.x, std::int64_t{k.z} - 1, k.y);
    work.first_band_cell[i] = static_cast<std::uint32_t>(first);
    work.by_cell.count(first);
    for (std::uint64_t d = 0; d < 3; ++d) work.band_cells.count(first + d * band_step);
  }
  work.by_cell.finish_counting();
  work.in_cell_order.resize(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    work.in_cell_order[work.by_cell.place(work.first_band_cell[i])] = i;
  }
  work.band_cells.finish_counting();
}

// Places each acceptor's three entries. Taken in that order, each copy lands just after the
// previous acceptor's, and each band cell's entries come by z, then list position.
void place_entries(const DenseGridShape& shape, const AcceptorCells& cells,
                   std::span<const std::uint64_t> acceptors, DenseGridBuild& work,
                   DenseGrid& grid) {
  const std::size_t n = cells.keys.size();
  const std::uint64_t band_step = shape.n_y;
  const std::size_t entries = 3 * n;
  grid.x.resize(entries + kDenseGridPadding);
  grid.y.resize(entries + kDenseGridPadding);
  grid.z.resize(entries + kDenseGridPadding);
  grid.acceptor.resize(entries);
  constexpr std::size_t kAhead = 8;
  for (std::size_t sorted = 0; sorted < n; ++sorted) {
    if (sorted + kAhead < n) {
      const std::uint32_t ahead = work.in_cell_order[sorted + kAhead];
      __builtin_prefetch(cells.position(ahead));
      __builtin_prefetch(&acceptors[ahead]);
    }
    const std::uint32_t i = work.in_cell_order[sorted];
    const double* p = cells.position(i);
    for (std::uint64_t d = 0; d < 3; ++d) {
      const std::uint32_t e = work.band_cells.place(work.first_band_cell[i] + d * band_step);
      grid.x[e] = p[0];
      grid.y[e] = p[1];
      grid.z[e] = p[2];
      grid.acceptor[e] = acceptors[i];
    }
  }
  for (std::vector<double>* axis : {&grid.x, &grid.y, &grid.z}) {
    std::fill(axis->begin() + entries, axis->end(), __builtin_inf());
  }
}

}  // namespace

// A counting sort over band cells, each acceptor placed in its three.
void build_dense_grid(const DenseGridShape& shape, const AcceptorCells& cells,
                      std::span<const std::uint64_t> acceptors, DenseGridBuild& work,
                      DenseGrid& grid) {
  grid.shape = shape;
  sort_acceptors_by_cell(shape, cells, work);
  place_entries(shape, cells, acceptors, work, grid);
  work.band_cells.swap_starts(grid.start);
}

}  // namespace brenvox
