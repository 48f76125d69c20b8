#include "common/loop_builds.h"

#include <atomic>

#include "common/errors.h"

namespace velkan {
namespace {

LoopBuild fastest_loop_build() {
  static const LoopBuild fastest = [] {
#if defined(__x86_64__)
    __builtin_cpu_init();
    // The check includes the system's saving of the AVX registers.
    return __builtin_cpu_supports("avx2") != 0 ? LoopBuild::Avx2 : LoopBuild::Portable;
#else
    return LoopBuild::Portable;
#endif
  }();
  return fastest;
}

std::atomic<int> chosen{-1};  // a LoopBuild set_loop_build chose, or -1

}  // namespace

bool loop_build_available(LoopBuild build) {
  return build == LoopBuild::Portable || fastest_loop_build() == LoopBuild::Avx2;
}

LoopBuild loop_build() {
  const int set = chosen.load(std::memory_order_relaxed);
  return set < 0 ? fastest_loop_build() : static_cast<LoopBuild>(set);
}

void set_loop_build(LoopBuild build) {
  if (!loop_build_available(build)) throw InternalError("Loop build not available on this processor.");
  chosen.store(static_cast<int>(build), std::memory_order_relaxed);
}

}  // namespace velkan
