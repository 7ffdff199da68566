#include "kernel/trajectory/probe_test.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "kernel/distance_lanes.hpp"

namespace brenvox {

namespace {

enum class BoxKind { Open, Rectangular, Triclinic };

[[gnu::always_inline]] inline bool any_lane(LaneMask mask) {
  return lane_bits(mask) != 0;
}

struct CriterionLanes {
  Doubles distance_squared;
  Doubles a[3], b[3], c[3];
};

// The offsets of the entries j ... j + kLanes - 1 from the probe's centre, from raw coordinates
// and lattice numbers, each component ((d − n_c c) − n_b b) − n_a a; for a rectangular box the
// zero terms are left out, which changes at most the sign of a zero.
template <BoxKind Kind>
[[gnu::always_inline]] inline AcceptorOffsets image_offsets(const CriterionLanes& c, const Probe& p,
                                                            const HydrogenLanes& center,
                                                            const TrajectoryGrid& g,
                                                            std::uint32_t j) {
  AcceptorOffsets v = offsets_from(center, g.x.data() + j, g.y.data() + j, g.z.data() + j);
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
  return v;
}

// Baker–Hubbard: H···A below the cut-off and D–H–A above it, centred on the hydrogen.
template <bool Obtuse>
struct BakerHubbardTest {
  PairLanes pair;

  // False when no acceptor can bond to the pair.
  [[gnu::always_inline]] static bool make(const HbondCriterion& criterion, const Probe& p,
                                          BakerHubbardTest& out) {
    const double s2 = (p.w[0] * p.w[0] + p.w[1] * p.w[1]) + p.w[2] * p.w[2];
    out.pair = PairLanes{broadcast(p.hydrogen), splat(p.w[0]), splat(p.w[1]), splat(p.w[2]),
                         splat(s2 * criterion.cos_squared)};
    return s2 > 0.0;
  }

  template <BoxKind Kind>
  [[gnu::always_inline]] LaneMask lanes(const CriterionLanes& c, const Probe& p,
                                        const TrajectoryGrid& g, std::uint32_t j) const {
    const AcceptorOffsets v = image_offsets<Kind>(c, p, pair.hydrogen, g, j);
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
};

// Every other form. With v = A − H and w = D − H, D···A is v − w, and the angle's arms are
// (v, w) at the hydrogen or (v − w, −w) at the donor; when both are the donor's, the lanes
// take A − D from D = H + w directly. cos θ compared with cos θc is
// sign(dot)·dot² against sign(cos θc)·cos² θc·|arm₁|²·|arm₂|², multiplied by σ = ±1 so that one
// strict "below" covers the four tests (above or below θc, strict or not), the inclusive ones
// as the negation of the opposite strict test.
template <bool FromDonor, bool AngleAtDonor, bool Cone = false>
struct GeneralTest {
  HydrogenLanes start;          // H, or D when both the distance and the angle are the donor's
  Doubles wx, wy, wz;           // D − H
  Doubles arm_x, arm_y, arm_z;  // the other arm: w at the hydrogen, −w at the donor
  Doubles s2_limit;             // |w|² · sign(cos θc) cos² θc · σ
  Doubles sign;                 // σ
  LaneMask invert;
  Doubles s2_lanes, cone_cutoff, cone_scale;
  double s2;
  const HbondCriterion* criterion;

  [[gnu::always_inline]] static bool make(const HbondCriterion& k, const Probe& p,
                                          GeneralTest& out) {
    const double s2 = (p.w[0] * p.w[0] + p.w[1] * p.w[1]) + p.w[2] * p.w[2];
    // Above θc for D–H–A, below it for H–D–A.
    const double sigma = (!k.angle_at_donor) == (!k.angle_inclusive) ? 1.0 : -1.0;
    const double arm = AngleAtDonor ? -1.0 : 1.0;
    // Measuring D···A with the angle at the donor, the lanes start from D = H + w.
    const double start[3] = {FromDonor && AngleAtDonor ? p.hydrogen[0] + p.w[0] : p.hydrogen[0],
                             FromDonor && AngleAtDonor ? p.hydrogen[1] + p.w[1] : p.hydrogen[1],
                             FromDonor && AngleAtDonor ? p.hydrogen[2] + p.w[2] : p.hydrogen[2]};
    out = GeneralTest{broadcast(start),
                      splat(p.w[0]),
                      splat(p.w[1]),
                      splat(p.w[2]),
                      splat(arm * p.w[0]),
                      splat(arm * p.w[1]),
                      splat(arm * p.w[2]),
                      splat(s2 * (k.signed_cos_squared() * sigma)),
                      splat(sigma),
                      LaneMask{} - static_cast<long long>(k.angle_inclusive),
                      splat(s2),
                      splat(k.distance_cutoff),
                      splat(k.cone_slope * (180.0 / M_PI) * (180.0 / M_PI)),
                      s2,
                      &k};
    return s2 > 0.0;
  }

