#pragma once
// The dense grid: a layout of one frame's acceptors for boxes with few empty cells, which is
// any liquid or solvated system.
//
// Band cell (x, b, z) holds every acceptor whose cell is (x, b - 1 ... b + 1, z); band cells
// are stored one after the other in (x, b, z) order. The 27 cells around a hydrogen in cell
// (hx, hy, hz) are therefore three runs of consecutive entries: band cells
// (hx + dx, hy, hz - 1 ... hz + 1) for dx = -1, 0, +1. Each acceptor is entered three times.
//
// Each entry carries an order key from which a hydrogen's neighbour number of the entry's cell
// follows by one addition (see neighbour_key), so that accepted entries are put in the rows'
// order without working out any cell again.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kernel/acceptor_cells.hpp"
#include "kernel/bucket_starts.hpp"
#include "kernel/cell_key.hpp"

namespace brenvox {

// Entries past the last one, at infinity, so that vector loads may run over the end.
inline constexpr std::size_t kDenseGridPadding = 16;

struct DenseGridShape {
  CellKey min, max;                 // the acceptors' cells
  std::uint64_t n_x, n_bands, n_z;  // bands run from min.y - 1 to max.y + 1

  std::uint64_t n_band_cells() const { return n_x * n_bands * n_z; }
  std::uint64_t band_cell(std::int64_t x, std::int64_t band, std::int64_t z) const {
    return (std::uint64_t(x - min.x) * n_bands + std::uint64_t(band - (std::int64_t{min.y} - 1))) *
               n_z +
           std::uint64_t(z - min.z);
  }
};

// The shape for these acceptors, or nothing when a dense grid does not suit them: a box with
// too many empty cells, or more entries than 32-bit positions can number.
std::optional<DenseGridShape> plan_dense_grid(const AcceptorCells& cells);

struct DenseGrid {
  DenseGridShape shape;
  std::vector<std::uint32_t> start;  // band cell c holds entries start[c] ... start[c + 1] - 1
  std::vector<double> x, y, z;       // per entry, then kDenseGridPadding entries at infinity
  // Per entry: (3 (y - band + 1) + (z - min.z)) << 32 | the acceptor's position in the list.
  std::vector<std::uint64_t> order_key;
  std::vector<std::uint64_t> acceptor;  // per entry: the acceptor's atom index

  std::uint32_t position(std::uint32_t entry) const {
    return static_cast<std::uint32_t>(order_key[entry]);
  }
  // For an entry of run dx of hydrogen cell h: 9 (dx + 1) + 3 (dy + 1) + (dz + 1), the
  // neighbour number of the entry's cell, above its list position. Wrapping arithmetic: the
  // number itself lies in 0 ... 26.
  std::uint64_t neighbour_key(std::uint32_t entry, const CellKey& h, int dx) const {
    const std::int64_t shift = 9 * (dx + 1) + 1 - (std::int64_t{h.z} - shape.min.z);
    return order_key[entry] + (std::uint64_t(shift) << 32);
  }

  // The entries of band cells (x, band, first_z ... last_z), all within the shape.
  std::uint32_t run_begin(std::int64_t x, std::int64_t band, std::int64_t first_z) const {
    return start[shape.band_cell(x, band, first_z)];
  }
  std::uint32_t run_end(std::int64_t x, std::int64_t band, std::int64_t last_z) const {
    return start[shape.band_cell(x, band, last_z) + 1];
  }
};

// Storage for the build, kept from frame to frame.
struct DenseGridBuild {
  std::vector<std::uint32_t> first_band_cell;  // per acceptor: band cell (x, y - 1, z)
  BucketStarts by_cell;
  std::vector<std::uint32_t> in_cell_order;  // acceptors sorted by cell, list order within one
  BucketStarts band_cells;
};

void build_dense_grid(const DenseGridShape& shape, const AcceptorCells& cells,
                      std::span<const std::uint64_t> acceptors, DenseGridBuild& work,
                      DenseGrid& grid);

}  // namespace brenvox
