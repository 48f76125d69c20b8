// A gathered cell's similarity to the focal cell in one transition grid (OLVI),
// as the windows gather it and the graph and the kernels carry it on.
#pragma once

#include <cstdint>

namespace velkan {

// Optional float32 similarity (present = 1) to the focal cell in one transition grid.
// No default member values: the gathering sizes its arrays without writing
// them (see NoInitAllocator), and Similarity{} still zeroes.
struct Similarity {
  std::uint32_t present;
  float value;
};

}  // namespace velkan
