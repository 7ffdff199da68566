#include "parallel/threaded_driver.hpp"

#include <atomic>

#include "kernel/frame_loop.hpp"
#include "parallel/frame_blocks.hpp"

namespace brenvox {

BondBuffer run_kernel_threaded(WorkerPool& pool, CoordView xyz, std::uint64_t n_frames,
                               std::uint64_t n_atoms, const SearchInputs& inputs,
                               FrameCollector collector) {
  const std::uint64_t n_blocks = frame_block_count(n_frames, pool.size());
  WorkerRows rows_of_blocks(pool.size(), n_blocks);
  std::atomic<std::uint64_t> next_block{0};
  std::atomic<bool> abandoned{false};

  pool.run([&](std::size_t worker) {
    FrameScratch scratch;
    try {
      while (!abandoned.load(std::memory_order_relaxed)) {
        const std::uint64_t b = next_block.fetch_add(1, std::memory_order_relaxed);
        if (b >= n_blocks) return;
        const std::uint64_t first = block_start(b, n_blocks, n_frames);
        const std::uint64_t last = block_start(b + 1, n_blocks, n_frames);
        rows_of_blocks.collect_block(worker, b, last - first, [&](BondBuffer& rows) {
          collect_frame_range(collector, xyz, first, last, n_atoms, inputs, scratch, rows);
        });
      }
    } catch (...) {
      abandoned.store(true, std::memory_order_relaxed);
      throw;
    }
  });

  return rows_of_blocks.join(pool);
}

}  // namespace brenvox
