#include "common/worker_pool.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace velkan {

WorkerPool::WorkerPool(std::size_t workers) : workers_(std::clamp<std::size_t>(workers, 1, kMaxWorkers)) {}

WorkerPool::~WorkerPool() { stop_threads(); }

void WorkerPool::start_threads() {
  threads_.reserve(workers_);
  worker_ids_.reserve(workers_);
  try {
    for (std::size_t w = 0; w < workers_; ++w) {
      threads_.emplace_back(&WorkerPool::worker_main, this, w);
      worker_ids_.push_back(threads_.back().get_id());
    }
  } catch (const std::system_error& error) {
    stop_threads();
    throw PoolStartError(error.code());  // what(): the system's reason, as the thread's error gave it
  } catch (...) {
    stop_threads();
    throw;
  }
}

void WorkerPool::stop_threads() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  start_cv_.notify_all();
  for (auto& t : threads_) t.join();
  threads_.clear();
  worker_ids_.clear();
  stopping_ = false;
}

std::size_t WorkerPool::online_processors() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n < 1) {
    unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : hw;
  }
  return static_cast<std::size_t>(n);
}

void WorkerPool::set_wait_hook(WaitHook hook, int period_ms) {
  wait_hook_ = std::move(hook);
  wait_period_ = std::chrono::milliseconds(std::max(1, period_ms));
  next_hook_run_ = std::chrono::steady_clock::now() + wait_period_;
}

void WorkerPool::run_wait_hook() {
  next_hook_run_ = std::chrono::steady_clock::now() + wait_period_;
  wait_hook_();
}

void WorkerPool::poll() {
  if (!wait_hook_ || std::this_thread::get_id() != owner_) return;
  if (std::chrono::steady_clock::now() >= next_hook_run_) run_wait_hook();
}

// Workers read worker_ids_ only inside a loop, which starts after the
// constructor has filled it (the loop's start goes through mutex_).
std::size_t WorkerPool::worker_of_this_thread() const {
  const std::thread::id self = std::this_thread::get_id();
  for (std::size_t w = 0; w < worker_ids_.size(); ++w)
    if (worker_ids_[w] == self) return w;
  throw std::logic_error("a worker pool runs loops only for the thread that built it and its workers");
}

void WorkerPool::record_failure(std::exception_ptr failure) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!failure_) failure_ = failure;
  cancelled_.store(true, std::memory_order_relaxed);
}

void WorkerPool::run_indices(std::size_t worker) {
  while (!cancelled_.load(std::memory_order_relaxed)) {
    std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
    if (i >= end_) break;
    try {
      (*body_)(i, worker);
    } catch (...) {
      record_failure(std::current_exception());
    }
  }
}

void WorkerPool::worker_main(std::size_t worker) {
  std::size_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      start_cv_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
    }
    run_indices(worker);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --busy_;
    }
    done_cv_.notify_all();
  }
}

void WorkerPool::parallel_for(std::size_t begin, std::size_t end, const Body& body) {
  if (begin >= end) return;
  if (std::this_thread::get_id() != owner_) {
    // A loop inside a loop body runs inline: the other workers may all be
    // busy with the outer loop.
    const std::size_t worker = worker_of_this_thread();
    for (std::size_t i = begin; i < end; ++i) body(i, worker);
    return;
  }
  if (threads_.empty()) start_threads();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    body_ = &body;
    end_ = end;
    next_.store(begin, std::memory_order_relaxed);
    cancelled_.store(false, std::memory_order_relaxed);
    failure_ = nullptr;
    busy_ = threads_.size();
    ++generation_;
  }
  start_cv_.notify_all();

  std::unique_lock<std::mutex> lock(mutex_);
  auto idle_or_cancelled = [&] { return busy_ == 0 || cancelled_.load(std::memory_order_relaxed); };
  while (busy_ != 0) {
    if (!wait_hook_ || cancelled_.load(std::memory_order_relaxed)) {
      done_cv_.wait(lock, [&] { return busy_ == 0; });
      break;
    }
    if (done_cv_.wait_until(lock, next_hook_run_, idle_or_cancelled)) continue;
    lock.unlock();
    try {
      run_wait_hook();
    } catch (...) {
      record_failure(std::current_exception());
    }
    lock.lock();
  }
  body_ = nullptr;
  cancelled_.store(false, std::memory_order_relaxed);
  std::exception_ptr failure = failure_;
  failure_ = nullptr;
  lock.unlock();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace velkan
