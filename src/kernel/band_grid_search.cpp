#include "kernel/band_grid_search.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "kernel/cell_key.hpp"
#include "kernel/distance_lanes.hpp"

namespace brenvox {

namespace {

// Dense grid over the acceptors' bounding box of cells: used when that box holds few cells
// per acceptor, which is the case for any liquid or solvated system.
constexpr std::uint64_t kDenseCellsPerAcceptor = 16;
constexpr std::uint64_t kDenseCellsMinimum = 4096;

// Cells of the band grid below (the acceptors' box widened by one cell on each side in y), or
// 0 when the box is too sparse or too large for it.
std::uint64_t dense_band_cells(const AcceptorKeys& k, std::size_t n_acceptors) {
  const std::uint64_t nx = std::uint64_t(std::int64_t(k.max.x) - k.min.x) + 1;
  const std::uint64_t ny = std::uint64_t(std::int64_t(k.max.y) - k.min.y) + 3;
  const std::uint64_t nz = std::uint64_t(std::int64_t(k.max.z) - k.min.z) + 1;
  const std::uint64_t limit =
      std::max<std::uint64_t>(kDenseCellsPerAcceptor * n_acceptors, kDenseCellsMinimum);
  std::uint64_t cells = 0;
  if (n_acceptors >= UINT32_MAX / 3 || __builtin_mul_overflow(nx, ny, &cells) ||
      __builtin_mul_overflow(cells, nz, &cells) || cells > limit || cells >= UINT32_MAX) {
    return 0;
  }
  return cells;
}

// Every acceptor is entered three times: band cell (x, y, z) holds the acceptors of the cells
// (x, y - 1 ... y + 1, z). The 27 cells around a hydrogen in cell (hx, hy, hz) are then three
// runs of consecutive entries, band cells (hx + dx, hy, hz - 1 ... hz + 1) for dx = -1, 0, 1.
// Coordinates are stored per axis, padded with one block of lanes at infinity.
struct BandGrid {
  std::int64_t min_x, max_x, min_y, max_y, min_z, max_z;  // the acceptors' cells
  std::uint64_t n_bands, nz;
  std::vector<std::uint32_t> start;  // band cell c holds entries start[c] ... start[c + 1] - 1
  std::vector<double> x, y, z;
  std::vector<std::uint32_t> position;  // in the acceptor list

  // Band index y covers cells y - 1 ... y + 1 and runs from min_y - 1 to max_y + 1.
  std::uint64_t cell_index(std::int64_t cx, std::int64_t band, std::int64_t cz) const {
    return (std::uint64_t(cx - min_x) * n_bands + std::uint64_t(band - (min_y - 1))) * nz +
           std::uint64_t(cz - min_z);
  }
};

constexpr std::size_t kRunBlock = 2 * kLanes;  // entries tested per step along a run

// One acceptor as the counting sort places it: a single cache line to write.
struct StagedEntry {
  double xyz[3];
  std::uint64_t position;
};

struct BandBuild {
  std::vector<std::uint32_t> column_cell;  // per acceptor
  std::vector<std::uint32_t> cell_start;
  std::vector<StagedEntry> staged;
};

// The acceptors are first sorted by cell with y varying fastest, so that the three cells of a
// band cell are one contiguous range; each band cell is then a single copy.
void build_band_grid(const FrameView& view, std::span<const std::uint64_t> acceptors,
                     const AcceptorKeys& k, std::uint64_t n_cells, BandGrid& g, BandBuild& b) {
  g.min_x = k.min.x;
  g.max_x = k.max.x;
  g.min_y = k.min.y;
  g.max_y = k.max.y;
  g.min_z = k.min.z;
  g.max_z = k.max.z;
  g.n_bands = std::uint64_t(g.max_y - g.min_y) + 3;
  g.nz = std::uint64_t(g.max_z - g.min_z) + 1;
  const std::uint64_t nx = std::uint64_t(g.max_x - g.min_x) + 1;
  const std::uint64_t ny = g.n_bands - 2;
  const auto column_index = [&](std::int64_t cx, std::int64_t cz, std::int64_t cy) {
    return (std::uint64_t(cx - g.min_x) * g.nz + std::uint64_t(cz - g.min_z)) * ny +
           std::uint64_t(cy - g.min_y);
  };
  const std::size_t n = acceptors.size();
  const std::uint64_t n_columns_cells = nx * g.nz * ny;
  // A counting sort: counts at cell_start[c + 1], prefix sums, then a scatter that leaves
  // cell_start[c] at the first acceptor of cell c.
  b.column_cell.resize(n);
  b.cell_start.assign(n_columns_cells + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    b.column_cell[i] =
        static_cast<std::uint32_t>(column_index(k.keys[i].x, k.keys[i].z, k.keys[i].y));
    ++b.cell_start[b.column_cell[i] + 1];
  }
  std::uint32_t running = 0;
  for (std::uint64_t c = 1; c <= n_columns_cells; ++c) {
    running = std::exchange(b.cell_start[c], running) + running;
  }
  b.staged.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    StagedEntry& e = b.staged[b.cell_start[b.column_cell[i] + 1]++];
    std::memcpy(e.xyz, view.atom(acceptors[i]), sizeof e.xyz);
    e.position = i;
  }

