#pragma once
// Frames shared out in blocks of consecutive frames, and the ordered join of the blocks' rows.
// Both threaded drivers use these, so their results never depend on timing or worker count.

#include <atomic>
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

// The rows of every block, gathered per worker: each worker appends the rows of its blocks to
// one buffer of its own and records where each block's rows lie. A block then costs no
// allocation of its own, and a worker faults in its pages once rather than once per block.
class WorkerRows {
 public:
  WorkerRows(std::size_t n_workers, std::uint64_t n_blocks);

  // Appends block b of `n_frames` frames to `worker`'s buffer through collect(buffer).
  template <typename Collect>
  void collect_block(std::size_t worker, std::uint64_t block, std::uint64_t n_frames,
                     Collect&& collect) {
    Worker& w = workers_[worker];
    w.reserve_for(n_frames);
    const std::size_t begin = w.rows.size();
    collect(w.rows);
    w.record(n_frames, w.rows.size() - begin);
    blocks_[block] = Span{worker, begin, w.rows.size() - begin};
  }

  // One reservation of exactly the total, filled in block order by the pool's workers.
  BondBuffer join(WorkerPool& pool) const;

 private:
  // Cache-line aligned: the buffers' lengths change with every row, on different cores.
  struct alignas(64) Worker {
    BondBuffer rows;
    std::uint64_t frames_seen = 0;
    std::uint64_t values_seen = 0;

    // Room for a block at a little over the rows per frame seen so far, at least doubling the
    // buffer so that it is moved seldom; a hint, so a failure to reserve is no error.
    void reserve_for(std::uint64_t n_frames);
    void record(std::uint64_t n_frames, std::size_t values);
  };
  struct Span {
    std::size_t worker;
    std::size_t begin;
    std::size_t length;
  };

  std::vector<Worker> workers_;
  std::vector<Span> blocks_;
};

// The rows of all `n_frames` frames in frame order. Each worker makes its state with
// make_state(worker), keeps it for the blocks it takes, and appends a block's rows with
// collect(state, first, last, rows). After one block throws, no worker takes another, and
// the exception reaches the caller.
template <typename MakeState, typename Collect>
BondBuffer collect_blocks_in_frame_order(WorkerPool& pool, std::uint64_t n_frames,
                                         MakeState&& make_state, Collect&& collect) {
  const std::uint64_t n_blocks = frame_block_count(n_frames, pool.size());
  WorkerRows rows_of_blocks(pool.size(), n_blocks);
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
        rows_of_blocks.collect_block(worker, b, last - first,
                                     [&](BondBuffer& rows) { collect(state, first, last, rows); });
      }
    } catch (...) {
      abandoned.store(true, std::memory_order_relaxed);
      throw;
    }
  });
  return rows_of_blocks.join(pool);
}

}  // namespace brenvox
