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

WorkerRows::WorkerRows(std::size_t n_workers, std::uint64_t n_blocks)
    : workers_(n_workers), blocks_(n_blocks, Span{0, 0, 0}) {}

void WorkerRows::Worker::reserve_for(std::uint64_t n_frames) {
  if (frames_seen == 0) return;
  // A little over the mean, as frames differ.
  const long double wanted = (long double)values_seen / frames_seen * n_frames * 1.05L + 64;
  if (wanted > (long double)(std::uint64_t{1} << 40)) return;
  const std::size_t values = static_cast<std::size_t>(wanted);
  if (rows.capacity() - rows.size() >= values) return;
  try {
    rows.reserve_more(std::max(values, rows.capacity()));
  } catch (const std::bad_alloc&) {
  }
}

void WorkerRows::Worker::record(std::uint64_t n_frames, std::size_t values) {
  frames_seen += n_frames;
  values_seen += values;
}

BondBuffer WorkerRows::join(WorkerPool& pool) const {
  const std::uint64_t n_blocks = blocks_.size();
  std::vector<std::uint64_t> offset(n_blocks + 1, 0);
  for (std::uint64_t b = 0; b < n_blocks; ++b) offset[b + 1] = offset[b] + blocks_[b].length;
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
      const Span& span = blocks_[b];
      if (span.length == 0) continue;
      std::memcpy(base + offset[b], workers_[span.worker].rows.data() + span.begin,
                  span.length * sizeof(std::uint32_t));
    }
  });
  return joined;
}

}  // namespace brenvox