  const std::size_t entries = 3 * n;
  g.start.resize(n_cells + 1);
  g.x.resize(entries + kRunBlock);
  g.y.resize(entries + kRunBlock);
  g.z.resize(entries + kRunBlock);
  g.position.resize(entries);
  std::uint32_t out = 0;
  std::uint64_t band_cell = 0;
  for (std::int64_t cx = g.min_x; cx <= g.max_x; ++cx) {
    for (std::int64_t band = g.min_y - 1; band <= g.max_y + 1; ++band) {
      const std::int64_t y_lo = std::max(band - 1, g.min_y);
      const std::int64_t y_hi = std::min(band + 1, g.max_y);
      for (std::int64_t cz = g.min_z; cz <= g.max_z; ++cz, ++band_cell) {
        g.start[band_cell] = out;
        if (y_lo > y_hi) continue;
        const std::uint32_t from = b.cell_start[column_index(cx, cz, y_lo)];
        const std::uint32_t to = b.cell_start[column_index(cx, cz, y_hi) + 1];
        for (std::uint32_t j = from; j < to; ++j, ++out) {
          g.x[out] = b.staged[j].xyz[0];
          g.y[out] = b.staged[j].xyz[1];
          g.z[out] = b.staged[j].xyz[2];
          g.position[out] = static_cast<std::uint32_t>(b.staged[j].position);
        }
      }
    }
  }
  g.start[n_cells] = out;
  std::fill(g.x.begin() + entries, g.x.end(), __builtin_inf());
  std::fill(g.y.begin() + entries, g.y.end(), __builtin_inf());
  std::fill(g.z.begin() + entries, g.z.end(), __builtin_inf());
}

// A pair as the search visits it, with its coordinates copied alongside: one cache line.
struct alignas(64) PairTask {
  double hydrogen[3];
  double donor[3];
  std::uint32_t pair_position;
  CellKey cell;
};

struct PairOrder {
  std::vector<std::uint32_t> cell;
  std::vector<std::uint32_t> start;
};

// Pairs in the order of their hydrogen's band cell, so that consecutive searches read entries
// that are already cached; list order within a cell. A pair whose hydrogen lies more than one
// cell beyond the acceptors' cells has no candidate and is left out.
void order_pairs_by_cell(const FrameView& view, std::span<const Pair> pairs, const BandGrid& g,
                         std::uint64_t n_cells, PairOrder& order, std::vector<PairTask>& tasks) {
  constexpr std::uint32_t kNoCandidates = UINT32_MAX;
  order.cell.resize(pairs.size());
  order.start.assign(n_cells + 1, 0);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    view.atom(pairs[i].donor);
    const CellKey h = cell_key(view.atom(pairs[i].hydrogen));
    if (h.x < g.min_x - 1 || h.x > g.max_x + 1 || h.y < g.min_y - 1 || h.y > g.max_y + 1 ||
        h.z < g.min_z - 1 || h.z > g.max_z + 1) {
      order.cell[i] = kNoCandidates;
      continue;
    }
    order.cell[i] = static_cast<std::uint32_t>(
        g.cell_index(std::clamp<std::int64_t>(h.x, g.min_x, g.max_x), h.y,
                     std::clamp<std::int64_t>(h.z, g.min_z, g.max_z)));
    ++order.start[order.cell[i] + 1];
  }
  std::uint32_t n_tasks = 0;
  for (std::uint64_t c = 1; c <= n_cells; ++c) {
    n_tasks = std::exchange(order.start[c], n_tasks) + n_tasks;
  }
  tasks.resize(n_tasks);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (order.cell[i] == kNoCandidates) continue;
    PairTask& t = tasks[order.start[order.cell[i] + 1]++];
    const double* hydrogen = view.atom(pairs[i].hydrogen);
    std::memcpy(t.hydrogen, hydrogen, sizeof t.hydrogen);
    std::memcpy(t.donor, view.atom(pairs[i].donor), sizeof t.donor);
    t.pair_position = static_cast<std::uint32_t>(i);
    t.cell = cell_key(hydrogen);
  }
}

// Where a pair's accepted acceptors lie in the frame's hit list.
struct HitRange {
  std::uint64_t first;
  std::uint64_t count;
};

struct Hit {
  std::uint64_t order;  // neighbour number, then list position
  std::uint64_t atom;
};

