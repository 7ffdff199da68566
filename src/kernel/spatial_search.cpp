// The grid search. Records must come pair by pair, and within a pair in the order of the
// acceptor's neighbour cell (dx, then dy, then dz) and then its list position. Only accepted
// acceptors carry that order, and they are few, so the search gathers candidates in whatever
// order is fastest and sorts each pair's accepted acceptors by that key afterwards.
//
// Neighbour keys are formed in 64-bit arithmetic rather than with 32-bit wrap-around: a cell
// reached only through the wrap lies at the opposite end of an axis, more than 5e8 units away
// (or at infinity), so none of its acceptors can pass the distance test and no row changes.

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include "kernel/baker_hubbard.hpp"
#include "kernel/cell_key.hpp"
#include "kernel/distance_lanes.hpp"
#include "kernel/frame_collector.hpp"

namespace brenvox {

namespace {

struct GridEntry {
  double xyz[3];
  std::uint64_t atom;
};

struct AxisRange {
  std::int64_t lo;
  std::int64_t hi;
};

// Cells within one step of `centre` that also lie in [min, max].
inline AxisRange neighbour_range(std::int64_t centre, std::int64_t min, std::int64_t max) {
  return AxisRange{std::max(centre - 1, min), std::min(centre + 1, max)};
}

struct PairContext {
  std::uint64_t frame;
  const Pair* pair;
  const double* donor;
  const double* hydrogen;
  BondBuffer* out;
};

inline void test_candidates(const GridEntry* begin, const GridEntry* end,
                            const PairContext& ctx) {
  for (const GridEntry* e = begin; e != end; ++e) {
    if (e->atom == ctx.pair->donor) continue;
    if (is_hydrogen_bond(ctx.donor, ctx.hydrogen, e->xyz)) {
      ctx.out->push_record(ctx.frame, ctx.pair->donor, ctx.pair->hydrogen, e->atom);
    }
  }
}

struct AcceptorKeys {
  std::vector<CellKey> keys;  // in acceptor-list order
  CellKey min;
  CellKey max;
};

void compute_acceptor_keys(const FrameView& view, std::span<const std::uint64_t> acceptors,
                           AcceptorKeys& result) {
  result.keys.resize(acceptors.size());
  CellKey lo{INT32_MAX, INT32_MAX, INT32_MAX};
  CellKey hi{INT32_MIN, INT32_MIN, INT32_MIN};
  for (std::size_t i = 0; i < acceptors.size(); ++i) {
    const CellKey k = cell_key(view.atom(acceptors[i]));
    result.keys[i] = k;
    lo = CellKey{std::min(lo.x, k.x), std::min(lo.y, k.y), std::min(lo.z, k.z)};
    hi = CellKey{std::max(hi.x, k.x), std::max(hi.y, k.y), std::max(hi.z, k.z)};
  }
  result.min = lo;
  result.max = hi;
}

// Dense grid over the acceptors' bounding box of cells: used when that box holds few cells
// per acceptor, which is the case for any liquid or solvated system.
constexpr std::uint64_t kDenseCellsPerAcceptor = 16;
constexpr std::uint64_t kDenseCellsMinimum = 4096;

// Cells of the band grid below (the acceptors' box widened by one cell on each side in y), or
// 0 when the box is too sparse or too large for it.
std::uint64_t band_cell_count(const AcceptorKeys& k, std::size_t n_acceptors) {
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
    b.column_cell[i] = static_cast<std::uint32_t>(column_index(k.keys[i].x, k.keys[i].z, k.keys[i].y));
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
BRENVOX_TARGET_CLONES void search_pairs(const BandGrid& g, std::span<const std::uint64_t> acceptors,
                                        std::span<const PairTask> tasks,
                                        std::vector<Hit>& pair_hits,
                                        std::vector<std::uint64_t>& hits, HitRange* ranges) {
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
}

// Working storage of the dense search. Each thread keeps it from frame to frame, so that a
// trajectory does not pay for fresh pages in every frame; the frame loop releases it.
struct DenseScratch {
  AcceptorKeys acceptor_keys;
  BandBuild build;
  BandGrid grid;
  PairOrder pair_order;
  std::vector<PairTask> tasks;
  std::vector<Hit> pair_hits;
  std::vector<std::uint64_t> hits;
  std::vector<HitRange> ranges;
};

DenseScratch& dense_scratch() {
  thread_local DenseScratch scratch;
  return scratch;
}

void search_dense(const FrameView& view, std::uint64_t frame, std::span<const Pair> pairs,
                  std::span<const std::uint64_t> acceptors, std::uint64_t n_cells,
                  DenseScratch& s, BondBuffer& out) {
  build_band_grid(view, acceptors, s.acceptor_keys, n_cells, s.grid, s.build);
  order_pairs_by_cell(view, pairs, s.grid, n_cells, s.pair_order, s.tasks);
  s.hits.clear();
  s.ranges.assign(pairs.size(), HitRange{0, 0});
  search_pairs(s.grid, acceptors, s.tasks, s.pair_hits, s.hits, s.ranges.data());
  // The rows in pair-list order.
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const HitRange r = s.ranges[i];
    for (std::uint64_t h = r.first; h < r.first + r.count; ++h) {
      out.push_record(frame, pairs[i].donor, pairs[i].hydrogen, s.hits[h]);
    }
  }
}

// Fallback for acceptors scattered over a huge box (far-flung or saturated coordinates):
// entries sorted by cell, and a hash table from (x, y) column to the column's run of entries.
class ColumnTable {
 public:
  struct Run {
    std::size_t begin = 0;
    std::size_t end = 0;
  };

