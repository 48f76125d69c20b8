#include "builder/node_id.h"

#include <string>

#include "common/errors.h"

namespace velkan {

void fail_node_id(std::int32_t level, std::int32_t row, std::int32_t col) {
  // A value can be both negative and oversized; the sign is the more useful report.
  if (level < 0 || row < 0 || col < 0) {
    throw InternalError("Negative node coordinates are not supported: level=" + std::to_string(level) +
                        ", row=" + std::to_string(row) + ", col=" + std::to_string(col));
  }
  throw InternalError("Node id overflow for (level,row,col)=(" + std::to_string(level) + "," + std::to_string(row) +
                      "," + std::to_string(col) + "); exceeds 16/24/24-bit layout");
}

}  // namespace velkan
