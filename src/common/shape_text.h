// How messages write a raster's shape: "(rows, cols)".
#pragma once

#include <cstddef>
#include <string>

namespace velkan {

// Appended piece by piece: g++ 12 warns falsely (-Wrestrict) on "(" + std::string.
inline std::string shape_text(std::size_t rows, std::size_t cols) {
  std::string text = "(";
  text += std::to_string(rows);
  text += ", ";
  text += std::to_string(cols);
  text += ")";
  return text;
}

}  // namespace velkan