  explicit ColumnTable(std::size_t n_columns) {
    std::size_t capacity = 16;
    while (capacity < 2 * n_columns) capacity *= 2;
    slots_.resize(capacity);
    mask_ = capacity - 1;
  }

  Run& insert(std::int32_t x, std::int32_t y) {
    const std::uint64_t key = pack(x, y);
    for (std::size_t i = hash(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (!s.used) {
        s.used = true;
        s.key = key;
        return s.run;
      }
      if (s.key == key) return s.run;
    }
  }

  const Run* find(std::int64_t x, std::int64_t y) const {
    if (x < INT32_MIN || x > INT32_MAX || y < INT32_MIN || y > INT32_MAX) return nullptr;
    const std::uint64_t key = pack(std::int32_t(x), std::int32_t(y));
    for (std::size_t i = hash(key);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (!s.used) return nullptr;
      if (s.key == key) return &s.run;
    }
  }

 private:
  struct Slot {
    std::uint64_t key = 0;
    Run run;
    bool used = false;
  };

  static std::uint64_t pack(std::int32_t x, std::int32_t y) {
    return (std::uint64_t(std::uint32_t(x)) << 32) | std::uint32_t(y);
  }
  std::size_t hash(std::uint64_t key) const {
    return std::size_t((key * 0x9E3779B97F4A7C15ull) >> 17) & mask_;
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

void search_sparse(const FrameView& view, std::uint64_t frame, std::span<const Pair> pairs,
                   std::span<const std::uint64_t> acceptors, const AcceptorKeys& k,
                   BondBuffer& out) {
  const std::size_t n = acceptors.size();
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  const auto key_less = [&](std::size_t a, std::size_t b) {
    const CellKey& ka = k.keys[a];
    const CellKey& kb = k.keys[b];
    if (ka.x != kb.x) return ka.x < kb.x;
    if (ka.y != kb.y) return ka.y < kb.y;
    return ka.z < kb.z;
  };
  std::stable_sort(order.begin(), order.end(), key_less);

  std::vector<GridEntry> entries(n);
  std::vector<std::int32_t> entry_z(n);
  std::size_t n_columns = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t i = order[j];
    std::memcpy(entries[j].xyz, view.atom(acceptors[i]), sizeof entries[j].xyz);
    entries[j].atom = acceptors[i];
    entry_z[j] = k.keys[i].z;
    if (j == 0 || k.keys[i].x != k.keys[order[j - 1]].x || k.keys[i].y != k.keys[order[j - 1]].y) {
      ++n_columns;
    }
  }
  ColumnTable columns(n_columns);
  for (std::size_t j = 0; j < n; ++j) {
    const CellKey& key = k.keys[order[j]];
    ColumnTable::Run& run = columns.insert(key.x, key.y);
    if (run.end == 0) run.begin = j;
    run.end = j + 1;
  }

  const GridEntry* base = entries.data();
  for (const Pair& pair : pairs) {
    const double* donor = view.atom(pair.donor);
    const double* hydrogen = view.atom(pair.hydrogen);
    const CellKey h = cell_key(hydrogen);
    const PairContext ctx{frame, &pair, donor, hydrogen, &out};
    const std::int64_t z_lo = std::int64_t(h.z) - 1;
    const std::int64_t z_hi = std::int64_t(h.z) + 1;
    for (std::int64_t x = std::int64_t(h.x) - 1; x <= std::int64_t(h.x) + 1; ++x) {
      for (std::int64_t y = std::int64_t(h.y) - 1; y <= std::int64_t(h.y) + 1; ++y) {
        const ColumnTable::Run* run = columns.find(x, y);
        if (run == nullptr) continue;
        const std::int32_t* zb = entry_z.data() + run->begin;
        const std::int32_t* ze = entry_z.data() + run->end;
        const std::int32_t* first =
            std::lower_bound(zb, ze, z_lo, [](std::int32_t z, std::int64_t v) { return z < v; });
        const std::int32_t* last =
            std::upper_bound(first, ze, z_hi, [](std::int64_t v, std::int32_t z) { return v < z; });
        test_candidates(base + (first - entry_z.data()), base + (last - entry_z.data()), ctx);
      }
    }
  }
}

}  // namespace

void collect_bonds_spatial_frame(CoordView xyz, std::uint64_t frame, std::uint64_t frame_offset,
                                 std::span<const Pair> pairs,
                                 std::span<const std::uint64_t> acceptors, BondBuffer& out) {
  if (pairs.empty() || acceptors.empty()) return;
  const FrameView view(xyz, frame_offset);
  DenseScratch& scratch = dense_scratch();
  compute_acceptor_keys(view, acceptors, scratch.acceptor_keys);
  const std::uint64_t n_cells = pairs.size() < UINT32_MAX
                                    ? band_cell_count(scratch.acceptor_keys, acceptors.size())
                                    : 0;
  if (n_cells != 0) {
    search_dense(view, frame, pairs, acceptors, n_cells, scratch, out);
  } else {
    search_sparse(view, frame, pairs, acceptors, scratch.acceptor_keys, out);
  }
}

void release_spatial_search_storage() noexcept { dense_scratch() = DenseScratch{}; }

}  // namespace brenvox
