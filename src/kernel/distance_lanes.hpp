#pragma once
// The Baker–Hubbard test on four acceptors at once, whole or its distance step alone. Each lane
// performs the scalar test's own operations in the same order, so a lane decides exactly as
// the scalar test would.

#include <cstdint>
#include <cstring>

#include "kernel/baker_hubbard.hpp"

namespace brenvox {

inline constexpr std::size_t kLanes = 4;

using Doubles = double __attribute__((vector_size(kLanes * sizeof(double))));
using LaneMask = long long __attribute__((vector_size(kLanes * sizeof(double))));

// ThreadSanitizer's runtime is not yet set up when ifunc resolvers run, so its builds take the
// portable version alone.
//
// GCC takes a function with target clones to be one that cannot throw: its callers get no
// unwind entry for the call, and an exception leaving it ends the process. Such a function
// that can throw (an allocation) catches everything and hands it back as an exception_ptr.
#if defined(BRENVOX_NO_TARGET_CLONES)
#define BRENVOX_TARGET_CLONES
#else
#define BRENVOX_TARGET_CLONES __attribute__((target_clones("avx2", "default")))
#endif

// v in every lane. Written out rather than as 0.0 + v, which costs an addition per lane and
// turns -0.0 into +0.0.
[[gnu::always_inline]] inline Doubles splat(double v) {
  return Doubles{v, v, v, v};
}

struct HydrogenLanes {
  Doubles x, y, z;
};

[[gnu::always_inline]] inline HydrogenLanes broadcast(const double* hydrogen) {
  return HydrogenLanes{splat(hydrogen[0]), splat(hydrogen[1]), splat(hydrogen[2])};
}

// v = acceptor − hydrogen and its squared length r2, for four acceptors at ax[0..3], ...
struct AcceptorOffsets {
  Doubles vx, vy, vz, r2;
};

[[gnu::always_inline]] inline AcceptorOffsets offsets_from(const HydrogenLanes& h, const double* ax,
                                                           const double* ay, const double* az) {
  Doubles x, y, z;
  std::memcpy(&x, ax, sizeof x);
  std::memcpy(&y, ay, sizeof y);
  std::memcpy(&z, az, sizeof z);
  const Doubles vx = x - h.x;
  const Doubles vy = y - h.y;
  const Doubles vz = z - h.z;
  return AcceptorOffsets{vx, vy, vz, (vx * vx + vy * vy) + vz * vz};
}

// The distance step: strictly within the cut-off and not on the hydrogen.
[[gnu::always_inline]] inline LaneMask within_cutoff(const Doubles& r2) {
  return (r2 < (Doubles{} + kCutoffSquared)) & (r2 > Doubles{});
}

// All-ones in the lanes whose acceptor passes the distance step.
[[gnu::always_inline]] inline LaneMask near_lanes(const HydrogenLanes& h, const double* ax,
                                                  const double* ay, const double* az) {
  return within_cutoff(offsets_from(h, ax, ay, az).r2);
}

// One donor–hydrogen pair, broadcast to every lane, with the parts of the test that depend on
// the pair alone computed once, as the scalar test computes them.
struct PairLanes {
  HydrogenLanes hydrogen;
  Doubles wx, wy, wz;      // donor − hydrogen
  Doubles s2_cos_squared;  // s2 × cos² of the angle cut-off
};

// False when no acceptor can bond to the pair (s2 not above zero, or NaN).
[[gnu::always_inline]] inline bool prepare_pair(const double* donor, const double* hydrogen,
                                                PairLanes& lanes) {
  const double wx = donor[0] - hydrogen[0];
  const double wy = donor[1] - hydrogen[1];
  const double wz = donor[2] - hydrogen[2];
  const double s2 = (wx * wx + wy * wy) + wz * wz;
  lanes = PairLanes{broadcast(hydrogen), splat(wx), splat(wy), splat(wz),
                    splat(s2 * kCosThresholdSquared)};
  return s2 > 0.0;
}

// All-ones in the lanes whose acceptor the full test accepts, for a pair that prepare_pair
// accepted; every comparison that can reject does so here too, NaN included. The donor itself
// is never accepted: its dot product equals s2, which is not negative.
[[gnu::always_inline]] inline LaneMask bonded_lanes(const PairLanes& p, const double* ax,
                                                    const double* ay, const double* az) {
  const AcceptorOffsets v = offsets_from(p.hydrogen, ax, ay, az);
  const Doubles dot = (v.vx * p.wx + v.vy * p.wy) + v.vz * p.wz;
  const Doubles limit = v.r2 * p.s2_cos_squared;
  return within_cutoff(v.r2) & (dot < Doubles{}) & (dot * dot > limit);
}

// All-ones in the lanes below `count`.
[[gnu::always_inline]] inline LaneMask first_lanes(long long count) {
  return LaneMask{0, 1, 2, 3} < (LaneMask{} + count);
}

// Bit k set for lane k of `mask`: the sign bits, two lanes at a time, as every x86-64 target
// has an instruction for that.
[[gnu::always_inline]] inline unsigned lane_bits(LaneMask mask) {
  using Half = double __attribute__((vector_size(2 * sizeof(double))));
  const Doubles all = reinterpret_cast<Doubles>(mask);
  const Half low = __builtin_shufflevector(all, all, 0, 1);
  const Half high = __builtin_shufflevector(all, all, 2, 3);
  return static_cast<unsigned>(__builtin_ia32_movmskpd(low) | (__builtin_ia32_movmskpd(high) << 2));
}

// Entries tested per step along a run of a grid: two vectors of lanes.
inline constexpr std::uint32_t kRunBlock = 2 * kLanes;

// The accepted entries of one run block, as bits, from the masks of its two halves; entries
// from `end` on, beyond the run, are cleared.
[[gnu::always_inline]] inline unsigned run_block_bits(LaneMask first_half, LaneMask second_half,
                                                      std::uint32_t first, std::uint32_t end) {
  const unsigned bits = lane_bits(first_half) | lane_bits(second_half) << kLanes;
  const std::uint32_t in_run = end - first < kRunBlock ? end - first : kRunBlock;
  return bits & ((1u << in_run) - 1);
}

}  // namespace brenvox
