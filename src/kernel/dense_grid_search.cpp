#include "kernel/dense_grid_search.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "kernel/cell_key.hpp"
#include "kernel/distance_lanes.hpp"

namespace brenvox {

namespace {

constexpr std::size_t kAhead = 8;             // pairs whose atoms are asked for ahead
constexpr std::uint32_t kBlock = 2 * kLanes;  // entries tested per step along a run

// A hydrogen more than one cell beyond the acceptors' cells has no candidate.
bool has_candidates(const DenseGridShape& shape, const CellKey& h) {
  const auto near = [](std::int32_t c, std::int32_t lo, std::int32_t hi) {
    return std::int64_t{c} >= std::int64_t{lo} - 1 && std::int64_t{c} <= std::int64_t{hi} + 1;
  };
  return near(h.x, shape.min.x, shape.max.x) && near(h.y, shape.min.y, shape.max.y) &&
         near(h.z, shape.min.z, shape.max.z);
}

// The three runs of a pair's 27 neighbour cells, as entry ranges; empty where the grid ends.
struct PairRuns {
  std::uint32_t begin[3];
  std::uint32_t end[3];
};

inline PairRuns runs_of(const DenseGrid& g, const CellKey& h) {
  const DenseGridShape& shape = g.shape;
  const std::int64_t y_lo = std::max(std::int64_t{h.y} - 1, std::int64_t{shape.min.y});
  const std::int64_t y_hi = std::min(std::int64_t{h.y} + 1, std::int64_t{shape.max.y});
  PairRuns runs{};
  for (int dx = -1; dx <= 1; ++dx) {
    const std::int64_t x = std::int64_t{h.x} + dx;
    if (x < shape.min.x || x > shape.max.x) continue;
    runs.begin[dx + 1] = g.run_begin(x, h.z, y_lo);
    runs.end[dx + 1] = g.run_end(x, h.z, y_hi);
  }
  return runs;
}

// Accepted lanes among the first kBlock entries from `first`, as bits, those from `end` on
// cleared.
[[gnu::always_inline]] inline unsigned accepted_block(const DenseGrid& g, const PairLanes& lanes,
                                                      std::uint32_t first, std::uint32_t end) {
  const double* ex = g.x.data() + first;
  const double* ey = g.y.data() + first;
  const double* ez = g.z.data() + first;
  const unsigned bits = lane_bits(bonded_lanes(lanes, ex, ey, ez)) |
                        lane_bits(bonded_lanes(lanes, ex + kLanes, ey + kLanes, ez + kLanes))
                            << kLanes;
  return bits & ((1u << std::min(end - first, kBlock)) - 1);
}

// Calls emit(acceptor) for each entry that bonds to the pair, in the rows' order: run after
// run, entries in grid order. Each run's first block is tested before any is emitted, so that
// the three tests overlap; the rare longer run continues block by block. Everything is tested
// in vector lanes: only accepted entries cost a branch.
template <typename Emit>
[[gnu::always_inline]] inline void emit_accepted(const DenseGrid& g, const double* donor,
                                                 const double* hydrogen, const CellKey& h,
                                                 Emit&& emit) {
  PairLanes lanes;
  if (!prepare_pair(donor, hydrogen, lanes)) return;
  const PairRuns runs = runs_of(g, h);
  for (int r = 0; r < 3; ++r) __builtin_prefetch(g.acceptor.data() + runs.begin[r]);
  unsigned first_block[3];
  for (int r = 0; r < 3; ++r) first_block[r] = accepted_block(g, lanes, runs.begin[r], runs.end[r]);
  for (int r = 0; r < 3; ++r) {
    for (unsigned bits = first_block[r]; bits != 0; bits &= bits - 1) {
      emit(g.acceptor[runs.begin[r] + static_cast<std::uint32_t>(__builtin_ctz(bits))]);
    }
    for (std::uint32_t j = runs.begin[r] + kBlock; j < runs.end[r]; j += kBlock) {
      for (unsigned bits = accepted_block(g, lanes, j, runs.end[r]); bits != 0; bits &= bits - 1) {
        emit(g.acceptor[j + static_cast<std::uint32_t>(__builtin_ctz(bits))]);
      }
    }
  }
}

// Pairs in list order, each pair's rows appended as soon as they are found. Pairs name atoms in
// no particular order: their coordinates are asked for ahead. A failure to grow a list comes
// back as an exception_ptr (see distance_lanes.hpp).
BRENVOX_TARGET_CLONES std::exception_ptr search_in_list_order(const DenseGrid& g,
                                                              const FrameView& view,
                                                              std::uint64_t frame,
                                                              std::span<const Pair> pairs,
                                                              BondBuffer& out) noexcept {
  try {
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      if (i + kAhead < pairs.size()) {
        view.prefetch(pairs[i + kAhead].hydrogen);
        view.prefetch(pairs[i + kAhead].donor);
      }
      const Pair& pair = pairs[i];
      const double* hydrogen = view.atom(pair.hydrogen);
      const CellKey h = cell_key(hydrogen);
      if (!has_candidates(g.shape, h)) continue;
      emit_accepted(g, view.atom(pair.donor), hydrogen, h, [&](std::uint64_t acceptor) {
        out.push_record(frame, pair.donor, pair.hydrogen, acceptor);
      });
    }
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

// Where a pair's accepted acceptors lie in the frame's hit list.
struct HitRange {
  std::uint64_t first;
  std::uint64_t count;
};

// The list positions of the pairs that have candidates, in the order of their hydrogen's band
// cell, list order within one.
void order_pairs_by_cell(const FrameView& view, std::span<const Pair> pairs,
                         const DenseGridShape& shape, std::vector<std::uint32_t>& pair_bucket,
                         BucketStarts& buckets, std::vector<std::uint32_t>& visits) {
  constexpr std::uint32_t kNoCandidates = UINT32_MAX;
  pair_bucket.resize(pairs.size());
  buckets.reset(shape.n_band_cells());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i + kAhead < pairs.size()) view.prefetch(pairs[i + kAhead].hydrogen);
    view.atom(pairs[i].donor);
    const CellKey h = cell_key(view.atom(pairs[i].hydrogen));
    if (!has_candidates(shape, h)) {
      pair_bucket[i] = kNoCandidates;
      continue;
    }
    pair_bucket[i] = static_cast<std::uint32_t>(shape.band_cell(
        std::clamp(h.x, shape.min.x, shape.max.x), h.z, std::clamp(h.y, shape.min.y, shape.max.y)));
    buckets.count(pair_bucket[i]);
  }
  visits.resize(buckets.finish_counting());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (pair_bucket[i] == kNoCandidates) continue;
    visits[buckets.place(pair_bucket[i])] = static_cast<std::uint32_t>(i);
  }
}

