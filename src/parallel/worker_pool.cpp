#include "parallel/worker_pool.hpp"

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

namespace brenvox {

namespace {

constexpr std::size_t kWorkerStackBytes = std::size_t{2} << 20;

// About 50 microseconds of watching. A job is posted right after the pool is built; a sleeping
// worker woken for it can wait for the scheduler to move it to a free core, which took
// milliseconds on a virtual machine.
constexpr int kWatchRounds = 2000;

inline void pause_briefly() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

std::size_t pool_size_for(std::uint64_t n_threads) {
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(n_threads, 1, MAX_WORKER_THREADS));
}

Result<std::unique_ptr<WorkerPool>, PoolBuildError> WorkerPool::create(
    std::size_t n_workers, ThreadStarter start_thread, ThreadPreparer prepare_thread) {
  std::unique_ptr<WorkerPool> pool(new WorkerPool());
  pool->prepare_thread_ = prepare_thread;
  pool->watch_before_sleeping_ = n_workers <= std::thread::hardware_concurrency();
  pool->slots_.reserve(n_workers);
  pool->threads_.reserve(n_workers);

  pthread_attr_t attributes;
  if (int error = pthread_attr_init(&attributes); error != 0) return PoolBuildError{error};
  int error = pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
  for (std::size_t i = 0; error == 0 && i < n_workers; ++i) {
    pool->slots_.push_back(WorkerSlot{pool.get(), i});
    pthread_t thread;
    error = start_thread(&thread, &attributes, &WorkerPool::worker_main, &pool->slots_.back());
    if (error == 0) pool->threads_.push_back(thread);
  }
  pthread_attr_destroy(&attributes);
  if (!pool->wait_for_start_reports(pool->threads_.size()) && error == 0) error = ENOMEM;
  if (error != 0) {
    pool->stop_and_join();
    pool->threads_.clear();
    return PoolBuildError{error};
  }
  return pool;
}

bool WorkerPool::wait_for_start_reports(std::size_t n_started) {
  std::unique_lock lock(mutex_);
  worker_reported_.wait(lock, [&] { return workers_reported_ == n_started; });
  return !worker_unprepared_;
}

WorkerPool::~WorkerPool() {
  stop_and_join();
}

void WorkerPool::stop_and_join() noexcept {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  job_posted_.notify_all();
  for (pthread_t thread : threads_) pthread_join(thread, nullptr);
  threads_.clear();
}

void WorkerPool::run(const std::function<void(std::size_t)>& task) {
  std::exception_ptr failure;
  {
    std::unique_lock lock(mutex_);
    job_ = &task;
    workers_busy_ = threads_.size();
    job_failure_ = nullptr;
    ++job_generation_;
    lock.unlock();
    job_posted_.notify_all();
    lock.lock();
    job_finished_.wait(lock, [this] { return workers_busy_ == 0; });
    job_ = nullptr;
    failure = std::exchange(job_failure_, nullptr);
  }
  if (failure) std::rethrow_exception(failure);
}

void WorkerPool::watch_for_job(std::uint64_t generation) const noexcept {
  for (int round = 0; round < kWatchRounds; ++round) {
    if (job_generation_.load(std::memory_order_relaxed) != generation ||
        stopping_.load(std::memory_order_relaxed)) {
      return;
    }
    pause_briefly();
  }
}

void* WorkerPool::worker_main(void* slot) {
  auto* s = static_cast<WorkerSlot*>(slot);
  s->pool->work(s->index);
  return nullptr;
}

void WorkerPool::work(std::size_t index) {
  const bool prepared = prepare_thread_();
  std::uint64_t generation_done = 0;
  std::unique_lock lock(mutex_);
  ++workers_reported_;
  if (!prepared) worker_unprepared_ = true;
  worker_reported_.notify_one();
  if (!prepared) return;
  for (;;) {
    if (watch_before_sleeping_ && !stopping_ &&
        job_generation_.load(std::memory_order_relaxed) == generation_done) {
      lock.unlock();
      watch_for_job(generation_done);
      lock.lock();
    }
    job_posted_.wait(lock, [&] {
      return stopping_ || job_generation_.load(std::memory_order_relaxed) != generation_done;
    });
    if (stopping_) return;
    generation_done = job_generation_.load(std::memory_order_relaxed);
    const std::function<void(std::size_t)>* job = job_;
    lock.unlock();
    std::exception_ptr failure;
    try {
      (*job)(index);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    if (failure && !job_failure_) job_failure_ = failure;
    if (--workers_busy_ == 0) {
      lock.unlock();
      job_finished_.notify_one();
      lock.lock();
    }
  }
}

}  // namespace brenvox
