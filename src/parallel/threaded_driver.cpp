#include "parallel/threaded_driver.hpp"

#include <atomic>
#include <vector>

#include "kernel/frame_loop.hpp"
#include "parallel/frame_blocks.hpp"

namespace brenvox {

BondBuffer run_kernel_threaded(WorkerPool& pool, CoordView xyz, std::uint64_t n_frames,
                               std::uint64_t n_atoms, const SearchInputs& inputs,
                               FrameCollector collector) {
  const std::uint64_t n_blocks = frame_block_count(n_frames, pool.size());
  std::vector<BondBuffer> chunks(n_blocks);
  std::atomic<std::uint64_t> next_block{0};
  std::atomic<bool> abandoned{false};

  pool.run([&](std::size_t) {
    FrameScratch scratch;
    RowRate rate;
    try {
      while (!abandoned.load(std::memory_order_relaxed)) {
        const std::uint64_t b = next_block.fetch_add(1, std::memory_order_relaxed);
        if (b >= n_blocks) return;
        const std::uint64_t first = block_start(b, n_blocks, n_frames);
        const std::uint64_t last = block_start(b + 1, n_blocks, n_frames);
        rate.reserve_for(chunks[b], last - first);
        collect_frame_range(collector, xyz, first, last, n_atoms, inputs, scratch, chunks[b]);
        rate.record(chunks[b], last - first);
      }
    } catch (...) {
      abandoned.store(true, std::memory_order_relaxed);
      throw;
    }
  });

  return join_blocks(pool, chunks);
}

}  // namespace brenvox
