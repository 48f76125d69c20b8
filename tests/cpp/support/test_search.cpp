#include "support/test_search.h"

#include "builder/step_lengths.h"
#include "core/search_kernels.h"
#include "window/window_plan.h"

namespace velkan {

CallTables untabled_call_tables(const PreparedEngine& prepared, const ConnectivityParams& params) {
  return CallTables{StepLengths{}, DistanceDecay{}, plan_windows(prepared, params), TemplatePolicy{}};
}

TestSearch::TestSearch(const PreparedEngine& prepared, const ConnectivityParams& params, const TransformMap& transforms,
                       const Raster<std::uint8_t>& mask, KernelForm form)
    : tables_(untabled_call_tables(prepared, params)), context_{prepared, params, transforms, mask, form, tables_} {}

}  // namespace velkan
