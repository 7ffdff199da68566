// Acceptors are copied, with their coordinates, into one array ordered by cell (x, then y,
// then z) and by list position within a cell. The three z-neighbours of a cell are then one
// contiguous run, so a pair's 27 cells are 9 runs read in exactly the neighbour order, and the
// tests read acceptor coordinates sequentially instead of gathering them across the frame.
//
// Neighbour keys are formed in 64-bit arithmetic rather than with 32-bit wrap-around: a cell
// reached only through the wrap lies at the opposite end of an axis, more than 5e8 units away
// (or at infinity), so none of its acceptors can pass the distance test and no row changes.

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "kernel/baker_hubbard.hpp"
#include "kernel/cell_key.hpp"
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

AcceptorKeys compute_acceptor_keys(const FrameView& view,
                                   std::span<const std::uint64_t> acceptors) {
  AcceptorKeys result;
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
  return result;
}

// Dense grid over the acceptors' bounding box of cells: used when that box holds few cells
// per acceptor, which is the case for any liquid or solvated system.
constexpr std::uint64_t kDenseCellsPerAcceptor = 16;
constexpr std::uint64_t kDenseCellsMinimum = 4096;

std::uint64_t dense_cell_count(const AcceptorKeys& k, std::size_t n_acceptors) {
  const std::uint64_t nx = std::uint64_t(std::int64_t(k.max.x) - k.min.x) + 1;
  const std::uint64_t ny = std::uint64_t(std::int64_t(k.max.y) - k.min.y) + 1;
  const std::uint64_t nz = std::uint64_t(std::int64_t(k.max.z) - k.min.z) + 1;
  const std::uint64_t limit =
      std::max<std::uint64_t>(kDenseCellsPerAcceptor * n_acceptors, kDenseCellsMinimum);
  std::uint64_t cells = 0;
  if (__builtin_mul_overflow(nx, ny, &cells) || __builtin_mul_overflow(cells, nz, &cells) ||
      cells > limit || cells >= UINT32_MAX) {
    return 0;
  }
  return cells;
}

void search_dense(const FrameView& view, std::uint64_t frame, std::span<const Pair> pairs,
                  std::span<const std::uint64_t> acceptors, const AcceptorKeys& k,
                  std::uint64_t n_cells, BondBuffer& out) {
  const std::int64_t min_x = k.min.x, min_y = k.min.y, min_z = k.min.z;
  const std::int64_t max_x = k.max.x, max_y = k.max.y, max_z = k.max.z;
  const std::uint64_t ny = std::uint64_t(max_y - min_y) + 1;
  const std::uint64_t nz = std::uint64_t(max_z - min_z) + 1;
  const std::size_t n = acceptors.size();

  // start[c] .. start[c + 1] is cell c's run of entries, filled by a stable counting sort.
  std::vector<std::uint32_t> cell_of(n);
  std::vector<std::uint32_t> start(n_cells + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const CellKey& key = k.keys[i];
    const std::uint64_t c = ((std::uint64_t(key.x - min_x) * ny) + std::uint64_t(key.y - min_y)) * nz +
                            std::uint64_t(key.z - min_z);
    cell_of[i] = static_cast<std::uint32_t>(c);
    ++start[c + 1];
  }
  std::uint32_t running = 0;
  for (std::uint64_t c = 1; c <= n_cells; ++c) {
    const std::uint32_t count = start[c];
    start[c] = running;
    running += count;
  }
  std::vector<GridEntry> entries(n);
  for (std::size_t i = 0; i < n; ++i) {
    GridEntry& e = entries[start[cell_of[i] + 1]++];
    std::memcpy(e.xyz, view.atom(acceptors[i]), sizeof e.xyz);
    e.atom = acceptors[i];
  }

  const GridEntry* base = entries.data();
  for (const Pair& pair : pairs) {
    const double* donor = view.atom(pair.donor);
    const double* hydrogen = view.atom(pair.hydrogen);
    const CellKey h = cell_key(hydrogen);
    const AxisRange xs = neighbour_range(h.x, min_x, max_x);
    const AxisRange ys = neighbour_range(h.y, min_y, max_y);
    const AxisRange zs = neighbour_range(h.z, min_z, max_z);
    if (xs.lo > xs.hi || ys.lo > ys.hi || zs.lo > zs.hi) continue;
    const PairContext ctx{frame, &pair, donor, hydrogen, &out};
    for (std::int64_t x = xs.lo; x <= xs.hi; ++x) {
      for (std::int64_t y = ys.lo; y <= ys.hi; ++y) {
        const std::uint64_t row =
            (std::uint64_t(x - min_x) * ny + std::uint64_t(y - min_y)) * nz;
        test_candidates(base + start[row + std::uint64_t(zs.lo - min_z)],
                        base + start[row + std::uint64_t(zs.hi - min_z) + 1], ctx);
      }
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
  const AcceptorKeys keys = compute_acceptor_keys(view, acceptors);
  const std::uint64_t n_cells =
      acceptors.size() < std::numeric_limits<std::uint32_t>::max()
          ? dense_cell_count(keys, acceptors.size())
          : 0;
  if (n_cells != 0) {
    search_dense(view, frame, pairs, acceptors, keys, n_cells, out);
  } else {
    search_sparse(view, frame, pairs, acceptors, keys, out);
  }
}

}  // namespace brenvox
