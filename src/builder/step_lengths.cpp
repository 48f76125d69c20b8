#include "builder/step_lengths.h"

#include <bit>
#include <cmath>
#include <map>
#include <vector>

#include "graph/distance.h"

namespace velkan {

namespace {

// Most link lengths a level keeps in a table (8 MiB of lengths per level).
constexpr std::size_t kMostLinkLengths = std::size_t{1} << 19;

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

// The distinct values of a link term, matched bit for bit.
class TermClasses {
 public:
  std::uint16_t add(double first, double second) {
    const Key key{std::bit_cast<std::uint64_t>(first), std::bit_cast<std::uint64_t>(second)};
    const auto [it, added] = index_.emplace(key, static_cast<std::uint16_t>(values_.size()));
    if (added) values_.push_back({first, second});
    return it->second;
  }
  const std::vector<std::array<double, 2>>& values() const { return values_; }
  bool full() const { return values_.size() >= kMostClasses; }

 private:
  static constexpr std::size_t kMostClasses = 4096;
  using Key = std::array<std::uint64_t, 2>;
  std::map<Key, std::uint16_t> index_;
  std::vector<std::array<double, 2>> values_;
};

// The terms of a link along one axis from fine position `fine` to coarse
// position `coarse` (y or x, in the transforms' units): the offset of a
// projected grid; for rows of a geographic one sin(Δφ/2) and cos φ1 · cos φ2,
// for columns sin(Δθ/2), as cell_distance_m computes them.
std::array<double, 2> link_terms(double fine, double coarse, bool is_geo, bool row) {
  if (!is_geo) return {coarse - fine, 0.0};
  const double a1 = fine * kDegreesToRadians, a2 = coarse * kDegreesToRadians;
  return {std::sin((a2 - a1) / 2.0), row ? std::cos(a1) * std::cos(a2) : 0.0};
}

// A class's lengths in what an edge carries of them: km bits and units.
std::uint64_t carried(const EdgeLength& length) {
  return (std::uint64_t{std::bit_cast<std::uint32_t>(length.km)} << 32) | length.units;
}

// Renumbers `classes` so that two of them share a number exactly when
// `signature` gives them the same lengths; returns the first old class of
// every new number.
std::vector<std::size_t> merge_classes(std::vector<std::uint16_t>& classes, std::size_t count, const auto& signature) {
  std::map<std::vector<std::uint64_t>, std::uint16_t> numbers;
  std::vector<std::uint16_t> renumbered(count);
  std::vector<std::size_t> first_of;
  for (std::size_t c = 0; c < count; ++c) {
    const auto [it, added] = numbers.emplace(signature(c), static_cast<std::uint16_t>(first_of.size()));
    if (added) first_of.push_back(c);
    renumbered[c] = it->second;
  }
  for (std::uint16_t& c : classes) c = renumbered[c];
  return first_of;
}

// Merges the row classes whose links have the same km and units into every
// column class, and the same for columns. The edges then know a link's length
// by one class per row and one per column: two places whose classes match
// make the same edges (the merged table keeps one class's metres).
void merge_equal_lengths(LinkLengths& links, std::size_t row_count, std::size_t col_count) {
  const auto length = [&](std::size_t r, std::size_t c) { return carried(links.lengths[r * col_count + c]); };
  const std::vector<std::size_t> rows = merge_classes(links.row_class, row_count, [&](std::size_t r) {
    std::vector<std::uint64_t> s(col_count);
    for (std::size_t c = 0; c < col_count; ++c) s[c] = length(r, c);
    return s;
  });
  const std::vector<std::size_t> cols = merge_classes(links.col_class, col_count, [&](std::size_t c) {
    std::vector<std::uint64_t> s(row_count);
    for (std::size_t r = 0; r < row_count; ++r) s[r] = length(r, c);
    return s;
  });
  std::vector<EdgeLength> merged;
  merged.reserve(rows.size() * cols.size());
  for (const std::size_t r : rows) {
    for (const std::size_t c : cols) merged.push_back(links.lengths[r * col_count + c]);
  }
  links.lengths = std::move(merged);
  links.col_classes = cols.size();
}

// The link lengths of `level` (transform `fine`) to 2·level (`coarse`); left
// empty when the terms take too many values for a table.
void add_link_lengths(const Affine& fine, const Affine& coarse, std::int32_t level, LevelShape shape, bool is_geo,
                      std::int32_t row_offset, std::int32_t col_offset, LinkLengths& out) {
  const CoarseLinkAxis rows(row_offset, level), cols(col_offset, level);
  TermClasses row_terms, col_terms;
  std::vector<std::uint16_t> row_class(2 * shape.rows), col_class(2 * shape.cols);
  for (std::size_t i = 0; i < shape.rows && !row_terms.full(); ++i) {
    const auto row = static_cast<std::int64_t>(i);
    for (int other = 0; other < 2; ++other) {
      const std::int64_t r = rows.coarse_of(row, other == 1 ? rows.other_step(row) : 0);
      const auto [t0, t1] = link_terms(cell_centre(fine, row, 0).y, cell_centre(coarse, r, 0).y, is_geo, true);
      row_class[2 * i + static_cast<std::size_t>(other)] = row_terms.add(t0, t1);
    }
  }
  for (std::size_t j = 0; j < shape.cols && !col_terms.full(); ++j) {
    const auto col = static_cast<std::int64_t>(j);
    for (int other = 0; other < 2; ++other) {
      const std::int64_t c = cols.coarse_of(col, other == 1 ? cols.other_step(col) : 0);
      const auto [t0, t1] = link_terms(cell_centre(fine, 0, col).x, cell_centre(coarse, 0, c).x, is_geo, false);
      col_class[2 * j + static_cast<std::size_t>(other)] = col_terms.add(t0, t1);
    }
  }
  const std::size_t row_count = row_terms.values().size(), col_count = col_terms.values().size();
  if (row_terms.full() || col_terms.full() || row_count * col_count > kMostLinkLengths) return;
  out.lengths.reserve(row_count * col_count);
  for (const auto& [dy_or_phi, cos_product] : row_terms.values()) {
    for (const auto& [dx_or_theta, unused] : col_terms.values()) {
      const double metres =
          is_geo ? haversine_m(dy_or_phi, cos_product, dx_or_theta) : std::hypot(dx_or_theta, dy_or_phi);
      out.lengths.push_back(edge_length(metres));
    }
  }
  out.row_class = std::move(row_class);
  out.col_class = std::move(col_class);
  out.col_classes = col_count;
  merge_equal_lengths(out, row_count, col_count);
}

}  // namespace

std::size_t StepLengths::memory_bytes() const {
  std::size_t bytes = 0;
  for (const auto& [level, steps] : levels_) {
    const LinkLengths& links = steps.links;
    bytes += sizeof(steps) + steps.rows.capacity() * sizeof(StepRow) +
             (links.row_class.capacity() + links.col_class.capacity()) * sizeof(std::uint16_t) +
             links.lengths.capacity() * sizeof(EdgeLength);
  }
  return bytes;
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
    } else {
      continue;
    }
    const auto coarse = level <= INT32_MAX / 2 ? transforms.find(2 * level) : transforms.end();
    if (north_up(a) && coarse != transforms.end() && north_up(coarse->second)) {
      add_link_lengths(a, coarse->second, level, shape, is_geo, row_offset, col_offset, l.links);
    }
    levels_.emplace(level, std::move(l));
  }
}

}  // namespace velkan
