// The per-call worker pool: every index runs once, failures come back to the caller.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "common/worker_pool.h"

using velkan::WorkerPool;

class PoolSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PoolSizes, EveryIndexRunsExactlyOnceOnAValidWorker) {
  WorkerPool pool(GetParam());
  ASSERT_EQ(pool.size(), std::max<std::size_t>(GetParam(), 1));
  std::vector<std::atomic<int>> hits(1000);
  std::atomic<bool> bad_worker{false};
  pool.parallel_for(10, 1000, [&](std::size_t i, std::size_t worker) {
    hits[i].fetch_add(1);
    if (worker >= pool.size()) bad_worker = true;
  });
  for (std::size_t i = 0; i < hits.size(); ++i) EXPECT_EQ(hits[i].load(), i < 10 ? 0 : 1) << i;
  EXPECT_FALSE(bad_worker.load());
}

TEST_P(PoolSizes, FailureInAWorkerIsRethrownOnTheCaller) {
  WorkerPool pool(GetParam());
  auto run = [&] {
    pool.parallel_for(0, 500, [](std::size_t i, std::size_t) {
      if (i == 137) throw velkan::InternalError("broken at 137");
    });
  };
  try {
    run();
    FAIL() << "expected an exception";
  } catch (const velkan::InternalError& error) {
    EXPECT_STREQ(error.what(), "broken at 137");
  }
  // The pool stays usable after a failed loop.
  std::atomic<int> sum{0};
  pool.parallel_for(0, 100, [&](std::size_t i, std::size_t) { sum += static_cast<int>(i); });
  EXPECT_EQ(sum.load(), 4950);
}

INSTANTIATE_TEST_SUITE_P(Workers, PoolSizes, ::testing::Values(0, 1, 2, 5));

TEST(WorkerPool, NestedLoopRunsInlineOnTheSameWorker) {
  WorkerPool pool(2);
  std::vector<std::atomic<int>> hits(64);
  pool.parallel_for(0, 8, [&](std::size_t i, std::size_t outer_worker) {
    pool.parallel_for(0, 8, [&](std::size_t j, std::size_t inner_worker) {
      EXPECT_EQ(inner_worker, outer_worker);
      hits[i * 8 + j].fetch_add(1);
    });
  });
  for (auto& h : hits) EXPECT_EQ(h.load(), 1);
}

TEST(WorkerPool, WaitHookFailureCancelsTheLoop) {
  WorkerPool pool(2);
  pool.set_wait_hook([] { throw std::runtime_error("interrupted"); }, 1);
  std::atomic<int> ran{0};
  EXPECT_THROW(pool.parallel_for(0, 100000,
                                 [&](std::size_t, std::size_t) {
                                   ran++;
                                   std::this_thread::sleep_for(std::chrono::microseconds(50));
                                 }),
               std::runtime_error);
  EXPECT_LT(ran.load(), 100000);
}

TEST(WorkerPool, EmptyRangeRunsNothing) {
  WorkerPool pool(3);
  bool ran = false;
  pool.parallel_for(5, 5, [&](std::size_t, std::size_t) { ran = true; });
  EXPECT_FALSE(ran);
}

// An interruption of the waiting caller reaches the bodies still running: they
// see loop_cancelled() and can stop early, while a healthy loop never sees it.
TEST(WorkerPool, BodiesSeeTheCancellationOfTheirLoop) {
  WorkerPool pool(2);
  std::atomic<bool> seen_before{false};
  pool.parallel_for(0, 50, [&](std::size_t, std::size_t) {
    if (pool.loop_cancelled()) seen_before = true;
  });
  EXPECT_FALSE(seen_before.load());
  EXPECT_FALSE(pool.loop_cancelled());  // not a worker

  pool.set_wait_hook([] { throw std::runtime_error("interrupted"); }, 20);
  std::atomic<int> stopped_early{0};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(pool.parallel_for(0, 2,
                                 [&](std::size_t, std::size_t) {
                                   // A long body (30 s unless told to stop).
                                   for (int step = 0; step < 30000; ++step) {
                                     if (pool.loop_cancelled()) {
                                       stopped_early++;
                                       return;
                                     }
                                     std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                   }
                                 }),
               std::runtime_error);
  EXPECT_EQ(stopped_early.load(), 2);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

// poll() serves work the calling thread does itself: the hook runs once its
// period has passed, its exception reaches the caller, and never on a worker.
TEST(WorkerPool, PollRunsTheHookOnlyOnTheCallerAfterItsPeriod) {
  WorkerPool pool(2);
  pool.poll();  // no hook: nothing happens
  int calls = 0;
  pool.set_wait_hook([&] { ++calls; }, 30);
  pool.poll();
  EXPECT_EQ(calls, 0);  // period not yet over
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  pool.poll();
  pool.poll();
  EXPECT_EQ(calls, 1);  // once per period

  // Workers calling poll() never run the hook; the waiting caller does.
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<int> on_caller{0}, on_worker{0};
  pool.set_wait_hook([&] { (std::this_thread::get_id() == caller ? on_caller : on_worker)++; }, 1);
  pool.parallel_for(0, 20, [&](std::size_t, std::size_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    pool.poll();
  });
  EXPECT_EQ(on_worker.load(), 0);
  EXPECT_GT(on_caller.load(), 0);

  pool.set_wait_hook([] { throw std::runtime_error("interrupted"); }, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_THROW(pool.poll(), std::runtime_error);
}

// The threads start with the first loop that hands out work: a call whose
// work stays on the calling thread starts none.
TEST(WorkerPool, ThreadsStartWithTheFirstLoop) {
  const auto threads = [] {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) count += entry.exists();
    return count;
  };
  const std::size_t before = threads();
  WorkerPool pool(3);
  pool.parallel_for(2, 2, [](std::size_t, std::size_t) {});
  EXPECT_EQ(threads(), before);
  std::atomic<int> ran{0};
  pool.parallel_for(0, 6, [&](std::size_t, std::size_t) { ran++; });
  EXPECT_EQ(ran.load(), 6);
  EXPECT_EQ(threads(), before + 3);
}
