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

// The rows per frame that a worker has seen so far, to reserve a block's buffer up front rather
// than grow it by doubling: less copying, and no pages touched beyond what the rows need.
class RowRate {
 public:
  void reserve_for(BondBuffer& chunk, std::uint64_t n_frames) const;
  void record(const BondBuffer& chunk, std::uint64_t n_frames);

 private:
  std::uint64_t values_ = 0;
  std::uint64_t frames_ = 0;
};

// One reservation of exactly the total, filled in block order by the pool's workers.
BondBuffer join_blocks(WorkerPool& pool, const std::vector<BondBuffer>& chunks);

}  // namespace brenvox
