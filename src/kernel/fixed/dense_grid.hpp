#pragma once
// The dense grid: a layout of one frame's acceptors for boxes with few empty cells, which is
// any liquid or solvated system.
//
// Band cell (x, b, y) holds every acceptor whose cell is (x, y, b - 1 ... b + 1), ordered by z
// and then by list position; band cells are stored one after the other in (x, b, y) order. The
// 27 cells around a hydrogen in cell (hx, hy, hz) are therefore three runs of consecutive
// entries: band cells (hx + dx, hz, hy - 1 ... hy + 1) for dx = -1, 0, +1. Taken run after run,
// the entries come by dx, then dy, then dz, then list position: the rows' own order, so that a
// pair's accepted entries need no sorting. Each acceptor is entered three times.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kernel/bucket_starts.hpp"
#include "kernel/fixed/acceptor_cells.hpp"
#include "kernel/fixed/cell_key.hpp"

namespace brenvox {

// Entries past the last one, at infinity, so that vector loads may run over the end.
inline constexpr std::size_t kDenseGridPadding = 16;

struct DenseGridShape {
  CellKey min, max;                 // the acceptors' cells
  std::uint64_t n_x, n_bands, n_y;  // bands run from min.z - 1 to max.z + 1

  std::uint64_t n_band_cells() const { return n_x * n_bands * n_y; }
  std::uint64_t band_cell(std::int64_t x, std::int64_t band, std::int64_t y) const {
    return (std::uint64_t(x - min.x) * n_bands + std::uint64_t(band - (std::int64_t{min.z} - 1))) *
               n_y +
           std::uint64_t(y - min.y);
  }
};

// The shape for these acceptors, or nothing when a dense grid does not suit them: a box with
// too many empty cells, or more entries than 32-bit positions can number.
std::optional<DenseGridShape> plan_dense_grid(const AcceptorCells& cells);

struct DenseGrid {
  DenseGridShape shape;
  std::vector<std::uint32_t> start;     // band cell c holds entries start[c] ... start[c + 1] - 1
  std::vector<double> x, y, z;          // per entry, then kDenseGridPadding entries at infinity
  std::vector<std::uint64_t> acceptor;  // per entry: the acceptor's atom index
};

// Storage for the build, kept from frame to frame.
struct DenseGridBuild {
  std::vector<std::uint32_t> first_band_cell;  // per acceptor: band cell (x, z - 1, y)
  BucketStarts by_cell;
  std::vector<std::uint32_t> in_cell_order;  // acceptors sorted by that, list order within one
  BucketStarts band_cells;
};

void build_dense_grid(const DenseGridShape& shape, const AcceptorCells& cells,
                      std::span<const std::uint64_t> acceptors, DenseGridBuild& work,
                      DenseGrid& grid);

}  // namespace brenvox
