// The exhaustive search. Per frame the acceptors' coordinates are gathered once into separate
// x, y and z arrays; per pair a branch-free vector pass then marks the acceptors that pass the
// distance step, and only those go through the full test. The pass performs the full test's
// own first operations in the same order, so every decision is unchanged.

#include <algorithm>
#include <cstring>
#include <vector>

#include "kernel/baker_hubbard.hpp"
#include "kernel/distance_lanes.hpp"
#include "kernel/fixed/frame_collector.hpp"

namespace brenvox {

namespace {

constexpr std::size_t kBlock = 256;  // acceptors marked per pass; a multiple of kLanes

// Sets bit j of `near` where acceptor j lies strictly within the cut-off and not on the
// hydrogen. `count` is kBlock, or less for the last block, padded to a multiple of kLanes.
BRENVOX_TARGET_CLONES void mark_near(const double* hydrogen, const double* ax, const double* ay,
                                     const double* az, std::size_t count, std::uint64_t* near) {
  const HydrogenLanes h = broadcast(hydrogen);
  for (std::size_t word = 0; word * 64 < count; ++word) {
    std::uint64_t bits = 0;
    const std::size_t end = std::min<std::size_t>(64, count - word * 64);
    for (std::size_t j = 0; j < end; j += kLanes) {
      const std::size_t at = word * 64 + j;
      bits |= std::uint64_t{lane_bits(near_lanes(h, ax + at, ay + at, az + at))} << j;
    }
    near[word] = bits;
  }
}

}  // namespace

void collect_bonds_brute_frame(CoordView xyz, std::uint64_t frame, std::uint64_t frame_offset,
                               std::span<const Pair> pairs,
                               std::span<const std::uint64_t> acceptors, FrameScratch&,
                               BondBuffer& out) {
  if (pairs.empty() || acceptors.empty()) return;
  const FrameView view(xyz, frame_offset);
  const std::size_t n = acceptors.size();
  const std::size_t padded = (n + kLanes - 1) / kLanes * kLanes;
  // Padding lanes sit on infinity: their distance is never below the cut-off.
  std::vector<double> gathered(3 * padded, __builtin_inf());
  double* ax = gathered.data();
  double* ay = ax + padded;
  double* az = ay + padded;
  for (std::size_t j = 0; j < n; ++j) {
    const double* a = view.atom(acceptors[j]);
    ax[j] = a[0];
    ay[j] = a[1];
    az[j] = a[2];
  }
  const double* coords = view.atom(acceptors[0]) - 3 * acceptors[0];
  std::uint64_t near[kBlock / 64];
  for (const Pair& pair : pairs) {
    const double* donor = view.atom(pair.donor);
    const double* hydrogen = view.atom(pair.hydrogen);
    for (std::size_t start = 0; start < n; start += kBlock) {
      const std::size_t count = std::min(kBlock, padded - start);
      mark_near(hydrogen, ax + start, ay + start, az + start, count, near);
      for (std::size_t word = 0; word * 64 < count; ++word) {
        // Padding lanes never set a bit, so every bit names a real acceptor, in list order.
        for (std::uint64_t bits = near[word]; bits != 0; bits &= bits - 1) {
          const std::uint64_t acceptor = acceptors[start + word * 64 + __builtin_ctzll(bits)];
          if (acceptor == pair.donor) continue;
          if (is_hydrogen_bond(donor, hydrogen, coords + 3 * acceptor)) {
            out.push_record(frame, pair.donor, pair.hydrogen, acceptor);
          }
        }
      }
    }
  }
}

}  // namespace brenvox