  template <BoxKind Kind>
  [[gnu::always_inline]] LaneMask lanes(const CriterionLanes& c, const Probe& p,
                                        const TrajectoryGrid& g, std::uint32_t j) const {
    const AcceptorOffsets v = image_offsets<Kind>(c, p, start, g, j);
    Doubles ux = v.vx, uy = v.vy, uz = v.vz, r2 = v.r2;  // D···A or H···A
    if constexpr (FromDonor != AngleAtDonor) {
      ux = v.vx - wx;
      uy = v.vy - wy;
      uz = v.vz - wz;
    }
    if constexpr (FromDonor && !AngleAtDonor) r2 = (ux * ux + uy * uy) + uz * uz;
    Doubles ax = v.vx, ay = v.vy, az = v.vz, a2 = v.r2;  // acceptor − vertex
    if constexpr (AngleAtDonor && !FromDonor) {
      ax = ux;
      ay = uy;
      az = uz;
      a2 = (ux * ux + uy * uy) + uz * uz;
    }
    const Doubles dot = (ax * arm_x + ay * arm_y) + az * arm_z;
    const Doubles magnitude =
        reinterpret_cast<Doubles>(reinterpret_cast<LaneMask>(dot) & (LaneMask{} + kNoSign));
    const Doubles signed_square = (dot * magnitude) * sign;
    const LaneMask angle = (signed_square < a2 * s2_limit) ^ invert;
    LaneMask accepted = (r2 < c.distance_squared) & (r2 > Doubles{}) & (a2 > Doubles{}) & angle;
    if (Cone && any_lane(accepted)) {
      // sin θ ≤ θ, and below 90° θ ≤ tan θ, bound the cut-off d − slope·θ² from both sides
      // without an arccosine: lanes beyond the one bound fail, lanes within the other pass (each
      // with a margin far above the rounding of the bounds), and only those between take the exact
      // test. With q = |arm|²·s², cos² θ = dot²/q, and both bounds are multiplied through by q
      // or dot² to spare the divisions; lanes where q is not finite take the exact test.
      const Doubles q = a2 * s2_lanes;
      const Doubles dot2 = dot * dot;
      const LaneMask ordinary = q < (Doubles{} + kLargest);
      const Doubles widest = (cone_cutoff + (kConeMargin - cone_scale)) * q + cone_scale * dot2;
      accepted &= ~ordinary | ((widest > Doubles{}) & (r2 * (q * q) < widest * widest));
      if (!any_lane(accepted)) return accepted;
      const Doubles narrowest = (cone_cutoff + (cone_scale - kConeMargin)) * dot2 - cone_scale * q;
      const LaneMask surely = ordinary & (dot > Doubles{}) & (narrowest > Doubles{}) &
                              (r2 * (dot2 * dot2) < narrowest * narrowest);
      const unsigned undecided = lane_bits(accepted & ~surely);
      for (std::size_t k = 0; k < kLanes; ++k) {
        if ((undecided >> k & 1u) != 0 &&
            !within_cone(*criterion, r2[k], dot[k] / std::sqrt(a2[k] * s2))) {
          accepted[k] = 0;
        }
      }
    }
    return accepted;
  }

