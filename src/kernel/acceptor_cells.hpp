#pragma once
// The cells of a frame's acceptors and the box they span, shared by both grid layouts.

#include <cstdint>
#include <span>
#include <vector>

#include "kernel/cell_key.hpp"
#include "kernel/search_inputs.hpp"

namespace brenvox {

struct AcceptorKeys {
  std::vector<CellKey> keys;  // in acceptor-list order
  CellKey min;
  CellKey max;
};

void compute_acceptor_keys(const FrameView& view, std::span<const std::uint64_t> acceptors,
                           AcceptorKeys& result);

}  // namespace brenvox
