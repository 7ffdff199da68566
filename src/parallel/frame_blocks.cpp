#include "parallel/frame_blocks.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace brenvox {

namespace {

constexpr std::uint64_t kBlocksPerWorker = 64;
constexpr std::uint64_t kMaxBlocks = std::uint64_t{1} << 16;

}  // namespace

std::uint64_t frame_block_count(std::uint64_t n_frames, std::size_t n_workers) {
  return std::min({n_frames, std::max<std::uint64_t>(n_workers * kBlocksPerWorker, 1),
                   std::max<std::uint64_t>(kMaxBlocks, n_workers)});
}

std::uint64_t block_start(std::uint64_t block, std::uint64_t n_blocks, std::uint64_t n) {
  const std::uint64_t base = n / n_blocks;
  const std::uint64_t extra = n % n_blocks;
  return block * base + std::min(block, extra);
}

void RowRate::reserve_for(BondBuffer& chunk, std::uint64_t n_frames) const {
  if (frames_ == 0) return;
  // A little over the mean, as frames differ; a hint, so a failure to reserve is no error.
  const long double wanted = (long double)values_ / frames_ * n_frames * 1.05L + 64;
  if (wanted > (long double)(std::uint64_t{1} << 40)) return;
  try {
    chunk.reserve_more(static_cast<std::size_t>(wanted));
  } catch (const std::bad_alloc&) {
  }
}

void RowRate::record(const BondBuffer& chunk, std::uint64_t n_frames) {
  values_ += chunk.size();
  frames_ += n_frames;
}

BondBuffer join_blocks(WorkerPool& pool, const std::vector<BondBuffer>& chunks) {
  const std::uint64_t n_blocks = chunks.size();
  std::vector<std::uint64_t> offset(n_blocks + 1, 0);
  for (std::uint64_t b = 0; b < n_blocks; ++b) offset[b + 1] = offset[b] + chunks[b].size();
  BondBuffer joined;
  joined.reserve_more(offset[n_blocks]);
  std::uint32_t* base = joined.extend_reserved(offset[n_blocks]);
  if (offset[n_blocks] == 0) return joined;
  // The workers copy disjoint runs of blocks at once, which also spreads the faulting-in of
  // the new pages.
  const std::size_t n_workers = pool.size();
  pool.run([&](std::size_t worker) {
    const std::uint64_t first = block_start(worker, n_workers, n_blocks);
    const std::uint64_t last = block_start(worker + 1, n_workers, n_blocks);
    for (std::uint64_t b = first; b < last; ++b) {
      if (chunks[b].size() == 0) continue;
      std::memcpy(base + offset[b], chunks[b].data(), chunks[b].size() * sizeof(std::uint32_t));
    }
  });
  return joined;
}

}  // namespace brenvox
