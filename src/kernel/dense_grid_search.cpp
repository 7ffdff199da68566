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

// An entry that bonds to the pair being searched, with its neighbour key.
struct Accepted {
  std::uint64_t key;
  std::uint32_t entry;
};

// The entries that bond to one pair, in the rows' order. Each run's
// first block is tested in any case, so that the accepted lanes of all three are taken in one
// loop; the rare longer run continues block by block. Everything is tested in vector lanes:
// only accepted entries cost a branch.
[[gnu::always_inline]] inline void accepted_entries(const DenseGrid& g, const double* donor,
                                                    const double* hydrogen, const CellKey& h,
                                                    std::vector<Accepted>& accepted) {
  accepted.clear();
  PairLanes lanes;
  if (!prepare_pair(donor, hydrogen, lanes)) return;
  const PairRuns runs = runs_of(g, h);
  for (int r = 0; r < 3; ++r) {
    __builtin_prefetch(g.order_key.data() + runs.begin[r]);
    __builtin_prefetch(g.acceptor.data() + runs.begin[r]);
  }
  std::uint32_t first_blocks = 0;  // run r's first block in bits 8r ... 8r + 7
  for (int r = 0; r < 3; ++r) {
    first_blocks |= accepted_block(g, lanes, runs.begin[r], runs.end[r]) << (kBlock * r);
    for (std::uint32_t j = runs.begin[r] + kBlock; j < runs.end[r]; j += kBlock) {
      for (unsigned bits = accepted_block(g, lanes, j, runs.end[r]); bits != 0; bits &= bits - 1) {
        const std::uint32_t k = j + static_cast<std::uint32_t>(__builtin_ctz(bits));
        accepted.push_back(Accepted{g.neighbour_key(k, h, r - 1), k});
      }
    }
  }
  for (; first_blocks != 0; first_blocks &= first_blocks - 1) {
    const unsigned bit = static_cast<unsigned>(__builtin_ctz(first_blocks));
    const int r = static_cast<int>(bit / kBlock);
    const std::uint32_t k = runs.begin[r] + bit % kBlock;
    accepted.push_back(Accepted{g.neighbour_key(k, h, r - 1), k});
  }
  // Few per pair: insertion sort.
  for (std::size_t i = 1; i < accepted.size(); ++i) {
    for (std::size_t m = i; m > 0 && accepted[m].key < accepted[m - 1].key; --m) {
      std::swap(accepted[m], accepted[m - 1]);
    }
  }
}

// Pairs in list order, each pair's rows appended as soon as it is searched. Pairs name atoms in
// no particular order: their coordinates are asked for ahead. A failure to grow a list comes
// back as an exception_ptr (see distance_lanes.hpp).
BRENVOX_TARGET_CLONES std::exception_ptr search_in_list_order(
    const DenseGrid& g, const FrameView& view, std::uint64_t frame, std::span<const Pair> pairs,
    std::vector<Accepted>& accepted, BondBuffer& out) noexcept {
  try {
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      if (i + kAhead < pairs.size()) {
        view.prefetch(pairs[i + kAhead].hydrogen);
        view.prefetch(pairs[i + kAhead].donor);
      }
      const Pair& pair = pairs[i];
      const double* hydrogen = view.atom(pair.hydrogen);
      const double* donor = view.atom(pair.donor);
      const CellKey h = cell_key(hydrogen);
      if (!has_candidates(g.shape, h)) continue;
      accepted_entries(g, donor, hydrogen, h, accepted);
      for (const Accepted& a : accepted) {
        out.push_record(frame, pair.donor, pair.hydrogen, g.acceptor[a.entry]);
      }
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
        std::clamp(h.x, shape.min.x, shape.max.x), h.y, std::clamp(h.z, shape.min.z, shape.max.z)));
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
BRENVOX_TARGET_CLONES std::exception_ptr search_in_cell_order(
    const DenseGrid& g, const FrameView& view, std::span<const Pair> pairs,
    std::span<const std::uint32_t> visits, std::vector<Accepted>& accepted,
    std::vector<std::uint64_t>& hits, HitRange* ranges) noexcept {
  try {
    for (std::size_t v = 0; v < visits.size(); ++v) {
      if (v + 2 * kAhead < visits.size()) __builtin_prefetch(&pairs[visits[v + 2 * kAhead]]);
      if (v + kAhead < visits.size()) {
        view.prefetch(pairs[visits[v + kAhead]].hydrogen);
        view.prefetch(pairs[visits[v + kAhead]].donor);
      }
      const Pair& pair = pairs[visits[v]];
      const double* hydrogen = view.atom(pair.hydrogen);
      accepted_entries(g, view.atom(pair.donor), hydrogen, cell_key(hydrogen), accepted);
      ranges[visits[v]] = HitRange{hits.size(), accepted.size()};
      for (const Accepted& a : accepted) hits.push_back(g.acceptor[a.entry]);
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
  std::vector<Accepted> accepted;
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
  if (s.grid.order_key.size() <= list_order_entries) {
    if (std::exception_ptr failure =
            search_in_list_order(s.grid, view, frame, pairs, s.accepted, out)) {
      std::rethrow_exception(failure);
    }
    return;
  }
  order_pairs_by_cell(view, pairs, shape, s.pair_bucket, s.pair_buckets, s.visits);
  s.hits.clear();
  s.ranges.assign(pairs.size(), HitRange{0, 0});
  if (std::exception_ptr failure = search_in_cell_order(s.grid, view, pairs, s.visits, s.accepted,
                                                        s.hits, s.ranges.data())) {
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
