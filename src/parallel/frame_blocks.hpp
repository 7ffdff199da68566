#pragma once
// Frames shared out in blocks of consecutive frames, and the blocks' rows put in frame order.
// Both threaded drivers use these, so their results never depend on timing or worker count.

#include <atomic>
#include <cstdint>
#include <mutex>
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

// The rows of every block, put in frame order as the blocks finish: a worker collects a block
// into a buffer of its own, and once every earlier block is in the result it appends the
// block, and any later ones that finished before it, to the result. Rows are thus copied once,
// mostly while still in the worker's cache, and the buffers are reused from block to block;
// nothing is left to join when the last block ends.
class OrderedRows {
 public:
  OrderedRows(std::uint64_t n_blocks, std::uint64_t n_frames);

  // Collects block b of `n_frames` frames through collect(buffer) and places it.
  template <typename Collect>
  void collect_block(std::uint64_t block, std::uint64_t n_frames, Collect&& collect) {
    BondBuffer rows = take_buffer(n_frames);
    collect(rows);
    place(block, n_frames, std::move(rows));
  }

  // The rows of all blocks, sized exactly; once every block is placed.
  BondBuffer finish();

 private:
  BondBuffer take_buffer(std::uint64_t n_frames);
  void place(std::uint64_t block, std::uint64_t n_frames, BondBuffer rows);
  void append(std::uint64_t n_frames, BondBuffer& rows);  // with mutex_ held

  std::mutex mutex_;
  BondBuffer result_;
  std::uint64_t n_frames_;
  std::uint64_t frames_placed_ = 0;
  std::uint64_t next_block_ = 0;  // the first block not yet in result_
  struct Finished {
    BondBuffer rows;
    std::uint64_t n_frames = 0;
    bool done = false;
  };
  std::vector<Finished> waiting_;  // per block: finished before an earlier one was placed
  std::vector<BondBuffer> spare_;  // placed and emptied, for the next block
};

// The rows of all `n_frames` frames in frame order. Each worker makes its state with
// make_state(worker), keeps it for the blocks it takes, and appends a block's rows with
// collect(state, first, last, rows). After one block throws, no worker takes another, and
// the exception reaches the caller.
template <typename MakeState, typename Collect>
BondBuffer collect_blocks_in_frame_order(WorkerPool& pool, std::uint64_t n_frames,
                                         MakeState&& make_state, Collect&& collect) {
  const std::uint64_t n_blocks = frame_block_count(n_frames, pool.size());
  OrderedRows rows_of_blocks(n_blocks, n_frames);
  std::atomic<std::uint64_t> next_block{0};
  std::atomic<bool> abandoned{false};
  pool.run([&](std::size_t worker) {
    try {
      auto&& state = make_state(worker);
      while (!abandoned.load(std::memory_order_relaxed)) {
        const std::uint64_t b = next_block.fetch_add(1, std::memory_order_relaxed);
        if (b >= n_blocks) return;
        const std::uint64_t first = block_start(b, n_blocks, n_frames);
        const std::uint64_t last = block_start(b + 1, n_blocks, n_frames);
        rows_of_blocks.collect_block(b, last - first,
                                     [&](BondBuffer& rows) { collect(state, first, last, rows); });
      }
    } catch (...) {
      abandoned.store(true, std::memory_order_relaxed);
      throw;
    }
  });
  return rows_of_blocks.finish();
}

}  // namespace brenvox
