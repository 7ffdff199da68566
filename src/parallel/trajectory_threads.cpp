#include "parallel/trajectory_threads.hpp"

#include <atomic>
#include <vector>

#include "parallel/frame_blocks.hpp"

namespace brenvox {

BondBuffer search_trajectory_threaded(WorkerPool& pool, const TrajectorySearch& search) {
  const std::uint64_t n_blocks = frame_block_count(search.n_frames, pool.size());
  WorkerRows rows_of_blocks(pool.size(), n_blocks);
  std::vector<TrajectorySearchStoragePtr> storage(pool.size());
  for (TrajectorySearchStoragePtr& s : storage) s = make_trajectory_search_storage();
  std::atomic<std::uint64_t> next_block{0};
  std::atomic<bool> abandoned{false};

  pool.run([&](std::size_t worker) {
    try {
      while (!abandoned.load(std::memory_order_relaxed)) {
        const std::uint64_t b = next_block.fetch_add(1, std::memory_order_relaxed);
        if (b >= n_blocks) return;
        const std::uint64_t first = block_start(b, n_blocks, search.n_frames);
        const std::uint64_t last = block_start(b + 1, n_blocks, search.n_frames);
        rows_of_blocks.collect_block(worker, b, last - first, [&](BondBuffer& rows) {
          collect_trajectory_frames(search, first, last, *storage[worker], rows);
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
