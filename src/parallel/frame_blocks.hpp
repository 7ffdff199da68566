#pragma once
// Frames shared out in blocks of consecutive frames, and the ordered join of the blocks' rows.
// Both threaded drivers use these, so their results never depend on timing or worker count.

#include <cstdint>
#include <vector>

#include "kernel/bond_buffer.hpp"
#include "parallel/worker_pool.hpp"

namespace brenvox {

// Blocks for `n_frames` on `n_workers`: many small blocks per worker, so that a worker that
// finishes early takes over remaining frames instead of waiting for the last block.
std::uint64_t frame_block_count(std::uint64_t n_frames, std::size_t n_workers);

// Items [block_start(b), block_start(b + 1)) of `n` form block b of `n_blocks`; sizes differ
// by at most one.
std::uint64_t block_start(std::uint64_t block, std::uint64_t n_blocks, std::uint64_t n);

// One reservation of exactly the total, filled in block order by the pool's workers.
BondBuffer join_blocks(WorkerPool& pool, const std::vector<BondBuffer>& chunks);

}  // namespace brenvox
