#include "occupancy/triplet_table.hpp"

#include <bit>

namespace brenvox::occupancy {

namespace {

// Fibonacci hashing: the high bits of the product spread consecutive keys over the table.
std::uint64_t home_slot(std::int64_t key, std::uint64_t capacity) {
  const std::uint64_t mixed = static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull;
  return capacity > 1 ? mixed >> (64 - std::countr_zero(capacity)) : 0;
}

bool has_room_for_one_more(const TripletTable& table) {
  return (table.used + 1) * 10 <= table.capacity * 7;
}

// Adds `count` to `key`'s slot; false (nothing changed) when a new key would overfill the table.
// The probe stops after a full turn, should `used` understate what the table holds.
bool add(TripletTable& table, std::int64_t key, std::int64_t count) {
  const std::uint64_t mask = table.capacity - 1;
  std::uint64_t slot = home_slot(key, table.capacity);
  for (std::uint64_t probe = 0; probe < table.capacity; ++probe, slot = (slot + 1) & mask) {
    std::int64_t* entry = table.slots + 2 * slot;
    if (entry[0] == key) {
      entry[1] += count;
      return true;
    }
    if (entry[0] == kEmptySlot) {
      if (!has_room_for_one_more(table)) return false;
      entry[0] = key;
      entry[1] = count;
      ++table.used;
      return true;
    }
  }
  return false;
}

// Rows this far ahead have their home slots fetched while earlier rows are counted: the table
// outgrows the caches, and each row's slot is a random one.
constexpr std::uint64_t kPrefetchDistance = 16;

std::int64_t position(std::span<const std::int64_t> lookup, std::uint32_t atom) {
  return atom < lookup.size() ? lookup[atom] : -1;
}

// The row's key, or -1 when its hydrogen or acceptor is not a site.
std::int64_t row_key(const std::uint32_t* row, const SiteLookup& sites) {
  const std::int64_t pair = position(sites.pair_of_hydrogen, row[2]);
  const std::int64_t acceptor = position(sites.acceptor_position, row[3]);
  if (pair < 0 || acceptor < 0 || pair > 0xFFFFFFFF || acceptor > 0xFFFFFFFF) return -1;
  return (pair << 32) | acceptor;
}

}  // namespace

bool is_power_of_two(std::uint64_t n) {
  return std::has_single_bit(n);
}

TallyProgress tally_rows(const std::uint32_t* rows, std::uint64_t n_rows, const SiteLookup& sites,
                         TripletTable& table) {
  TallyProgress progress;
  for (; progress.consumed < n_rows; ++progress.consumed) {
    if (const std::uint64_t ahead = progress.consumed + kPrefetchDistance; ahead < n_rows) {
      const std::int64_t key = row_key(rows + 4 * ahead, sites);
      if (key >= 0) __builtin_prefetch(table.slots + 2 * home_slot(key, table.capacity), 1);
    }
    const std::int64_t key = row_key(rows + 4 * progress.consumed, sites);
    if (key < 0) {
      progress.bad_row = true;
      break;
    }
    if (!add(table, key, 1)) break;
  }
  return progress;
}

TallyProgress tally_keys(const std::int64_t* keys, const std::int64_t* counts, std::uint64_t n,
                         TripletTable& table) {
  TallyProgress progress;
  for (; progress.consumed < n; ++progress.consumed) {
    if (keys[progress.consumed] < 0) {
      progress.bad_row = true;
      break;
    }
    if (!add(table, keys[progress.consumed], counts[progress.consumed])) break;
  }
  return progress;
}

bool count_frames(const std::uint32_t* rows, std::uint64_t n_rows, std::int64_t* counts,
                  std::uint64_t n_frames) {
  for (std::uint64_t i = 0; i < n_rows; ++i) {
    const std::uint32_t frame = rows[4 * i];
    if (frame >= n_frames) return false;
    ++counts[frame];
  }
  return true;
}

}  // namespace brenvox::occupancy
