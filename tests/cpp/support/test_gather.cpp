#include "support/test_gather.h"

#include "window/window_plan.h"

namespace velkan {

void gather_focal_windows(std::int32_t row, std::int32_t col, const PreparedEngine& prepared,
                          const ConnectivityParams& params, FocalWindows& out) {
  gather_focal_windows(row, col, plan_windows(prepared, params), out);
}

void gather_level_cells(std::int32_t row, std::int32_t col, std::int32_t level, const std::vector<float>& focal_bands,
                        const PreparedEngine& prepared, const ConnectivityParams& params, LevelCells& out,
                        CoverageCache* cache) {
  const LevelPlan plan = plan_level(prepared, params, level);
  gather_level_cells(row, col, plan, prepared.condition.at(kBaseLevel), focal_bands, params, out, cache);
}

}  // namespace velkan