// Pairs in the order of `visits`, their atoms asked for ahead; each pair's accepted acceptors
// are kept in `hits`, found through `ranges` by list position.
BRENVOX_TARGET_CLONES std::exception_ptr search_in_cell_order(const DenseGrid& g,
                                                              const FrameView& view,
                                                              std::span<const Pair> pairs,
                                                              std::span<const std::uint32_t> visits,
                                                              std::vector<std::uint64_t>& hits,
                                                              HitRange* ranges) noexcept {
  try {
    for (std::size_t v = 0; v < visits.size(); ++v) {
      if (v + 2 * kAhead < visits.size()) __builtin_prefetch(&pairs[visits[v + 2 * kAhead]]);
      if (v + kAhead < visits.size()) {
        view.prefetch(pairs[visits[v + kAhead]].hydrogen);
        view.prefetch(pairs[visits[v + kAhead]].donor);
      }
      const Pair& pair = pairs[visits[v]];
      const double* hydrogen = view.atom(pair.hydrogen);
      const std::uint64_t first = hits.size();
      emit_accepted(g, view.atom(pair.donor), hydrogen, cell_key(hydrogen),
                    [&](std::uint64_t acceptor) { hits.push_back(acceptor); });
      ranges[visits[v]] = HitRange{first, hits.size() - first};
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
  std::vector<std::uint32_t> visits;
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
                       const DenseGridShape& shape, DenseSearchStorage& s, BondBuffer& out,
                       std::uint64_t list_order_entries) {
  build_dense_grid(shape, cells, acceptors, s.build, s.grid);
  if (s.grid.acceptor.size() <= list_order_entries) {
    if (std::exception_ptr failure = search_in_list_order(s.grid, view, frame, pairs, out)) {
      std::rethrow_exception(failure);
    }
    return;
  }
  order_pairs_by_cell(view, pairs, shape, s.pair_bucket, s.pair_buckets, s.visits);
  s.hits.clear();
  s.ranges.assign(pairs.size(), HitRange{0, 0});
  if (std::exception_ptr failure =
          search_in_cell_order(s.grid, view, pairs, s.visits, s.hits, s.ranges.data())) {
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
