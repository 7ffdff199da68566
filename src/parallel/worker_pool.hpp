#pragma once
// A fixed set of worker threads built for one call. The caller submits one job at a time and
// sleeps until every worker has finished it; a job's exception is rethrown on the caller.

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

namespace brenvox {

inline constexpr std::uint64_t MAX_WORKER_THREADS = 65535;

// Workers for a requested count: at least one, never more than MAX_WORKER_THREADS.
std::size_t pool_size_for(std::uint64_t n_threads);

// The error number of a thread that could not be started.
struct PoolBuildError {
  int error_number;
};

// How threads are started; replaceable so that tests can make creation fail.
using ThreadStarter = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

class WorkerPool {
 public:
  static std::variant<std::unique_ptr<WorkerPool>, PoolBuildError> create(
      std::size_t n_workers, ThreadStarter start_thread = pthread_create);

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
  void work(std::size_t index);
  void stop_and_join() noexcept;

  std::mutex mutex_;
  std::condition_variable job_posted_;
  std::condition_variable job_finished_;
  const std::function<void(std::size_t)>* job_ = nullptr;
  std::uint64_t job_generation_ = 0;
  std::size_t workers_busy_ = 0;
  bool stopping_ = false;
  std::exception_ptr job_failure_;

  std::vector<WorkerSlot> slots_;
  std::vector<pthread_t> threads_;
};

}  // namespace brenvox
