// Every allocation of a search made to fail in turn: the search must end in std::bad_alloc or
// in its rows, never in std::terminate. This binary replaces the global operator new, so that
// a test can arm a countdown after which allocations fail.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "kernel/fixed/frame_collector.hpp"
#include "kernel/fixed/frame_loop.hpp"
#include "kernel/trajectory/search.hpp"
#include "parallel/trajectory_threads.hpp"
#include "systems.hpp"

// The replacements below pair malloc with free, which GCC cannot see through.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

constexpr long kNeverFail = -1;
std::atomic<long> allocations_left{kNeverFail};

}  // namespace

void* operator new(std::size_t size) {
  long left = allocations_left.load();
  while (left > 0 && !allocations_left.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 0) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

// Every other unaligned form goes through the one above, so that allocation and release always
// pair malloc with free (AddressSanitizer checks that they match).
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete[](void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
  std::free(memory);
}

namespace brenvox {
namespace {

using testing_support::Record;
using testing_support::records_of;

// Runs `search` with the k-th allocation failing, for k = 0, 1, ... until a run allocates less
// than that; each run must give bad_alloc or the rows of an unhindered run.
template <typename Search>
void sweep_allocation_failures(Search search) {
  const std::vector<Record> expected = records_of(search());
  ASSERT_FALSE(expected.empty());
  for (long k = 0;; ++k) {
    allocations_left = k;
    try {
      const BondBuffer bonds = search();
      allocations_left = kNeverFail;
      ASSERT_EQ(records_of(bonds), expected) << "failing allocation " << k;
      if (k > 0) return;  // the run needed fewer than k allocations
    } catch (const std::bad_alloc&) {
      allocations_left = kNeverFail;
    }
  }
}

// Water-like: donors in a box of edge 1.2, hydrogens 0.1 from them.
struct Liquid {
  std::uint64_t n_frames = 3, n_atoms = 240;
  std::vector<double> xyz;
  std::vector<std::int64_t> pair_atoms, acceptors;
  std::vector<PeriodicBox> boxes;

  Liquid() {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (std::uint64_t i = 0; i < n_frames * n_atoms / 2; ++i) {
      const double d[3] = {1.2 * unit(rng), 1.2 * unit(rng), 1.2 * unit(rng)};
      const double dir[3] = {unit(rng) - 0.5, unit(rng) - 0.5, unit(rng) - 0.5};
      const double norm = std::sqrt(dir[0] * dir[0] + dir[1] * dir[1] + dir[2] * dir[2]);
      for (int k = 0; k < 3; ++k) xyz.push_back(d[k]);
      for (int k = 0; k < 3; ++k) xyz.push_back(d[k] + 0.1 * dir[k] / norm);
    }
    for (std::uint64_t i = 0; i < n_atoms; i += 2) {
      pair_atoms.insert(pair_atoms.end(), {std::int64_t(i), std::int64_t(i + 1)});
      acceptors.push_back(std::int64_t(i));
    }
    BoxProblem problem{};
    const double rows[9] = {1.2, 0, 0, 0.3, 1.2, 0, -0.2, 0.1, 1.2};
    boxes.push_back(*make_periodic_box(rows, problem));
  }

  TrajectorySearch search(bool periodic) const {
    return TrajectorySearch{
        xyz.data(),
        false,
        n_frames,
        n_atoms,
        pair_atoms,
        acceptors,
        periodic ? std::span<const PeriodicBox>(boxes) : std::span<const PeriodicBox>(),
        0.25,
        make_hbond_criterion(0.25, 120.0)};
  }
};

TEST(AllocationFailures, TrajectorySearchThrowsOrFinds) {
  const Liquid liquid;
  for (bool periodic : {false, true}) {
    sweep_allocation_failures([&] { return search_trajectory(liquid.search(periodic)); });
  }
}

TEST(AllocationFailures, ThreadedTrajectorySearchThrowsOrFinds) {
  const Liquid liquid;
  auto pool = WorkerPool::create(2);
  ASSERT_TRUE(pool.ok());
  sweep_allocation_failures(
      [&] { return search_trajectory_threaded(*pool.value(), liquid.search(true)); });
}

TEST(AllocationFailures, GridSearchThrowsOrFinds) {
  const Liquid liquid;
  SearchInputs inputs;
  for (std::size_t i = 0; i < liquid.pair_atoms.size(); i += 2) {
    inputs.pairs.push_back(
        Pair{std::uint64_t(liquid.pair_atoms[i]), std::uint64_t(liquid.pair_atoms[i + 1])});
  }
  for (std::int64_t a : liquid.acceptors) inputs.acceptors.push_back(std::uint64_t(a));
  sweep_allocation_failures([&] {
    return run_kernel(collect_bonds_spatial_frame, liquid.xyz, liquid.n_frames, liquid.n_atoms,
                      inputs);
  });
}

}  // namespace
}  // namespace brenvox
