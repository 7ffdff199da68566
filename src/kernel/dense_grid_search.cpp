#include "kernel/dense_grid_search.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "kernel/cell_key.hpp"
#include "kernel/distance_lanes.hpp"

namespace brenvox {

namespace {

// A pair as the search visits it, with its coordinates copied alongside: one cache line.
struct alignas(64) PairTask {
  double hydrogen[3];
  double donor[3];
  std::uint32_t pair_position;
  CellKey cell;
};

// The pairs in the order of their visits: as tasks while the list is small, beyond that as
// list positions whose atoms are read from the frame when visited, asked for ahead. A large task
// list costs more than those scattered reads, above all in threaded calls, whose workers get
// fresh pages for it every time (12.8 MB a frame at 200 000 pairs).
constexpr std::size_t kMaxTaskListPairs = std::size_t{1} << 16;
constexpr std::size_t kAhead = 8;

struct PairVisits {
  bool as_tasks = true;
  std::vector<PairTask> tasks;
  std::vector<std::uint32_t> positions;
};

void fill_task(const FrameView& view, std::span<const Pair> pairs, std::uint32_t position,
               PairTask& t) {
  const double* hydrogen = view.atom(pairs[position].hydrogen);
  std::memcpy(t.hydrogen, hydrogen, sizeof t.hydrogen);
  std::memcpy(t.donor, view.atom(pairs[position].donor), sizeof t.donor);
  t.pair_position = position;
  t.cell = cell_key(hydrogen);
}

// Pairs in the order of their hydrogen's band cell, list order within one. A pair whose
// hydrogen lies more than one cell beyond the acceptors' cells has no candidate and is left out.
void order_pairs_by_cell(const FrameView& view, std::span<const Pair> pairs,
                         const DenseGridShape& shape, std::vector<std::uint32_t>& pair_bucket,
                         BucketStarts& buckets, PairVisits& visits) {
  constexpr std::uint32_t kNoCandidates = UINT32_MAX;
  const auto beyond = [](std::int32_t c, std::int32_t lo, std::int32_t hi) {
    return std::int64_t{c} < std::int64_t{lo} - 1 || std::int64_t{c} > std::int64_t{hi} + 1;
  };
  pair_bucket.resize(pairs.size());
  buckets.reset(shape.n_band_cells());
  // Pairs name atoms in no particular order: their coordinates are asked for ahead.
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i + kAhead < pairs.size()) view.prefetch(pairs[i + kAhead].hydrogen);
    view.atom(pairs[i].donor);
    const CellKey h = cell_key(view.atom(pairs[i].hydrogen));
    if (beyond(h.x, shape.min.x, shape.max.x) || beyond(h.y, shape.min.y, shape.max.y) ||
        beyond(h.z, shape.min.z, shape.max.z)) {
      pair_bucket[i] = kNoCandidates;
      continue;
    }
    pair_bucket[i] = static_cast<std::uint32_t>(shape.band_cell(
        std::clamp(h.x, shape.min.x, shape.max.x), h.y, std::clamp(h.z, shape.min.z, shape.max.z)));
    buckets.count(pair_bucket[i]);
  }
  const std::uint32_t n_visits = buckets.finish_counting();
  visits.as_tasks = pairs.size() <= kMaxTaskListPairs;
  if (!visits.as_tasks) {
    visits.positions.resize(n_visits);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      if (pair_bucket[i] == kNoCandidates) continue;
      visits.positions[buckets.place(pair_bucket[i])] = static_cast<std::uint32_t>(i);
    }
    return;
  }
  // In list order, atoms are read in about the order they are stored.
  visits.tasks.resize(n_visits);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i + kAhead < pairs.size()) {
      view.prefetch(pairs[i + kAhead].hydrogen);
      view.prefetch(pairs[i + kAhead].donor);
    }
    if (pair_bucket[i] == kNoCandidates) continue;
    fill_task(view, pairs, static_cast<std::uint32_t>(i),
              visits.tasks[buckets.place(pair_bucket[i])]);
  }
}

// Where a pair's accepted acceptors lie in the frame's hit list.
struct HitRange {
  std::uint64_t first;
  std::uint64_t count;
};

// The three runs of a pair's 27 neighbour cells, as entry ranges; empty where the grid ends.
struct PairRuns {
  std::uint32_t begin[3];
  std::uint32_t end[3];
};

inline PairRuns runs_of(const DenseGrid& g, const CellKey& h) {
  const DenseGridShape& shape = g.shape;
  const std::int64_t z_lo = std::max(std::int64_t{h.z} - 1, std::int64_t{shape.min.z});
  const std::int64_t z_hi = std::min(std::int64_t{h.z} + 1, std::int64_t{shape.max.z});
  PairRuns runs{};
  for (int dx = -1; dx <= 1; ++dx) {
    const std::int64_t x = std::int64_t{h.x} + dx;
    if (x < shape.min.x || x > shape.max.x) continue;
    runs.begin[dx + 1] = g.run_begin(x, h.y, z_lo);
    runs.end[dx + 1] = g.run_end(x, h.y, z_hi);
  }
  return runs;
}

constexpr std::uint32_t kBlock = 2 * kLanes;  // entries tested per step along a run

