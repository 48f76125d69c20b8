// Runs a call's computation on a worker pool built for that call.
#pragma once

#include <cstdint>
#include <optional>

#include "common/worker_pool.h"
#include "lib/py_ref.h"

namespace velkan::py {

// How often a computing call looks for pending signals (Ctrl-C) on the calling thread.
constexpr int kSignalCheckPeriodMs = 200;

// `n_threads` absent means every online processor; 0 is raised to 1 and very
// large counts are lowered to the pool's limit. A pool that cannot be built is
// a RuntimeError with the system's text. The calling thread keeps the
// interpreter lock while it waits: the work never touches Python objects.
// Every kSignalCheckPeriodMs the caller runs the interpreter's signal handlers;
// one that raises (KeyboardInterrupt) stops the workers at their next row or
// focal cell, and the call ends with that exception and without a result.
template <class Work>
auto with_worker_pool(std::optional<std::uint64_t> n_threads, Work&& work) {
  std::uint64_t count = n_threads ? *n_threads : WorkerPool::online_processors();
  if (count > WorkerPool::kMaxWorkers) count = WorkerPool::kMaxWorkers;
  WorkerPool pool(static_cast<std::size_t>(count));
  pool.set_wait_hook(
      [] {
        if (PyErr_CheckSignals() != 0) throw ErrorAlreadySet{};
      },
      kSignalCheckPeriodMs);
  try {
    return work(pool);
  } catch (const PoolStartError& error) {  // the workers start with the first loop that needs them
    raise_error(PyExc_RuntimeError, error.what());
  }
}

}  // namespace velkan::py
