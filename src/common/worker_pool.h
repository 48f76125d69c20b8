// A pool of worker threads that lives for one call.
//
// The thread that builds the pool (the calling thread) hands a loop to the
// workers and waits; it never runs loop bodies itself, so it stays free to
// poll for interruption while it waits. Work the calling thread does itself
// polls through poll().
// The threads start with the first loop that needs them, so a call whose work
// stays on the calling thread (a small one) starts none.
// Workers keep no thread-local state: the pool knows its threads by id. A
// loaded library's thread-local storage is allocated on a thread's first use
// of it, and glibc ends the whole process when that allocation fails.
// Indices are claimed dynamically, one at a time, so uneven rows balance out.
// The first exception thrown by any body is carried back and rethrown on the
// calling thread once every worker has left the loop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace velkan {

// A worker thread could not be started (the system's reason in what()).
class PoolStartError : public std::system_error {
 public:
  using std::system_error::system_error;
};

class WorkerPool {
 public:
  using Body = std::function<void(std::size_t index, std::size_t worker)>;
  using WaitHook = std::function<void()>;

  // Largest number of workers a pool is built with.
  static constexpr std::size_t kMaxWorkers = 65535;

  // A pool of `workers` threads (0 is raised to 1, more than kMaxWorkers
  // lowered), started by the first parallel_for that hands out work.
  explicit WorkerPool(std::size_t workers);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const { return workers_; }

  // Runs body(i, w) for every i in [begin, end); w < size() names the worker,
  // so callers can keep one scratch buffer per worker. Blocks until done.
  // Called from inside a loop body it runs the range inline on that worker.
  // Throws std::logic_error on a thread that is neither the calling thread
  // nor a worker, PoolStartError when the workers cannot be started.
  void parallel_for(std::size_t begin, std::size_t end, const Body& body);

  // Called on the calling thread about every `period_ms`: while it waits for a
  // loop, and from poll(). If it throws during a loop, the loop stops handing
  // out indices and the exception is rethrown once the workers are idle.
  void set_wait_hook(WaitHook hook, int period_ms = 100);

  // For stretches of work the calling thread does itself: runs the wait hook
  // when its period has passed (its exception propagates). Does nothing on
  // any other thread or without a hook.
  void poll();

  // True in a loop's bodies once the loop is cancelled (a body failed or the
  // wait hook threw): a long body may stop early, its loop fails anyway.
  // False outside a loop.
  bool loop_cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

  // Number of logical processors online now (at least 1).
  static std::size_t online_processors();

 private:
  void start_threads();
  void stop_threads();
  void worker_main(std::size_t worker);
  std::size_t worker_of_this_thread() const;
  void run_indices(std::size_t worker);
  void record_failure(std::exception_ptr failure);
  void run_wait_hook();

  std::size_t workers_;
  std::vector<std::thread> threads_;
  std::vector<std::thread::id> worker_ids_;  // of threads_, written before any loop
  std::thread::id owner_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::condition_variable start_cv_;
  std::condition_variable done_cv_;
  bool stopping_ = false;
  std::size_t generation_ = 0;
  std::size_t busy_ = 0;

  const Body* body_ = nullptr;
  std::size_t end_ = 0;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> cancelled_{false};
  std::exception_ptr failure_;

  WaitHook wait_hook_;
  std::chrono::milliseconds wait_period_{100};
  std::chrono::steady_clock::time_point next_hook_run_;
};

}  // namespace velkan