// The rows' order of an accepted entry of run dx: its neighbour number
// 9 (dx + 1) + 3 (dy + 1) + (dz + 1) above its list position.
inline std::uint64_t hit_order(const DenseGrid& g, const CellKey& h, int dx, std::uint32_t k) {
  const std::int64_t number = 9 * (dx + 1) + 3 * (cell_coordinate(g.y[k]) - std::int64_t{h.y} + 1) +
                              (cell_coordinate(g.z[k]) - std::int64_t{h.z} + 1);
  return (std::uint64_t(number) << 32) | g.position[k];
}

// Tests a pair against its three runs, a block of entries at a time, entirely in vector lanes:
// only accepted acceptors cost a branch.
[[gnu::always_inline]] inline void search_pair(const DenseGrid& g,
                                               std::span<const std::uint64_t> acceptors,
                                               const PairTask& t,
                                               std::vector<std::uint64_t>& pair_hits,
                                               std::vector<std::uint64_t>& hits, HitRange* ranges) {
  PairLanes lanes;
  if (!prepare_pair(t.donor, t.hydrogen, lanes)) return;
  const double* ex = g.x.data();
  const double* ey = g.y.data();
  const double* ez = g.z.data();
  const PairRuns runs = runs_of(g, t.cell);
  pair_hits.clear();
  for (int r = 0; r < 3; ++r) {
    const std::uint32_t end = runs.end[r];
    for (std::uint32_t j = runs.begin[r]; j < end; j += kBlock) {
      unsigned bits =
          lane_bits(bonded_lanes(lanes, ex + j, ey + j, ez + j)) |
          lane_bits(bonded_lanes(lanes, ex + j + kLanes, ey + j + kLanes, ez + j + kLanes))
              << kLanes;
      bits &= (1u << std::min(end - j, kBlock)) - 1;
      for (; bits != 0; bits &= bits - 1) {
        const std::uint32_t k = j + static_cast<std::uint32_t>(__builtin_ctz(bits));
        pair_hits.push_back(hit_order(g, t.cell, r - 1, k));
      }
    }
  }
  // Few hits per pair: insertion sort.
  for (std::size_t i = 1; i < pair_hits.size(); ++i) {
    for (std::size_t m = i; m > 0 && pair_hits[m] < pair_hits[m - 1]; --m) {
      std::swap(pair_hits[m], pair_hits[m - 1]);
    }
  }
  ranges[t.pair_position] = HitRange{hits.size(), pair_hits.size()};
  for (const std::uint64_t hit : pair_hits) hits.push_back(acceptors[std::uint32_t(hit)]);
}

// Every pair in visiting order. A failure to grow the hit lists comes back as an exception_ptr
// (see distance_lanes.hpp).
BRENVOX_TARGET_CLONES std::exception_ptr search_pairs(const DenseGrid& g, const FrameView& view,
                                                      std::span<const Pair> pairs,
                                                      std::span<const std::uint64_t> acceptors,
                                                      const PairVisits& visits,
                                                      std::vector<std::uint64_t>& pair_hits,
                                                      std::vector<std::uint64_t>& hits,
                                                      HitRange* ranges) noexcept {
  try {
    if (visits.as_tasks) {
      for (const PairTask& t : visits.tasks) search_pair(g, acceptors, t, pair_hits, hits, ranges);
      return nullptr;
    }
    const std::vector<std::uint32_t>& p = visits.positions;
    PairTask read;
    for (std::size_t v = 0; v < p.size(); ++v) {
      if (v + 2 * kAhead < p.size()) __builtin_prefetch(&pairs[p[v + 2 * kAhead]]);
      if (v + kAhead < p.size()) {
        view.prefetch(pairs[p[v + kAhead]].hydrogen);
        view.prefetch(pairs[p[v + kAhead]].donor);
      }
      fill_task(view, pairs, p[v], read);
      search_pair(g, acceptors, read, pair_hits, hits, ranges);
    }
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

}  // namespace

struct DenseSearchStorage {
  DenseGridBuild build;
  DenseGrid grid;
  std::vector<std::uint32_t> pair_bucket;
  BucketStarts pair_buckets;
  PairVisits visits;
  std::vector<std::uint64_t> pair_hits;
  std::vector<std::uint64_t> hits;
  std::vector<HitRange> ranges;
};

template <>
void OpaqueStorageDeleter<DenseSearchStorage>::operator()(DenseSearchStorage* s) const noexcept {
  delete s;
}

DenseSearchStoragePtr make_dense_search_storage() {
  return DenseSearchStoragePtr(new DenseSearchStorage());
}

void search_dense_grid(const FrameView& view, std::uint64_t frame, std::span<const Pair> pairs,
                       std::span<const std::uint64_t> acceptors, const AcceptorCells& cells,
                       const DenseGridShape& shape, DenseSearchStorage& s, BondBuffer& out) {
  build_dense_grid(shape, cells, s.build, s.grid);
  order_pairs_by_cell(view, pairs, shape, s.pair_bucket, s.pair_buckets, s.visits);
  s.hits.clear();
  s.ranges.assign(pairs.size(), HitRange{0, 0});
  if (std::exception_ptr failure = search_pairs(s.grid, view, pairs, acceptors, s.visits,
                                                s.pair_hits, s.hits, s.ranges.data())) {
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
