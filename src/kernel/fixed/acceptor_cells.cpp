#include "kernel/fixed/acceptor_cells.hpp"

#include <algorithm>
#include <cstring>

namespace brenvox {

void compute_acceptor_cells(const FrameView& view, std::span<const std::uint64_t> acceptors,
                            AcceptorCells& result) {
  result.keys.resize(acceptors.size());
  result.xyz.resize(3 * acceptors.size());
  CellKey lo{INT32_MAX, INT32_MAX, INT32_MAX};
  CellKey hi{INT32_MIN, INT32_MIN, INT32_MIN};
  constexpr std::size_t kAhead = 8;  // acceptors name atoms in no particular order
  for (std::size_t i = 0; i < acceptors.size(); ++i) {
    if (i + kAhead < acceptors.size()) view.prefetch(acceptors[i + kAhead]);
    double* p = result.xyz.data() + 3 * i;
    std::memcpy(p, view.atom(acceptors[i]), 3 * sizeof(double));
    const CellKey k = cell_key(p);
    result.keys[i] = k;
    lo = CellKey{std::min(lo.x, k.x), std::min(lo.y, k.y), std::min(lo.z, k.z)};
    hi = CellKey{std::max(hi.x, k.x), std::max(hi.y, k.y), std::max(hi.z, k.z)};
  }
  result.min = lo;
  result.max = hi;
}

}  // namespace brenvox
