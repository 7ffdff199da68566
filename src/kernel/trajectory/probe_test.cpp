#include "kernel/trajectory/probe_test.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "kernel/distance_lanes.hpp"

namespace brenvox {

namespace {

enum class BoxKind { Open, Rectangular, Triclinic };

struct CriterionLanes {
  Doubles distance_squared;
  Doubles a[3], b[3], c[3];
};

// The test of one pair against the entries j ... j + kLanes - 1: v is the image offset from
// raw coordinates and lattice numbers, each component ((d − n_c c) − n_b b) − n_a a; for a
// rectangular box the zero terms are left out, which changes at most the sign of a zero.
template <BoxKind Kind, bool Obtuse>
[[gnu::always_inline]] inline LaneMask accepted_lanes(const CriterionLanes& c, const Probe& p,
                                                      const PairLanes& pair,
                                                      const TrajectoryGrid& g, std::uint32_t j) {
  AcceptorOffsets v = offsets_from(pair.hydrogen, g.x.data() + j, g.y.data() + j, g.z.data() + j);
  if constexpr (Kind != BoxKind::Open) {
    Doubles la, lb, lc;
    std::memcpy(&la, g.la.data() + j, sizeof la);
    std::memcpy(&lb, g.lb.data() + j, sizeof lb);
    std::memcpy(&lc, g.lc.data() + j, sizeof lc);
    const Doubles na = la - p.lattice[0];
    const Doubles nb = lb - p.lattice[1];
    const Doubles nc = lc - p.lattice[2];
    if constexpr (Kind == BoxKind::Rectangular) {
      v.vx = v.vx - na * c.a[0];
      v.vy = v.vy - nb * c.b[1];
      v.vz = v.vz - nc * c.c[2];
    } else {
      v.vx = ((v.vx - nc * c.c[0]) - nb * c.b[0]) - na * c.a[0];
      v.vy = ((v.vy - nc * c.c[1]) - nb * c.b[1]) - na * c.a[1];
      v.vz = ((v.vz - nc * c.c[2]) - nb * c.b[2]) - na * c.a[2];
    }
    v.r2 = (v.vx * v.vx + v.vy * v.vy) + v.vz * v.vz;
  }
  const Doubles dot = (v.vx * pair.wx + v.vy * pair.wy) + v.vz * pair.wz;
  const Doubles limit = v.r2 * pair.s2_cos_squared;
  const Doubles square = dot * dot;
  const LaneMask negative = dot < Doubles{};
  LaneMask angle;
  if constexpr (Obtuse) {
    angle = negative & (square > limit);
  } else {
    angle = negative | (square < limit);
  }
  return (v.r2 < c.distance_squared) & (v.r2 > Doubles{}) & angle;
}

// Accepted lanes among the kRunBlock entries from `first`, as bits, those from `end` on cleared.
template <BoxKind Kind, bool Obtuse>
[[gnu::always_inline]] inline unsigned accepted_block(const CriterionLanes& c, const Probe& p,
                                                      const PairLanes& pair,
                                                      const TrajectoryGrid& g, std::uint32_t first,
                                                      std::uint32_t end) {
  return run_block_bits(accepted_lanes<Kind, Obtuse>(c, p, pair, g, first),
                        accepted_lanes<Kind, Obtuse>(c, p, pair, g, first + kLanes), first, end);
}

// The pair's accepted acceptors in its three runs, appended to `hits` in grid order. Each run's
// first block is tested before any hit is written, so that the three tests overlap; the rare
// longer run continues block by block.
template <BoxKind Kind, bool Obtuse>
[[gnu::always_inline]] inline void test_runs(const CriterionLanes& c, const Probe& p,
                                             const PairLanes& pair, const TrajectoryGrid& g,
                                             const std::uint32_t begin[3],
                                             const std::uint32_t end[3], HitList& hits) {
  unsigned first_block[3];
  for (int r = 0; r < 3; ++r) {
    first_block[r] = accepted_block<Kind, Obtuse>(c, p, pair, g, begin[r], end[r]);
  }
  hits.make_room(3 * kRunBlock);
  for (int r = 0; r < 3; ++r) {
    for (unsigned bits = first_block[r]; bits != 0; bits &= bits - 1) {
      hits.value[hits.size++] =
          g.position[begin[r] + static_cast<std::uint32_t>(__builtin_ctz(bits))];
    }
    for (std::uint32_t j = begin[r] + kRunBlock; j < end[r]; j += kRunBlock) {
      hits.make_room(kRunBlock);
      for (unsigned bits = accepted_block<Kind, Obtuse>(c, p, pair, g, j, end[r]); bits != 0;
           bits &= bits - 1) {
        hits.value[hits.size++] = g.position[j + static_cast<std::uint32_t>(__builtin_ctz(bits))];
      }
    }
  }
}

// Each probe, in the order of `visits`, against its three runs, entirely in vector lanes; each
// pair's accepted acceptors are put in list order.
template <BoxKind Kind, bool Obtuse>
[[gnu::always_inline]] inline void search_probes_with(const CriterionLanes& c, double cos_squared,
                                                      const TrajectoryGrid& g, const Probe* probes,
                                                      std::span<const std::uint32_t> visits,
                                                      HitList& hits, HitRange* ranges) {
  constexpr std::size_t kAhead = 8;  // probes are read in no particular order
  for (std::size_t v = 0; v < visits.size(); ++v) {
    if (v + kAhead < visits.size()) {
      const char* ahead = reinterpret_cast<const char*>(probes + visits[v + kAhead]);
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + sizeof(Probe) - 1);
    }
    const Probe& p = probes[visits[v]];
    const double s2 = (p.w[0] * p.w[0] + p.w[1] * p.w[1]) + p.w[2] * p.w[2];
    if (!(s2 > 0.0)) continue;
    const PairLanes pair{broadcast(p.hydrogen), splat(p.w[0]), splat(p.w[1]), splat(p.w[2]),
                         splat(s2 * cos_squared)};
    // Runs beyond the grid's x extent are left empty.
    std::uint32_t begin[3] = {}, end[3] = {};
    const std::int64_t z_lo = std::max<std::int64_t>(p.cell[2] - 1, 0);
    const std::int64_t z_hi = std::min<std::int64_t>(p.cell[2] + 1, g.n[2] - 1);
    for (int r = 0; r < 3; ++r) {
      const std::int64_t x = std::int64_t{p.cell[0]} - 1 + r;
      if (x < 0 || x >= g.n[0]) continue;
      const std::uint64_t run = g.band_cell(x, p.cell[1] + 1, z_lo);
      begin[r] = g.start.begin(run);
      end[r] = g.start.end(run + std::uint64_t(z_hi - z_lo));
    }
    const std::size_t first_hit = hits.size;
    if constexpr (Kind == BoxKind::Open) {
      test_runs<Kind, Obtuse>(c, p, pair, g, begin, end, hits);
    } else if (p.lattice[0] == 0.0 && p.lattice[1] == 0.0 && p.lattice[2] == 0.0 &&
               g.untranslated(begin[0], end[0]) && g.untranslated(begin[1], end[1]) &&
               g.untranslated(begin[2], end[2])) {
      // Away from the faces every lattice number is zero, and the image offset is the raw one
      // (up to the sign of a zero, which decides nothing): the open test gives the same bits.
      test_runs<BoxKind::Open, Obtuse>(c, p, pair, g, begin, end, hits);
    } else {
      test_runs<Kind, Obtuse>(c, p, pair, g, begin, end, hits);
    }
    // Few hits per pair: insertion sort into acceptor-list order.
    std::uint32_t* pair_hits = hits.value.data() + first_hit;
    const std::size_t count = hits.size - first_hit;
    for (std::size_t i = 1; i < count; ++i) {
      for (std::size_t m = i; m > 0 && pair_hits[m] < pair_hits[m - 1]; --m) {
        std::swap(pair_hits[m], pair_hits[m - 1]);
      }
    }
    ranges[p.pair_position] = HitRange{first_hit, count};
  }
}

// The search for one kind of box, with the angle test that `obtuse` names. Inlined, so that it
// is compiled for the target of the clone that calls it.
template <BoxKind Kind>
[[gnu::always_inline]] inline void search_probes_in(bool obtuse, const CriterionLanes& c,
                                                    double cos_squared, const TrajectoryGrid& g,
                                                    const Probe* probes,
                                                    std::span<const std::uint32_t> visits,
                                                    HitList& hits, HitRange* ranges) {
  if (obtuse) {
    search_probes_with<Kind, true>(c, cos_squared, g, probes, visits, hits, ranges);
  } else {
    search_probes_with<Kind, false>(c, cos_squared, g, probes, visits, hits, ranges);
  }
}

// A failure to grow the hit lists comes back as an exception_ptr (see distance_lanes.hpp).
BRENVOX_TARGET_CLONES std::exception_ptr search_in_visit_order(
    BoxKind kind, bool obtuse, const CriterionLanes& c, double cos_squared, const TrajectoryGrid& g,
    const Probe* probes, std::span<const std::uint32_t> visits, HitList& hits,
    HitRange* ranges) noexcept {
  try {
    switch (kind) {
      case BoxKind::Open:
        search_probes_in<BoxKind::Open>(obtuse, c, cos_squared, g, probes, visits, hits, ranges);
        break;
      case BoxKind::Rectangular:
        search_probes_in<BoxKind::Rectangular>(obtuse, c, cos_squared, g, probes, visits, hits,
                                               ranges);
        break;
      case BoxKind::Triclinic:
        search_probes_in<BoxKind::Triclinic>(obtuse, c, cos_squared, g, probes, visits, hits,
                                             ranges);
        break;
    }
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

BoxKind kind_of(const PeriodicBox* box) {
  if (box == nullptr) return BoxKind::Open;
  return box->rectangular ? BoxKind::Rectangular : BoxKind::Triclinic;
}

CriterionLanes criterion_lanes(const HbondCriterion& criterion, const PeriodicBox* box) {
  CriterionLanes c{};
  c.distance_squared = splat(criterion.distance_squared);
  if (box != nullptr) {
    for (int k = 0; k < 3; ++k) {
      c.a[k] = splat(box->a[k]);
      c.b[k] = splat(box->b[k]);
      c.c[k] = splat(box->c[k]);
    }
  }
  return c;
}

}  // namespace

void search_probes(const HbondCriterion& criterion, const PeriodicBox* box, const TrajectoryGrid& g,
                   const TrajectoryProbes& probes, HitList& hits, std::span<HitRange> ranges) {
  if (std::exception_ptr failure = search_in_visit_order(
          kind_of(box), criterion.obtuse, criterion_lanes(criterion, box), criterion.cos_squared, g,
          probes.probes.data(), probes.visits, hits, ranges.data())) {
    std::rethrow_exception(failure);
  }
}

}  // namespace brenvox
