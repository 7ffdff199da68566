#include "parallel/threaded_driver.hpp"

#include <algorithm>
#include <atomic>
#include <vector>

#include "kernel/frame_loop.hpp"

namespace brenvox {

namespace {

// Several blocks per worker let a worker that finishes early take over remaining frames.
constexpr std::uint64_t kBlocksPerWorker = 8;
constexpr std::uint64_t kMaxBlocks = std::uint64_t{1} << 16;

std::uint64_t block_count(std::uint64_t n_frames, std::size_t n_workers) {
  return std::min({n_frames, std::max<std::uint64_t>(n_workers * kBlocksPerWorker, 1),
                   std::max<std::uint64_t>(kMaxBlocks, n_workers)});
}

// Frames [block_start(b), block_start(b + 1)) form block b; sizes differ by at most one.
std::uint64_t block_start(std::uint64_t block, std::uint64_t n_blocks, std::uint64_t n_frames) {
  const std::uint64_t base = n_frames / n_blocks;
  const std::uint64_t extra = n_frames % n_blocks;
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

  std::uint64_t total = 0;
  for (const BondBuffer& chunk : chunks) total += chunk.size();
  BondBuffer joined;
  joined.reserve_more(total);
  for (const BondBuffer& chunk : chunks) joined.append(chunk);
  return joined;
}

}  // namespace brenvox
