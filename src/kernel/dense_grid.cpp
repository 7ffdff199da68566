#include "kernel/dense_grid.hpp"

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

// Cells numbered with y fastest, then z, then x, so that the three cells of a band cell are
// consecutive.
struct SortOrder {
  const DenseGridShape& shape;
  std::uint64_t bucket(std::int64_t x, std::int64_t y, std::int64_t z) const {
    const std::uint64_t n_y = shape.n_bands - 2;
    return (std::uint64_t(x - shape.min.x) * shape.n_z + std::uint64_t(z - shape.min.z)) * n_y +
           std::uint64_t(y - shape.min.y);
  }
};

void sort_by_cell(const DenseGridShape& shape, const AcceptorCells& cells, DenseGridBuild& work) {
  const SortOrder order{shape};
  const std::size_t n = cells.keys.size();
  work.bucket.resize(n);
  work.buckets.reset(shape.n_x * shape.n_z * (shape.n_bands - 2));
  for (std::size_t i = 0; i < n; ++i) {
    const CellKey& k = cells.keys[i];
    work.bucket[i] = static_cast<std::uint32_t>(order.bucket(k.x, k.y, k.z));
    work.buckets.count(work.bucket[i]);
  }
  work.buckets.finish_counting();
  work.staged.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    DenseGridBuild::StagedEntry& e = work.staged[work.buckets.place(work.bucket[i])];
    std::memcpy(e.xyz, cells.position(i), sizeof e.xyz);
    e.position = i;
  }
}

// Every band cell copies the one range of sorted acceptors that its three cells make up.
void fill_band_cells(const DenseGridShape& shape, const DenseGridBuild& work, DenseGrid& g) {
  const SortOrder order{shape};
  std::uint32_t entry = 0;
  std::uint64_t band_cell = 0;
  for (std::int64_t x = shape.min.x; x <= shape.max.x; ++x) {
    for (std::int64_t band = std::int64_t{shape.min.y} - 1; band <= std::int64_t{shape.max.y} + 1;
         ++band) {
      const std::int64_t y_lo = std::max<std::int64_t>(band - 1, shape.min.y);
      const std::int64_t y_hi = std::min<std::int64_t>(band + 1, shape.max.y);
      for (std::int64_t z = shape.min.z; z <= shape.max.z; ++z, ++band_cell) {
        g.start[band_cell] = entry;
        if (y_lo > y_hi) continue;
        const std::uint32_t to = work.buckets.end(order.bucket(x, y_hi, z));
        for (std::uint32_t j = work.buckets.begin(order.bucket(x, y_lo, z)); j < to; ++j, ++entry) {
          const DenseGridBuild::StagedEntry& e = work.staged[j];
          g.x[entry] = e.xyz[0];
          g.y[entry] = e.xyz[1];
          g.z[entry] = e.xyz[2];
          g.position[entry] = static_cast<std::uint32_t>(e.position);
        }
      }
    }
  }
  g.start[band_cell] = entry;
}

}  // namespace

std::optional<DenseGridShape> plan_dense_grid(const AcceptorCells& cells) {
  const std::size_t n = cells.keys.size();
  if (n == 0 || n >= UINT32_MAX / 3) return std::nullopt;
  const DenseGridShape s{cells.min, cells.max, extent(cells.min.x, cells.max.x),
                         extent(cells.min.y, cells.max.y) + 2, extent(cells.min.z, cells.max.z)};
  const std::optional<std::uint64_t> n_xy = checked_product(s.n_x, s.n_bands);
  const std::optional<std::uint64_t> n_band_cells =
      n_xy ? checked_product(*n_xy, s.n_z) : std::nullopt;
  const std::uint64_t limit = std::max(kBandCellsPerAcceptor * n, kMinimumBandCells);
  if (!n_band_cells || *n_band_cells > limit || *n_band_cells >= UINT32_MAX) return std::nullopt;
  return s;
}

void build_dense_grid(const DenseGridShape& shape, const AcceptorCells& cells, DenseGridBuild& work,
                      DenseGrid& grid) {
  grid.shape = shape;
  sort_by_cell(shape, cells, work);
  const std::size_t entries = 3 * cells.keys.size();
  grid.start.resize(shape.n_band_cells() + 1);
  grid.x.resize(entries + kDenseGridPadding);
  grid.y.resize(entries + kDenseGridPadding);
  grid.z.resize(entries + kDenseGridPadding);
  grid.position.resize(entries);
  fill_band_cells(shape, work, grid);
  for (std::vector<double>* axis : {&grid.x, &grid.y, &grid.z}) {
    std::fill(axis->begin() + entries, axis->end(), __builtin_inf());
  }
}

}  // namespace brenvox
