// Arithmetic of the global grid that every folder shares.
#pragma once

#include <cstdint>

namespace velkan {

inline constexpr double kDegreesToRadians = 0.017453292519943295;

// Quotient toward negative infinity for a positive divisor, so that cells left
// of the global origin land in the coarse cell that holds them (-1 / 4 is -1).
template <class Int>
constexpr Int floor_div(Int value, Int divisor) {
  Int quotient = value / divisor;
  if (value % divisor != 0 && value < 0) --quotient;
  return quotient;
}

// The remainder that goes with floor_div: in [0, divisor).
template <class Int>
constexpr Int floor_mod(Int value, Int divisor) {
  return value - floor_div(value, divisor) * divisor;
}

// Offsets wrap like the 32-bit arithmetic the global grid is defined in.
inline std::int32_t add_wrapping(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

}  // namespace velkan
