#pragma once
// One pass over a frame's acceptors: their cells, the box of cells they span, and their
// coordinates gathered in list order, so that later passes read memory in sequence.

#include <cstdint>
#include <span>
#include <vector>

#include "kernel/fixed/cell_key.hpp"
#include "kernel/fixed/search_inputs.hpp"

namespace brenvox {

struct AcceptorCells {
  std::vector<CellKey> keys;  // in acceptor-list order
  std::vector<double> xyz;    // x, y, z of each acceptor, in list order
  CellKey min;
  CellKey max;

  const double* position(std::size_t i) const { return xyz.data() + 3 * i; }
};

void compute_acceptor_cells(const FrameView& view, std::span<const std::uint64_t> acceptors,
                            AcceptorCells& result);

}  // namespace brenvox
