#include "kernel/baker_hubbard.hpp"
#include "kernel/frame_collector.hpp"

namespace brenvox {

void collect_bonds_brute_frame(CoordView xyz, std::uint64_t frame, std::uint64_t frame_offset,
                               std::span<const Pair> pairs,
                               std::span<const std::uint64_t> acceptors, BondBuffer& out) {
  if (pairs.empty() || acceptors.empty()) return;
  const FrameView view(xyz, frame_offset);
  for (std::uint64_t acceptor : acceptors) view.atom(acceptor);
  const double* coords = view.atom(0);
  for (const Pair& pair : pairs) {
    const double* donor = view.atom(pair.donor);
    const double* hydrogen = view.atom(pair.hydrogen);
    for (std::uint64_t acceptor : acceptors) {
      if (acceptor == pair.donor) continue;
      if (is_hydrogen_bond(donor, hydrogen, coords + 3 * acceptor)) {
        out.push_record(frame, pair.donor, pair.hydrogen, acceptor);
      }
    }
  }
}

}  // namespace brenvox
