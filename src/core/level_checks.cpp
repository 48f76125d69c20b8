#include "core/level_checks.h"

#include <string>

#include "common/errors.h"
#include "common/shape_text.h"

namespace velkan {

void check_level_maps_match(const LevelMap& first, const LevelMap& second) {
  if (first.size() != second.size()) {
    throw OrdinaryError("HashMaps have different number of keys: " + std::to_string(first.size()) + " vs " +
                        std::to_string(second.size()));
  }
  for (const auto& [key, raster] : first) {
    const auto other = second.find(key);
    if (other == second.end()) {
      throw OrdinaryError("Key " + std::to_string(key) + " exists in first map but not in second");
    }
    const Raster<float>& theirs = other->second;
    if (raster.rows() != theirs.rows() || raster.cols() != theirs.cols()) {
      throw OrdinaryError("Dimension mismatch for key " + std::to_string(key) + ": " +
                          shape_text(raster.rows(), raster.cols()) + " vs " + shape_text(theirs.rows(), theirs.cols()));
    }
  }
}

}  // namespace velkan
