#include "builder/step_lengths.h"

#include <cmath>

#include "graph/distance.h"

namespace velkan {

namespace {

bool north_up(const Affine& a) { return a.b == 0.0 && a.d == 0.0; }

StepRow measure_row(const Affine& t, std::int64_t row, bool is_geo, const int (&steps)[8][2]) {
  StepRow out;
  const Point from = cell_centre(t, row, 0);
  for (int s = 0; s < 8; ++s) {
    const EdgeLength length =
        edge_length(cell_distance_m(from, cell_centre(t, row + steps[s][0], steps[s][1]), is_geo));
    out[static_cast<std::size_t>(s)] = StepLength{length.km, length.units};
  }
  return out;
}

// The haversine terms of every link from `level` (transform `fine`) to 2·level
// (`coarse`), as cell_distance_m computes them from the two centres.
void add_link_terms(const Affine& fine, const Affine& coarse, std::int32_t level, LevelShape shape,
                    std::int32_t row_offset, std::int32_t col_offset, LevelSteps& out) {
  const CoarseLinkAxis rows(row_offset, level), cols(col_offset, level);
  out.link_rows.resize(shape.rows);
  for (std::size_t i = 0; i < shape.rows; ++i) {
    const double phi1 = cell_centre(fine, static_cast<std::int64_t>(i), 0).y * kDegreesToRadians;
    for (int dr = -1; dr <= 1; ++dr) {
      const std::int64_t r = rows.coarse_of(static_cast<std::int64_t>(i), dr);
      const double phi2 = cell_centre(coarse, r, 0).y * kDegreesToRadians;
      out.link_rows[i].s_phi[static_cast<std::size_t>(dr + 1)] = std::sin((phi2 - phi1) / 2.0);
      out.link_rows[i].cos_product[static_cast<std::size_t>(dr + 1)] = std::cos(phi1) * std::cos(phi2);
    }
  }
  out.link_cols.resize(shape.cols);
  for (std::size_t j = 0; j < shape.cols; ++j) {
    const double theta1 = cell_centre(fine, 0, static_cast<std::int64_t>(j)).x * kDegreesToRadians;
    for (int dc = -1; dc <= 1; ++dc) {
      const std::int64_t c = cols.coarse_of(static_cast<std::int64_t>(j), dc);
      const double theta2 = cell_centre(coarse, 0, c).x * kDegreesToRadians;
      out.link_cols[j][static_cast<std::size_t>(dc + 1)] = std::sin((theta2 - theta1) / 2.0);
    }
  }
}

}  // namespace

double LevelSteps::link_metres(std::int64_t row, std::int64_t col, int dr, int dc) const {
  if (row < 0 || col < 0 || static_cast<std::size_t>(row) >= link_rows.size() ||
      static_cast<std::size_t>(col) >= link_cols.size()) {
    return -1.0;
  }
  const LinkRow& terms = link_rows[static_cast<std::size_t>(row)];
  const std::size_t r = static_cast<std::size_t>(dr + 1), c = static_cast<std::size_t>(dc + 1);
  return haversine_m(terms.s_phi[r], terms.cos_product[r], link_cols[static_cast<std::size_t>(col)][c]);
}

StepLengths::StepLengths(const std::map<std::int32_t, Affine>& transforms,
                         const std::map<std::int32_t, LevelShape>& shapes, bool is_geo, const int (&steps)[8][2],
                         std::int32_t row_offset, std::int32_t col_offset) {
  for (const auto& [level, shape] : shapes) {
    const auto t = transforms.find(level);
    if (t == transforms.end()) continue;  // the graph reports the missing transform
    const Affine& a = t->second;
    LevelSteps l;
    if (!is_geo) {
      l.rows.push_back(measure_row(a, 0, false, steps));
    } else if (north_up(a)) {  // latitude follows the row alone
      l.per_row = true;
      l.rows.reserve(shape.rows);
      for (std::size_t r = 0; r < shape.rows; ++r) {
        l.rows.push_back(measure_row(a, static_cast<std::int64_t>(r), true, steps));
      }
      const auto coarse = level <= INT32_MAX / 2 ? transforms.find(2 * level) : transforms.end();
      if (coarse != transforms.end() && north_up(coarse->second)) {
        add_link_terms(a, coarse->second, level, shape, row_offset, col_offset, l);
      }
    } else {
      continue;
    }
    levels_.emplace(level, std::move(l));
  }
}

}  // namespace velkan
