#include "graph/step_lengths.h"

#include "graph/distance.h"
#include "graph/search_graph.h"

namespace velkan {

namespace {

constexpr double kMetresPerKm = 1000.0;

StepRow measure_row(const Affine& t, std::int64_t row, bool is_geo, const int (&steps)[8][2]) {
  StepRow out;
  const Point from = cell_centre(t, row, 0);
  for (int s = 0; s < 8; ++s) {
    const double metres = cell_distance_m(from, cell_centre(t, row + steps[s][0], steps[s][1]), is_geo);
    out[static_cast<std::size_t>(s)].km = static_cast<float>(metres / kMetresPerKm);
    out[static_cast<std::size_t>(s)].units = cost_units(out[static_cast<std::size_t>(s)].km);
  }
  return out;
}

}  // namespace

StepLengths::StepLengths(const std::map<std::int32_t, Affine>& transforms,
                         const std::map<std::int32_t, std::size_t>& level_rows, bool is_geo,
                         const int (&steps)[8][2]) {
  for (const auto& [level, rows] : level_rows) {
    const auto t = transforms.find(level);
    if (t == transforms.end()) continue;  // the graph reports the missing transform
    const Affine& a = t->second;
    LevelSteps l;
    if (!is_geo) {
      l.rows.push_back(measure_row(a, 0, false, steps));
    } else if (a.b == 0.0 && a.d == 0.0) {  // latitude follows the row alone
      l.per_row = true;
      l.rows.reserve(rows);
      for (std::size_t r = 0; r < rows; ++r) l.rows.push_back(measure_row(a, static_cast<std::int64_t>(r), true, steps));
    } else {
      continue;
    }
    levels_.emplace(level, std::move(l));
  }
}

}  // namespace velkan