  static constexpr long long kNoSign = 0x7fffffffffffffffLL;
  static constexpr double kConeMargin = 1e-9;  // nm: far above any rounding of the bounds
  static constexpr double kLargest = 1e100;    // beyond it, products of the bounds could overflow
};

// Accepted lanes among the kRunBlock entries from `first`, as bits, those from `end` on cleared.
template <BoxKind Kind, class Test>
[[gnu::always_inline]] inline unsigned accepted_block(const CriterionLanes& c, const Probe& p,
                                                      const Test& test, const TrajectoryGrid& g,
                                                      std::uint32_t first, std::uint32_t end) {
  return run_block_bits(test.template lanes<Kind>(c, p, g, first),
                        test.template lanes<Kind>(c, p, g, first + kLanes), first, end);
}

// The pair's accepted acceptors in its three runs, appended to `hits` in grid order. Each run's
// first block is tested before any hit is written, so that the three tests overlap; the rare
// longer run continues block by block.
template <BoxKind Kind, class Test>
[[gnu::always_inline]] inline void test_runs(const CriterionLanes& c, const Probe& p,
                                             const Test& test, const TrajectoryGrid& g,
                                             const std::uint32_t begin[3],
                                             const std::uint32_t end[3], HitList& hits) {
  unsigned first_block[3];
  for (int r = 0; r < 3; ++r) {
    first_block[r] = accepted_block<Kind>(c, p, test, g, begin[r], end[r]);
  }
  hits.make_room(3 * kRunBlock);
  for (int r = 0; r < 3; ++r) {
    for (unsigned bits = first_block[r]; bits != 0; bits &= bits - 1) {
      hits.value[hits.size++] =
          g.position[begin[r] + static_cast<std::uint32_t>(__builtin_ctz(bits))];
    }
    for (std::uint32_t j = begin[r] + kRunBlock; j < end[r]; j += kRunBlock) {
      hits.make_room(kRunBlock);
      for (unsigned bits = accepted_block<Kind>(c, p, test, g, j, end[r]); bits != 0;
           bits &= bits - 1) {
        hits.value[hits.size++] = g.position[j + static_cast<std::uint32_t>(__builtin_ctz(bits))];
      }
    }
  }
}

// Each probe, in the order of `visits`, against its three runs, entirely in vector lanes; each
// pair's accepted acceptors are put in list order.
template <BoxKind Kind, class Test>
[[gnu::always_inline]] inline void search_probes_with(const HbondCriterion& criterion,
                                                      const CriterionLanes& c,
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
    Test test;
    if (!Test::make(criterion, p, test)) continue;
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
      test_runs<Kind>(c, p, test, g, begin, end, hits);
    } else if (p.lattice[0] == 0.0 && p.lattice[1] == 0.0 && p.lattice[2] == 0.0 &&
               g.untranslated(begin[0], end[0]) && g.untranslated(begin[1], end[1]) &&
               g.untranslated(begin[2], end[2])) {
      // Away from the faces every lattice number is zero, and the image offset is the raw one
      // (up to the sign of a zero, which decides nothing): the open test gives the same bits.
      test_runs<BoxKind::Open>(c, p, test, g, begin, end, hits);
    } else {
      test_runs<Kind>(c, p, test, g, begin, end, hits);
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

// The general test for what the criterion measures.
template <BoxKind Kind, bool Cone>
[[gnu::always_inline]] inline void search_general(const HbondCriterion& k, const CriterionLanes& c,
                                                  const TrajectoryGrid& g, const Probe* probes,
                                                  std::span<const std::uint32_t> visits,
                                                  HitList& hits, HitRange* ranges) {
  if (k.from_donor && k.angle_at_donor) {
    search_probes_with<Kind, GeneralTest<true, true, Cone>>(k, c, g, probes, visits, hits, ranges);
  } else if (k.from_donor) {
    search_probes_with<Kind, GeneralTest<true, false, Cone>>(k, c, g, probes, visits, hits, ranges);
  } else if (k.angle_at_donor) {
    search_probes_with<Kind, GeneralTest<false, true, Cone>>(k, c, g, probes, visits, hits, ranges);
  } else {
    search_probes_with<Kind, GeneralTest<false, false, Cone>>(k, c, g, probes, visits, hits,
                                                              ranges);
  }
}

// The search for one kind of box, with the test the criterion's form names. Inlined, so that it
// is compiled for the target of the clone that calls it.
template <BoxKind Kind>
[[gnu::always_inline]] inline void search_probes_in(const HbondCriterion& k,
                                                    const CriterionLanes& c,
                                                    const TrajectoryGrid& g, const Probe* probes,
                                                    std::span<const std::uint32_t> visits,
                                                    HitList& hits, HitRange* ranges) {
  if (k.baker_hubbard_form()) {
    if (k.obtuse) {
      search_probes_with<Kind, BakerHubbardTest<true>>(k, c, g, probes, visits, hits, ranges);
    } else {
      search_probes_with<Kind, BakerHubbardTest<false>>(k, c, g, probes, visits, hits, ranges);
    }
  } else if (k.cone_slope > 0.0) {
    search_general<Kind, true>(k, c, g, probes, visits, hits, ranges);
  } else {
    search_general<Kind, false>(k, c, g, probes, visits, hits, ranges);
  }
}

// A failure to grow the hit lists comes back as an exception_ptr (see distance_lanes.hpp).
BRENVOX_TARGET_CLONES std::exception_ptr search_in_visit_order(
    BoxKind kind, const HbondCriterion& k, const CriterionLanes& c, const TrajectoryGrid& g,
    const Probe* probes, std::span<const std::uint32_t> visits, HitList& hits,
    HitRange* ranges) noexcept {
  try {
    switch (kind) {
      case BoxKind::Open:
        search_probes_in<BoxKind::Open>(k, c, g, probes, visits, hits, ranges);
        break;
      case BoxKind::Rectangular:
        search_probes_in<BoxKind::Rectangular>(k, c, g, probes, visits, hits, ranges);
        break;
      case BoxKind::Triclinic:
        search_probes_in<BoxKind::Triclinic>(k, c, g, probes, visits, hits, ranges);
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
  if (std::exception_ptr failure =
          search_in_visit_order(kind_of(box), criterion, criterion_lanes(criterion, box), g,
                                probes.probes.data(), probes.visits, hits, ranges.data())) {
    std::rethrow_exception(failure);
  }
}

}  // namespace brenvox
