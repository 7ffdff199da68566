#pragma once
// The bookkeeping of a counting sort: count every item's bucket, turn the counts into starts,
// then place every item. Afterwards bucket b holds the slots begin(b) ... end(b) - 1, and
// items of one bucket keep the order in which they were placed.

#include <cstdint>
#include <utility>
#include <vector>

namespace brenvox {

class BucketStarts {
 public:
  void reset(std::size_t n_buckets) { starts_.assign(n_buckets + 1, 0); }
  void count(std::size_t bucket) { ++starts_[bucket + 1]; }

  // Returns the number of items counted. Until all are placed, starts_[b + 1] is the next
  // free slot of bucket b; placing them moves it to the end of the bucket.
  std::uint32_t finish_counting() {
    std::uint32_t total = 0;
    for (std::size_t b = 1; b < starts_.size(); ++b) {
      total = std::exchange(starts_[b], total) + total;
    }
    return total;
  }
  std::uint32_t place(std::size_t bucket) { return starts_[bucket + 1]++; }

  std::uint32_t begin(std::size_t bucket) const { return starts_[bucket]; }
  std::uint32_t end(std::size_t bucket) const { return starts_[bucket + 1]; }

  // Hands the starts over once every item is placed, taking `other`'s storage for the next sort.
  void swap_starts(std::vector<std::uint32_t>& other) { starts_.swap(other); }

 private:
  std::vector<std::uint32_t> starts_;
};

}  // namespace brenvox
