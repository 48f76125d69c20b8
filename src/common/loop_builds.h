// Hot loops built for more than one instruction set.
//
// A loop of exponentials runs eight lanes wide with AVX2 and four without, so
// such loops are built for any x86-64 and for AVX2, and the processor picks one
// at the first call. Both builds make the same IEEE operations in the same
// order, never fused, so a result does not depend on the processor.
#pragma once

// Marks a loop's AVX2 build. Other processors than x86-64 build it portably
// and never choose it.
#if defined(__x86_64__)
#define VELKAN_AVX2_BUILD [[gnu::target("avx2")]]
#else
#define VELKAN_AVX2_BUILD
#endif

namespace velkan {

enum class LoopBuild { Portable, Avx2 };

// Whether this processor runs `build`.
bool loop_build_available(LoopBuild build);

// The build the loops run: the widest this processor runs, unless
// set_loop_build chose another.
LoopBuild loop_build();

// Makes the loops run `build`, which must be available (tests compare builds).
void set_loop_build(LoopBuild build);

}  // namespace velkan
