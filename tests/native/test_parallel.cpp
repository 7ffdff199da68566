#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "kernel/fixed/frame_loop.hpp"
#include "kernel/internal_failure.hpp"
#include "parallel/frame_blocks.hpp"
#include "parallel/threaded_driver.hpp"
#include "parallel/worker_pool.hpp"
#include "systems.hpp"

namespace brenvox {
namespace {

using testing_support::Flavour;
using testing_support::random_system;
using testing_support::records_of;
using testing_support::System;

std::unique_ptr<WorkerPool> make_pool(std::size_t n_workers) {
  auto pool = WorkerPool::create(n_workers);
  EXPECT_TRUE(pool.ok());
  return std::move(pool.value());
}

TEST(PoolSize, AtLeastOneAndCapped) {
  EXPECT_EQ(pool_size_for(0), 1u);
  EXPECT_EQ(pool_size_for(1), 1u);
  EXPECT_EQ(pool_size_for(7), 7u);
  EXPECT_EQ(pool_size_for(65535), 65535u);
  EXPECT_EQ(pool_size_for(65536), 65535u);
  EXPECT_EQ(pool_size_for(100000), 65535u);
  EXPECT_EQ(pool_size_for(UINT64_MAX), 65535u);
}

// Pools small enough for each worker to watch for the next job, and larger ones whose workers
// sleep at once; jobs posted at once and after the watching workers have gone to sleep.
class PoolJobs : public testing::TestWithParam<std::size_t> {};

TEST_P(PoolJobs, EveryWorkerRunsEachJobOnceOnItsOwnThread) {
  const std::size_t n_workers = GetParam();
  auto pool = make_pool(n_workers);
  ASSERT_EQ(pool->size(), n_workers);
  for (int job = 0; job < 40; ++job) {
    if (job % 8 == 7) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::atomic<std::size_t> calls{0};
    std::mutex mutex;
    std::set<std::size_t> workers;
    std::set<pthread_t> threads;
    pool->run([&](std::size_t worker) {
      calls.fetch_add(1);
      std::lock_guard lock(mutex);
      workers.insert(worker);
      threads.insert(pthread_self());
    });
    EXPECT_EQ(calls.load(), n_workers);
    EXPECT_EQ(workers.size(), n_workers);
    EXPECT_EQ(*workers.rbegin(), n_workers - 1);
    EXPECT_EQ(threads.size(), n_workers);
    EXPECT_EQ(threads.count(pthread_self()), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PoolJobs,
                         testing::Values(std::size_t{1}, std::size_t{2}, std::size_t{4},
                                         std::size_t{2} * std::thread::hardware_concurrency() + 1));

TEST(WorkerPool, TaskExceptionReachesTheCallerAndThePoolSurvives) {
  auto pool = make_pool(3);
  EXPECT_THROW(pool->run([](std::size_t worker) {
    if (worker == 1) throw std::runtime_error("boom");
  }),
               std::runtime_error);
  std::atomic<int> calls{0};
  pool->run([&](std::size_t) { calls.fetch_add(1); });
  EXPECT_EQ(calls.load(), 3);
}

// Starts real threads until the `fail_at`-th, which fails with EAGAIN; counts thread exits.
std::atomic<int> started_threads{0};
std::atomic<int> finished_threads{0};
int fail_at = 0;

struct Trampoline {
  void* (*routine)(void*);
  void* argument;
};

void* counted_thread(void* raw) {
  std::unique_ptr<Trampoline> t(static_cast<Trampoline*>(raw));
  t->routine(t->argument);
  finished_threads.fetch_add(1);
  return nullptr;
}

int failing_starter(pthread_t* thread, const pthread_attr_t* attr, void* (*routine)(void*),
                    void* argument) {
  if (started_threads.load() == fail_at) return EAGAIN;
  started_threads.fetch_add(1);
  return pthread_create(thread, attr, counted_thread, new Trampoline{routine, argument});
}

TEST(WorkerPool, CreationFailureStopsTheThreadsAlreadyStarted) {
  for (int k : {0, 1, 5}) {
    started_threads = 0;
    finished_threads = 0;
    fail_at = k;
    auto pool = WorkerPool::create(8, failing_starter);
    ASSERT_FALSE(pool.ok());
    EXPECT_EQ(pool.error().error_number, EAGAIN);
    EXPECT_EQ(started_threads.load(), k);
    EXPECT_EQ(finished_threads.load(), k);  // joined before create returned
  }
}

// The second worker to prepare itself finds no memory for its exception state.
std::atomic<int> preparations{0};
bool second_preparation_fails() noexcept {
  return preparations.fetch_add(1) != 1;
}

TEST(WorkerPool, WorkerThatCannotPrepareFailsCreationAndAllAreJoined) {
  started_threads = 0;
  finished_threads = 0;
  fail_at = -1;
  preparations = 0;
  auto pool = WorkerPool::create(4, failing_starter, second_preparation_fails);
  ASSERT_FALSE(pool.ok());
  EXPECT_EQ(pool.error().error_number, ENOMEM);
  EXPECT_EQ(started_threads.load(), 4);
  EXPECT_EQ(finished_threads.load(), 4);  // joined before create returned
  EXPECT_EQ(preparations.load(), 4);
}

// Blocks finished in any order end up in block order, each block's rows kept whole, whether a
// block waits for earlier ones or is placed at once; empty blocks included.
class OrderedRowsPlacement : public testing::TestWithParam<std::vector<std::uint64_t>> {};

TEST_P(OrderedRowsPlacement, GivesBlockOrder) {
  const std::vector<std::uint64_t> finish_order = GetParam();
  const std::uint64_t n_blocks = finish_order.size();
  OrderedRows rows(n_blocks, 2 * n_blocks);
  for (std::uint64_t b : finish_order) {
    rows.collect_block(b, 2, [&](BondBuffer& out) {
      for (std::uint64_t k = 0; k < 100 * (b % 3); ++k) out.push_record(b, k, 0, 0);
    });
  }
  const BondBuffer joined = rows.finish();
  BondBuffer expected;
  for (std::uint64_t b = 0; b < n_blocks; ++b) {
    for (std::uint64_t k = 0; k < 100 * (b % 3); ++k) expected.push_record(b, k, 0, 0);
  }
  EXPECT_EQ(records_of(joined), records_of(expected));
  EXPECT_EQ(joined.capacity(), joined.size());
}

INSTANTIATE_TEST_SUITE_P(FinishOrders, OrderedRowsPlacement,
                         testing::Values(std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5},
                                         std::vector<std::uint64_t>{5, 4, 3, 2, 1, 0},
                                         std::vector<std::uint64_t>{2, 0, 4, 1, 5, 3},
                                         std::vector<std::uint64_t>{1, 3, 5, 0, 2, 4}));

class ThreadedMatchesSerial
    : public testing::TestWithParam<std::tuple<std::size_t, std::uint64_t, std::uint64_t>> {};

TEST_P(ThreadedMatchesSerial, RowForRow) {
  const auto [n_workers, n_frames, seed] = GetParam();
  const System s = random_system(seed, Flavour::Clustered, n_frames);
  auto pool = make_pool(n_workers);
  for (FrameCollector collector : {collect_bonds_brute_frame, collect_bonds_spatial_frame}) {
    BondBuffer serial;
    FrameScratch scratch;
    collect_frame_range(collector, s.xyz, 0, n_frames, s.n_atoms, s.inputs, scratch, serial);
    const BondBuffer threaded =
        run_kernel_threaded(*pool, s.xyz, n_frames, s.n_atoms, s.inputs, collector);
    EXPECT_EQ(records_of(threaded), records_of(serial));
    EXPECT_EQ(threaded.capacity(), threaded.size());
  }
}

INSTANTIATE_TEST_SUITE_P(WorkersAndFrames, ThreadedMatchesSerial,
                         testing::Combine(testing::Values(1, 2, 3, 7, 64),
                                          testing::Values(0, 1, 2, 5, 17, 130),
                                          testing::Values(1, 2)));

void failing_collector(CoordView, std::uint64_t frame, std::uint64_t, std::span<const Pair>,
                       std::span<const std::uint64_t>, FrameScratch&, BondBuffer& out) {
  out.push_record(frame, 0, 0, 0);
  if (frame == 11) throw InternalFailure("fault in frame 11");
  if (frame == 23) throw std::bad_alloc();
}

TEST(ThreadedDriver, FaultInAFrameTaskReachesTheCaller) {
  const std::vector<double> xyz(30 * 3, 0.0);
  const SearchInputs inputs{{{0, 0}}, {0}};
  auto pool = make_pool(3);
  EXPECT_THROW(run_kernel_threaded(*pool, xyz, 20, 1, inputs, failing_collector), InternalFailure);
  EXPECT_THROW(
      run_kernel_threaded(*pool, std::span(xyz).first(24 * 3), 24, 1, SearchInputs{{{0, 0}}, {0}},
                          [](CoordView xyz, std::uint64_t f, std::uint64_t o, auto p, auto a,
                             FrameScratch& scratch, BondBuffer& out) {
                            if (f != 11) failing_collector(xyz, f, o, p, a, scratch, out);
                          }),
      std::bad_alloc);
  const BondBuffer fine = run_kernel_threaded(*pool, xyz, 10, 1, inputs, failing_collector);
  EXPECT_EQ(fine.size(), 40u);
}

}  // namespace
}  // namespace brenvox