// Tests each pair against its three runs, a block of entries at a time, entirely in vector
// lanes: only accepted acceptors cost a branch.
// A failure to grow the hit lists comes back as an exception_ptr (see distance_lanes.hpp).
BRENVOX_TARGET_CLONES std::exception_ptr search_pairs(
    const BandGrid& g, std::span<const std::uint64_t> acceptors, std::span<const PairTask> tasks,
    std::vector<Hit>& pair_hits, std::vector<std::uint64_t>& hits, HitRange* ranges) noexcept {
  try {
    const std::uint32_t* start = g.start.data();
    const double* ex = g.x.data();
    const double* ey = g.y.data();
    const double* ez = g.z.data();
    for (const PairTask& t : tasks) {
      PairLanes lanes;
      if (!prepare_pair(t.donor, t.hydrogen, lanes)) continue;
      pair_hits.clear();
      const std::int64_t x_lo = std::max(std::int64_t{t.cell.x} - 1, g.min_x);
      const std::int64_t x_hi = std::min(std::int64_t{t.cell.x} + 1, g.max_x);
      const std::int64_t z_lo = std::max(std::int64_t{t.cell.z} - 1, g.min_z);
      const std::int64_t z_hi = std::min(std::int64_t{t.cell.z} + 1, g.max_z);
      for (std::int64_t x = x_lo; x <= x_hi; ++x) {
        const std::uint64_t run = g.cell_index(x, t.cell.y, z_lo);
        const std::uint32_t end = start[run + std::uint64_t(z_hi - z_lo) + 1];
        std::uint32_t j = start[run];
        do {
          unsigned bits =
              lane_bits(bonded_lanes(lanes, ex + j, ey + j, ez + j)) |
              lane_bits(bonded_lanes(lanes, ex + j + kLanes, ey + j + kLanes, ez + j + kLanes))
                  << kLanes;
          bits &= (1u << std::min<std::uint32_t>(end - j, kRunBlock)) - 1;
          for (; bits != 0; bits &= bits - 1) {
            const std::uint32_t k = j + static_cast<std::uint32_t>(__builtin_ctz(bits));
            const std::int64_t number = 9 * (x - t.cell.x + 1) +
                                        3 * (cell_coordinate(ey[k]) - std::int64_t(t.cell.y) + 1) +
                                        (cell_coordinate(ez[k]) - std::int64_t(t.cell.z) + 1);
            pair_hits.push_back(
                Hit{(std::uint64_t(number) << 32) | g.position[k], acceptors[g.position[k]]});
          }
          j += kRunBlock;
        } while (j < end);
      }
      // Few hits per pair: insertion sort.
      for (std::size_t i = 1; i < pair_hits.size(); ++i) {
        for (std::size_t m = i; m > 0 && pair_hits[m].order < pair_hits[m - 1].order; --m) {
          std::swap(pair_hits[m], pair_hits[m - 1]);
        }
      }
      ranges[t.pair_position] = HitRange{hits.size(), pair_hits.size()};
      for (const Hit& hit : pair_hits) hits.push_back(hit.atom);
    }
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

}  // namespace

struct BandSearchStorage {
  BandBuild build;
  BandGrid grid;
  PairOrder pair_order;
  std::vector<PairTask> tasks;
  std::vector<Hit> pair_hits;
  std::vector<std::uint64_t> hits;
  std::vector<HitRange> ranges;
};

std::uint64_t band_cell_count(const AcceptorKeys& keys, std::size_t n_acceptors,
                              std::size_t n_pairs) {
  // Pair positions are kept in 32 bits.
  return n_pairs < UINT32_MAX ? dense_band_cells(keys, n_acceptors) : 0;
}

void BandSearchStorageDeleter::operator()(BandSearchStorage* storage) const noexcept {
  delete storage;
}

BandSearchStoragePtr make_band_search_storage() {
  return BandSearchStoragePtr(new BandSearchStorage());
}

void search_band_grid(const FrameView& view, std::uint64_t frame, std::span<const Pair> pairs,
                      std::span<const std::uint64_t> acceptors, const AcceptorKeys& keys,
                      std::uint64_t n_cells, BandSearchStorage& s, BondBuffer& out) {
  build_band_grid(view, acceptors, keys, n_cells, s.grid, s.build);
  order_pairs_by_cell(view, pairs, s.grid, n_cells, s.pair_order, s.tasks);
  s.hits.clear();
  s.ranges.assign(pairs.size(), HitRange{0, 0});
  if (std::exception_ptr failure =
          search_pairs(s.grid, acceptors, s.tasks, s.pair_hits, s.hits, s.ranges.data())) {
    std::rethrow_exception(failure);
  }
  // The rows in pair-list order.
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const HitRange r = s.ranges[i];
    for (std::uint64_t h = r.first; h < r.first + r.count; ++h) {
      out.push_record(frame, pairs[i].donor, pairs[i].hydrogen, s.hits[h]);
    }
  }
}

}  // namespace brenvox
