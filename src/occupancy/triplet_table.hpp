#pragma once
// Frames bonded per (donor, hydrogen, acceptor), tallied as rows arrive: an open-addressing
// table of keys (pair position << 32 | acceptor position) and counts, in memory its caller owns.
// Free of Python, so that it can run without the interpreter lock and under the sanitizers.

#include <cstdint>
#include <span>

namespace brenvox::occupancy {

inline constexpr std::int64_t kEmptySlot = -1;

// The caller's array of `capacity` slots (a power of two), each a key and its count side by side
// so that a tally touches one cache line per row; an empty slot's key is kEmptySlot.
struct TripletTable {
  std::int64_t* slots;
  std::uint64_t capacity;
  std::uint64_t used;
};

// Where a row's pair and acceptor stand among the sites, by atom index; -1 for none.
struct SiteLookup {
  std::span<const std::int64_t> pair_of_hydrogen;
  std::span<const std::int64_t> acceptor_position;
};

// How far a tally got: it stops before a new key would fill the table beyond 7/10, or at the
// first row whose hydrogen or acceptor is not a site (then `bad_row` is set).
struct TallyProgress {
  std::uint64_t consumed = 0;
  bool bad_row = false;
};

bool is_power_of_two(std::uint64_t n);

// Rows (frame, donor, hydrogen, acceptor) of uint32, `n_rows` of them.
TallyProgress tally_rows(const std::uint32_t* rows, std::uint64_t n_rows, const SiteLookup& sites,
                         TripletTable& table);

// Keys with their counts, as another table or a worker's part holds them (keys must be >= 0).
TallyProgress tally_keys(const std::int64_t* keys, const std::int64_t* counts, std::uint64_t n,
                         TripletTable& table);

// Rows per frame: `counts[f]` gains the rows of frame f; false if a frame is >= n_frames.
bool count_frames(const std::uint32_t* rows, std::uint64_t n_rows, std::int64_t* counts,
                  std::uint64_t n_frames);

}  // namespace brenvox::occupancy
