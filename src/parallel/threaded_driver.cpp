#include "parallel/threaded_driver.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "kernel/frame_loop.hpp"

namespace brenvox {

namespace {

// Many small blocks per worker let a worker that finishes early take over remaining frames,
// so that no worker waits long for the last block; a block costs one buffer and one copy.
constexpr std::uint64_t kBlocksPerWorker = 64;
constexpr std::uint64_t kMaxBlocks = std::uint64_t{1} << 16;

std::uint64_t block_count(std::uint64_t n_frames, std::size_t n_workers) {
  return std::min({n_frames, std::max<std::uint64_t>(n_workers * kBlocksPerWorker, 1),
                   std::max<std::uint64_t>(kMaxBlocks, n_workers)});
}

// Items [block_start(b), block_start(b + 1)) of `n` form block b of `n_blocks`; sizes differ
// by at most one.
std::uint64_t block_start(std::uint64_t block, std::uint64_t n_blocks, std::uint64_t n) {
  const std::uint64_t base = n / n_blocks;
  const std::uint64_t extra = n % n_blocks;
  return block * base + std::min(block, extra);
}

}  // namespace

BondBuffer run_kernel_threaded(WorkerPool& pool, CoordView xyz, std::uint64_t n_frames,
                               std::uint64_t n_atoms, const SearchInputs& inputs,
                               FrameCollector collector) {
  const std::uint64_t n_blocks = block_count(n_frames, pool.size());
  std::vector<BondBuffer> chunks(n_blocks);
  std::atomic<std::uint64_t> next_block{0};
  std::atomic<bool> abandoned{false};

  pool.run([&](std::size_t) {
    const FrameStorageScope storage;
    try {
      while (!abandoned.load(std::memory_order_relaxed)) {
        const std::uint64_t b = next_block.fetch_add(1, std::memory_order_relaxed);
        if (b >= n_blocks) return;
        collect_frame_range(collector, xyz, block_start(b, n_blocks, n_frames),
                            block_start(b + 1, n_blocks, n_frames), n_atoms, inputs, chunks[b]);
      }
    } catch (...) {
      abandoned.store(true, std::memory_order_relaxed);
      throw;
    }
  });

  // One reservation of exactly the total, filled in block order; the workers copy disjoint
  // runs of blocks at once, which also spreads the faulting-in of the new pages.
  std::vector<std::uint64_t> offset(n_blocks + 1, 0);
  for (std::uint64_t b = 0; b < n_blocks; ++b) offset[b + 1] = offset[b] + chunks[b].size();
  BondBuffer joined;
  joined.reserve_more(offset[n_blocks]);
  std::uint32_t* base = joined.extend_reserved(offset[n_blocks]);
  if (offset[n_blocks] != 0) {
    const std::size_t n_workers = pool.size();
    pool.run([&](std::size_t worker) {
      const std::uint64_t first = block_start(worker, n_workers, n_blocks);
      const std::uint64_t last = block_start(worker + 1, n_workers, n_blocks);
      for (std::uint64_t b = first; b < last; ++b) {
        if (chunks[b].size() == 0) continue;
        std::memcpy(base + offset[b], chunks[b].data(), chunks[b].size() * sizeof(std::uint32_t));
      }
    });
  }
  return joined;
}

}  // namespace brenvox
