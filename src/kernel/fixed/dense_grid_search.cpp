#include "kernel/fixed/dense_grid_search.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "kernel/distance_lanes.hpp"
#include "kernel/fixed/cell_key.hpp"
#include "kernel/hit_list.hpp"

namespace brenvox {

namespace {

constexpr std::size_t kAhead = 8;  // pairs whose atoms are asked for ahead

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

// One band cell index is computed and stepped along x; unsigned arithmetic wraps, so the step
// from a column before the grid's first lands where it should.
inline PairRuns runs_of(const DenseGrid& g, const CellKey& h) {
  const DenseGridShape& shape = g.shape;
  const std::int64_t y_lo = std::max(std::int64_t{h.y} - 1, std::int64_t{shape.min.y});
  const std::int64_t y_hi = std::min(std::int64_t{h.y} + 1, std::int64_t{shape.max.y});
  const std::uint64_t x_step = shape.n_bands * shape.n_y;
  const std::uint64_t last = std::uint64_t(y_hi - y_lo);
  const std::int64_t x_lo = std::int64_t{shape.min.x}, x_hi = std::int64_t{shape.max.x};
  std::uint64_t first = shape.band_cell(std::int64_t{h.x} - 1, h.z, y_lo);
  const std::uint32_t* start = g.start.data();
  PairRuns runs{};
  for (int dx = -1; dx <= 1; ++dx, first += x_step) {
    const std::int64_t x = std::int64_t{h.x} + dx;
    if (x < x_lo || x > x_hi) continue;
    runs.begin[dx + 1] = start[first];
    runs.end[dx + 1] = start[first + last + 1];
  }
  return runs;
}

// Accepted lanes among the kRunBlock entries from `first`, as bits, those from `end` on cleared.
[[gnu::always_inline]] inline unsigned accepted_block(const DenseGrid& g, const PairLanes& lanes,
                                                      std::uint32_t first, std::uint32_t end) {
  const double* ex = g.x.data() + first;
  const double* ey = g.y.data() + first;
  const double* ez = g.z.data() + first;
  return run_block_bits(bonded_lanes(lanes, ex, ey, ez),
                        bonded_lanes(lanes, ex + kLanes, ey + kLanes, ez + kLanes), first, end);
}

// Asks for the entries of a pair's runs ahead of their test.
inline void prefetch_runs(const DenseGrid& g, const PairRuns& runs) {
  for (int r = 0; r < 3; ++r) {
    for (std::uint32_t e : {runs.begin[r], runs.begin[r] + kRunBlock - 1}) {
      __builtin_prefetch(g.x.data() + e);
      __builtin_prefetch(g.y.data() + e);
      __builtin_prefetch(g.z.data() + e);
    }
  }
}

// Calls sink.emit(entry) for each entry of `runs` that bonds to the pair, in the rows' order:
// run after run, entries in grid order. Entries, not acceptors, so that nothing waits on a load
// that depends on the test; the sink names the acceptors. Each run's first block is tested
// before any is emitted, so that the three tests overlap; the rare longer run continues block
// by block. Everything is tested in vector lanes, and when every run fits one block, the first
// two accepted entries go to sink.emit_up_to_two without a branch on how many there are: only
// a third costs one.
template <typename Sink>
[[gnu::always_inline]] inline void emit_accepted(const DenseGrid& g, const double* donor,
                                                 const double* hydrogen, const PairRuns& runs,
                                                 Sink& sink) {
  PairLanes lanes;
  if (!prepare_pair(donor, hydrogen, lanes)) return;
  unsigned first_block[3];
  bool long_run = false;
  for (int r = 0; r < 3; ++r) {
    first_block[r] = accepted_block(g, lanes, runs.begin[r], runs.end[r]);
    long_run |= runs.end[r] - runs.begin[r] > kRunBlock;
  }
  if (!long_run) {
    const std::uint32_t bits =
        first_block[0] | first_block[1] << kRunBlock | first_block[2] << (2 * kRunBlock);
    // Bit p stands for entry base[p / kRunBlock] + p. With no bit set, p = 3 * kRunBlock stands for
    // entry 0, which is written but not counted.
    const std::uint32_t base[4] = {runs.begin[0], runs.begin[1] - kRunBlock,
                                   runs.begin[2] - 2 * kRunBlock, 0u - 3 * kRunBlock};
    const auto lowest = [&](std::uint32_t b) {
      const unsigned p = static_cast<unsigned>(__builtin_ctz(b | 1u << (3 * kRunBlock)));
      return base[p / kRunBlock] + p;
    };
    const std::uint32_t after_first = bits & (bits - 1);
    sink.emit_up_to_two(lowest(bits), lowest(after_first),
                        static_cast<unsigned>(__builtin_popcount(bits)));
    for (std::uint32_t rest = after_first & (after_first - 1); rest != 0; rest &= rest - 1) {
      sink.emit(lowest(rest));
    }
    return;
  }
  for (int r = 0; r < 3; ++r) {
    for (unsigned bits = first_block[r]; bits != 0; bits &= bits - 1) {
      sink.emit(runs.begin[r] + static_cast<std::uint32_t>(__builtin_ctz(bits)));
    }
    for (std::uint32_t j = runs.begin[r] + kRunBlock; j < runs.end[r]; j += kRunBlock) {
      for (unsigned bits = accepted_block(g, lanes, j, runs.end[r]); bits != 0; bits &= bits - 1) {
        sink.emit(j + static_cast<std::uint32_t>(__builtin_ctz(bits)));
      }
    }
  }
}

// The rows from `first_value` on name entries where they should name acceptors.
inline void translate_entries(const DenseGrid& g, BondBuffer& out, std::size_t first_value) {
  std::uint32_t* values = out.data();
  for (std::size_t v = first_value + 3; v < out.size(); v += 4) {
    values[v] = static_cast<std::uint32_t>(g.acceptor[values[v]]);
  }
}

// A pair's rows, appended to the frame's rows with entries for acceptors, until
// translate_entries puts the acceptors in.
struct RowSink {
  BondBuffer& out;
  std::uint64_t frame;
  const Pair& pair;

