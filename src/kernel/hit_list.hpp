#pragma once
// A frame's hits, pair after pair in the order the pairs are searched, and where each pair's
// lie: a search that visits pairs in cell order keeps them so, and writes rows in pair order
// afterwards.

#include <algorithm>
#include <cstdint>
#include <vector>

namespace brenvox {

// Where a pair's hits lie in the frame's hit list.
struct HitRange {
  std::uint64_t first;
  std::uint64_t count;
};

// The values are kept at least as many longer than `size` as make_room was last asked for, so
// that that many may be written, or read, without asking.
struct HitList {
  std::vector<std::uint32_t> value;
  std::size_t size = 0;

  void make_room(std::size_t n) {
    if (value.size() - size < n) value.resize(std::max(2 * value.size(), size + n + 64));
  }
};

}  // namespace brenvox
