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

OrderedRows::OrderedRows(std::uint64_t n_blocks, std::uint64_t n_frames)
    : n_frames_(n_frames), waiting_(n_blocks) {}

namespace {

// Values for `n_frames` frames at a little over the rate seen so far, as frames differ; 0
// before any frame is seen or when the estimate is beyond reason.
std::size_t estimate_values(std::uint64_t values_seen, std::uint64_t frames_seen,
                            std::uint64_t n_frames) {
  if (frames_seen == 0) return 0;
  const long double wanted = (long double)values_seen / frames_seen * n_frames * 1.05L + 64;
  if (wanted > (long double)(std::uint64_t{1} << 40)) return 0;
  return static_cast<std::size_t>(wanted);
}

}  // namespace

BondBuffer OrderedRows::take_buffer(std::uint64_t n_frames) {
  BondBuffer rows;
  std::size_t wanted = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!spare_.empty()) {
      rows = std::move(spare_.back());
      spare_.pop_back();
    }
    wanted = estimate_values(result_.size(), frames_placed_, n_frames);
  }
  // A hint: a buffer that cannot grow now grows row by row, or fails there.
  try {
    rows.reserve_more(wanted);
  } catch (const std::bad_alloc&) {
  }
  return rows;
}

void OrderedRows::append(std::uint64_t n_frames, BondBuffer& rows) {
  const std::size_t needed = result_.size() + rows.size();
  if (result_.capacity() < needed) {
    // The rest of the trajectory at the rate seen, at least doubling.
    const std::size_t rest =
        estimate_values(result_.size() + rows.size(), frames_placed_ + n_frames,
                        n_frames_ - frames_placed_ - n_frames);
    result_.reserve_more(std::max(rows.size() + rest, result_.capacity()));
  }
  result_.append(rows);
  frames_placed_ += n_frames;
  rows.clear();
  try {
    spare_.push_back(std::move(rows));
  } catch (const std::bad_alloc&) {
    // Not kept for reuse: the next block starts a buffer of its own.
  }
}

void OrderedRows::place(std::uint64_t block, std::uint64_t n_frames, BondBuffer rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (block != next_block_) {
    waiting_[block] = Finished{std::move(rows), n_frames, true};
    return;
  }
  append(n_frames, rows);
  for (++next_block_; next_block_ < waiting_.size() && waiting_[next_block_].done; ++next_block_) {
    Finished& next = waiting_[next_block_];
    append(next.n_frames, next.rows);
    next.done = false;
  }
}

BondBuffer OrderedRows::finish() {
  result_.shrink_to_fit();
  return std::move(result_);
}

}  // namespace brenvox
