// How messages write a raster's shape: "(rows, cols)".
#pragma once

#include <cstddef>
#include <string>

namespace velkan {

inline std::string shape_text(std::size_t rows, std::size_t cols) {
  return "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
}

}  // namespace velkan
