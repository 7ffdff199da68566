#pragma once
// A fixed set of worker threads built for one call. The caller submits one job at a time and
// sleeps until every worker has finished it; a job's exception is rethrown on the caller.

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "kernel/exception_state.hpp"
#include "kernel/result.hpp"

namespace brenvox {

inline constexpr std::uint64_t MAX_WORKER_THREADS = 65535;

// Workers for a requested count: at least one, never more than MAX_WORKER_THREADS.
std::size_t pool_size_for(std::uint64_t n_threads);

// The error number of a thread that could not be started or could not prepare itself.
struct PoolBuildError {
  int error_number;
};

// How threads are started; replaceable so that tests can make creation fail.
using ThreadStarter = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
// What each worker runs first, so that it may throw; replaceable so that tests can make it fail.
using ThreadPreparer = bool (*)() noexcept;

class WorkerPool {
 public:
  static Result<std::unique_ptr<WorkerPool>, PoolBuildError> create(
      std::size_t n_workers, ThreadStarter start_thread = start_thread_between_preparations,
      ThreadPreparer prepare_thread = prepare_exception_state);

  // Tells the workers to stop and joins them.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const noexcept { return threads_.size(); }

  // Runs task(worker_index) once on every worker and blocks until all have returned. The
  // first exception a task throws is rethrown here, after every worker is done.
  void run(const std::function<void(std::size_t)>& task);

 private:
  struct WorkerSlot {
    WorkerPool* pool;
    std::size_t index;
  };

  WorkerPool() = default;
  static void* worker_main(void* slot);
  // False when a started worker could not prepare itself and has already returned.
  bool wait_for_start_reports(std::size_t n_started);
  void work(std::size_t index);
  // Watches for a job after `generation`, or for the stop, for a short while before the worker
  // sleeps.
  void watch_for_job(std::uint64_t generation) const noexcept;
  void stop_and_join() noexcept;

  std::mutex mutex_;
  std::condition_variable job_posted_;
  std::condition_variable job_finished_;
  const std::function<void(std::size_t)>* job_ = nullptr;
  // Written under mutex_; read without it by workers that watch for the next job.
  std::atomic<std::uint64_t> job_generation_{0};
  std::size_t workers_busy_ = 0;
  std::atomic<bool> stopping_{false};  // as job_generation_
  std::exception_ptr job_failure_;
  // Start-up: each worker reports once whether it could prepare itself to throw.
  ThreadPreparer prepare_thread_ = nullptr;
  std::condition_variable worker_reported_;
  std::size_t workers_reported_ = 0;
  // Only workers that can each have a core of their own watch before sleeping.
  bool watch_before_sleeping_ = false;
  bool worker_unprepared_ = false;

  std::vector<WorkerSlot> slots_;
  std::vector<pthread_t> threads_;
};

}  // namespace brenvox