  void emit(std::uint32_t entry) { out.push_record(frame, pair.donor, pair.hydrogen, entry); }
  void emit_up_to_two(std::uint32_t first, std::uint32_t second, unsigned count) {
    out.push_up_to_two_records(frame, pair.donor, pair.hydrogen, first, second, count);
  }
};

// Pairs in list order, each pair's rows appended as soon as they are found. Pairs name atoms in
// no particular order: their coordinates are asked for ahead. A failure to grow a list comes
// back as an exception_ptr (see distance_lanes.hpp).
BRENVOX_TARGET_CLONES std::exception_ptr search_in_list_order(const DenseGrid& g,
                                                              const FrameView& view,
                                                              std::uint64_t frame,
                                                              std::span<const Pair> pairs,
                                                              BondBuffer& out) noexcept {
  try {
    // Three stages, so that no memory access waits on the one before it: a pair's atoms are asked
    // for 2 * kAhead pairs ahead, its runs are found and their entries asked for kAhead pairs
    // ahead, and then it is tested.
    struct Staged {
      PairRuns runs;
      bool has_candidates;
    };
    Staged staged[kAhead];
    const auto stage = [&](std::size_t i) {
      const CellKey h = cell_key(view.atom(pairs[i].hydrogen));
      Staged& s = staged[i % kAhead];
      s.has_candidates = has_candidates(g.shape, h);
      if (!s.has_candidates) return;
      s.runs = runs_of(g, h);
      prefetch_runs(g, s.runs);
    };
    for (std::size_t i = 0; i < std::min(kAhead, pairs.size()); ++i) stage(i);
    const std::size_t first_value = out.size();
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      if (i + 2 * kAhead < pairs.size()) {
        view.prefetch(pairs[i + 2 * kAhead].hydrogen);
        view.prefetch(pairs[i + 2 * kAhead].donor);
      }
      const Staged s = staged[i % kAhead];
      if (i + kAhead < pairs.size()) stage(i + kAhead);
      if (!s.has_candidates) continue;
      const Pair& pair = pairs[i];
      RowSink sink{out, frame, pair};
      emit_accepted(g, view.atom(pair.donor), view.atom(pair.hydrogen), s.runs, sink);
    }
    translate_entries(g, out, first_value);
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

// The accepted acceptors of a frame's pairs, each looked up from its entry as it is found: in
// cell order the run's entries are still in cache. Two past `size` may always be read.
struct AcceptorHits : HitList {
  const std::uint64_t* acceptor_of_entry = nullptr;

  void start(const DenseGrid& g) {
    acceptor_of_entry = g.acceptor.data();
    size = 0;
    make_room(2);
  }
  void emit(std::uint32_t entry) {
    make_room(3);
    value[size++] = static_cast<std::uint32_t>(acceptor_of_entry[entry]);
  }
  void emit_up_to_two(std::uint32_t first, std::uint32_t second, unsigned count) {
    make_room(4);
    value[size] = static_cast<std::uint32_t>(acceptor_of_entry[first]);
    value[size + 1] = static_cast<std::uint32_t>(acceptor_of_entry[second]);
    size += std::min(count, 2u);
  }
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
BRENVOX_TARGET_CLONES std::exception_ptr search_in_cell_order(
    const DenseGrid& g, const FrameView& view, std::span<const Pair> pairs,
    std::span<const std::uint32_t> visits, AcceptorHits& hits, HitRange* ranges) noexcept {
  try {
    for (std::size_t v = 0; v < visits.size(); ++v) {
      if (v + 2 * kAhead < visits.size()) __builtin_prefetch(&pairs[visits[v + 2 * kAhead]]);
      if (v + kAhead < visits.size()) {
        view.prefetch(pairs[visits[v + kAhead]].hydrogen);
        view.prefetch(pairs[visits[v + kAhead]].donor);
      }
      const Pair& pair = pairs[visits[v]];
      const double* hydrogen = view.atom(pair.hydrogen);
      const std::uint64_t first = hits.size;
      emit_accepted(g, view.atom(pair.donor), hydrogen, runs_of(g, cell_key(hydrogen)), hits);
      ranges[visits[v]] = HitRange{first, hits.size - first};
    }
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

// The rows of a frame searched in cell order, in pair-list order. A pair's first two acceptors
// are written as search_in_list_order writes them, without a branch on their count.
void emit_in_pair_order(std::uint64_t frame, std::span<const Pair> pairs, const HitList& hits,
                        std::span<const HitRange> ranges, BondBuffer& out) {
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i + kAhead < pairs.size()) __builtin_prefetch(&hits.value[ranges[i + kAhead].first]);
    const HitRange r = ranges[i];
    out.push_up_to_two_records(frame, pairs[i].donor, pairs[i].hydrogen, hits.value[r.first],
                               hits.value[r.first + 1],
                               static_cast<unsigned>(std::min<std::uint64_t>(r.count, 2)));
    for (std::uint64_t k = r.first + 2; k < r.first + r.count; ++k) {
      out.push_record(frame, pairs[i].donor, pairs[i].hydrogen, hits.value[k]);
    }
  }
}

}  // namespace

struct DenseSearchStorage {
  DenseGridBuild build;
  DenseGrid grid;
  std::vector<std::uint32_t> pair_bucket;
  BucketStarts pair_buckets;
  std::vector<std::uint32_t> visits;
  AcceptorHits hits;
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
  s.hits.start(s.grid);
  s.ranges.assign(pairs.size(), HitRange{0, 0});
  if (std::exception_ptr failure =
          search_in_cell_order(s.grid, view, pairs, s.visits, s.hits, s.ranges.data())) {
    std::rethrow_exception(failure);
  }
  emit_in_pair_order(frame, pairs, s.hits, s.ranges, out);
}

}  // namespace brenvox
