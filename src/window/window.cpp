#include "window/window.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "common/errors.h"
#include "common/grid_math.h"
#include "window/disc_overlap.h"
#include "window/similarity.h"

namespace velkan {
namespace {

// Tolerance of the wholly-inside test, relative to the squared outer radius,
// so that cells whose corner touches the circle count as partial.
constexpr double kEpsilonScale = 1e-12;
constexpr double kHalf = 0.5;
constexpr float kNoPaMembership = 1.0f;
constexpr float kNonFiniteMembership = 0.0f;

using i64 = std::int64_t;

std::int32_t low_bits_as_int32(std::uint64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

std::int32_t saturate_to_int32(double value) {
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  if (std::isnan(value)) return 0;
  if (value <= static_cast<double>(kMin)) return kMin;
  if (value >= static_cast<double>(kMax)) return kMax;
  return static_cast<std::int32_t>(value);
}

// One level's window in global base-cell units.
struct Window {
  i64 level = 1;
  double cy = 0.0, cx = 0.0;  // focal cell centre
  double r = 0.0, h = 0.0;    // outer and inner half-extent
  double r2 = 0.0, eps = 0.0;
  i64 off_r = 0, off_c = 0;                          // landscape start
  i64 end_r = 0, end_c = 0;                          // landscape end (exclusive)
  i64 o_r = 0, o_c = 0;                              // global level row/column of local (0, 0)
  i64 i_min = 0, i_max = -1, j_min = 0, j_max = -1;  // local cell range visited
};

// Local level cells covering the half-open global base interval [lo, hi).
void unclamped_level_range(double lo, double hi, i64 level, i64 origin, i64& first, i64& last) {
  const i64 lo_cell = saturate_to_int32(std::floor(lo));
  const i64 hi_cell = saturate_to_int32(std::ceil(hi));
  first = floor_div(lo_cell, level) - origin;
  last = floor_div(hi_cell - 1, level) - origin;
}

// The same, clamped to [0, count).
void level_range(double lo, double hi, i64 level, i64 origin, std::size_t count, i64& first, i64& last) {
  unclamped_level_range(lo, hi, level, origin, first, last);
  first = std::max<i64>(first, 0);
  last = std::min<i64>(last, static_cast<i64>(count) - 1);
}

Window make_window(std::int32_t row, std::int32_t col, std::int32_t level, std::int32_t width,
                   const Raster<float>& base, const Raster<float>& level_condition, const ConnectivityParams& params) {
  Window w;
  w.level = level;
  w.off_r = low_bits_as_int32(params.row_offset);
  w.off_c = low_bits_as_int32(params.col_offset);
  w.end_r = w.off_r + static_cast<i64>(base.rows());
  w.end_c = w.off_c + static_cast<i64>(base.cols());
  w.o_r = floor_div(w.off_r, w.level);
  w.o_c = floor_div(w.off_c, w.level);
  w.cy = static_cast<double>(row + w.off_r) + kHalf;
  w.cx = static_cast<double>(col + w.off_c) + kHalf;
  w.r = static_cast<double>(width) * level;
  w.h = level == kBaseLevel ? 0.0 : static_cast<double>(params.window_size) * level * kHalf;
  w.r2 = w.r * w.r;
  w.eps = (w.r2 + 1.0) * kEpsilonScale;

  const double y_lo = std::max(w.cy - w.r, static_cast<double>(w.off_r));
  const double y_hi = std::min(w.cy + w.r, static_cast<double>(w.end_r));
  const double x_lo = std::max(w.cx - w.r, static_cast<double>(w.off_c));
  const double x_hi = std::min(w.cx + w.r, static_cast<double>(w.end_c));
  if (y_hi <= y_lo || x_hi <= x_lo) return w;  // nothing of the window lies in the landscape
  level_range(y_lo, y_hi, level, w.o_r, level_condition.rows(), w.i_min, w.i_max);
  level_range(x_lo, x_hi, level, w.o_c, level_condition.cols(), w.j_min, w.j_max);
  return w;
}

// A level cell clipped to the landscape.
struct CellBox {
  double y0, y1, x0, x1;
};

double clipped_start(i64 origin, i64 index, i64 level, i64 landscape_start) {
  return static_cast<double>(std::max((origin + index) * level, landscape_start));
}

double clipped_end(i64 origin, i64 index, i64 level, i64 landscape_end) {
  return static_cast<double>(std::min((origin + index) * level + level, landscape_end));
}

// Fraction of the cell inside the annulus between radii h and r; 0 drops it.
double circular_coverage(const CellBox& c, const Window& w, bool& wholly_inside) {
  const double cell_area = (c.x1 - c.x0) * (c.y1 - c.y0);
  if (!(cell_area > 0.0)) return 0.0;
  const double outer = disc_rect_overlap_area(c.y0, c.y1, c.x0, c.x1, w.cy, w.cx, w.r);
  if (!(outer > 0.0)) return 0.0;
  const double inner = disc_rect_overlap_area(c.y0, c.y1, c.x0, c.x1, w.cy, w.cx, w.h);
  const double inside = std::max(outer - inner, 0.0);
  const double fraction = std::min(inside / cell_area, 1.0);

  wholly_inside = true;
  if (w.r > 0.0 && inside > 0.0) {
    const double ny = nearest_offset(c.y0, c.y1, w.cy);
    const double nx = nearest_offset(c.x0, c.x1, w.cx);
    if (ny * ny + nx * nx <= w.r2 + w.eps) {
      const double fy = farthest_offset(c.y0, c.y1, w.cy);
      const double fx = farthest_offset(c.x0, c.x1, w.cx);
      wholly_inside = fy * fy + fx * fx < w.r2 - w.eps;
    }
  }
  return fraction;
}

double interval_overlap(double lo, double hi, double centre, double half) {
  return std::min(hi, centre + half) - std::max(lo, centre - half);
}

// Fraction of the cell inside the square annulus between half-widths h and r.
double square_coverage(const CellBox& c, const Window& w) {
  const double cell_area = (c.x1 - c.x0) * (c.y1 - c.y0);
  if (!(w.r > 0.0) || !(cell_area > 0.0)) return 0.0;
  const double row_overlap = interval_overlap(c.y0, c.y1, w.cy, w.r);
  if (!(row_overlap > 0.0)) return 0.0;
  const double col_overlap = interval_overlap(c.x0, c.x1, w.cx, w.r);
  if (!(col_overlap > 0.0)) return 0.0;
  const double outer = row_overlap * col_overlap;
  if (!(outer > 0.0)) return 0.0;
  double inner = 0.0;
  if (w.h > 0.0) {
    const double inner_rows = interval_overlap(c.y0, c.y1, w.cy, w.h);
    const double inner_cols = interval_overlap(c.x0, c.x1, w.cx, w.h);
    if (inner_rows > 0.0 && inner_cols > 0.0) inner = inner_rows * inner_cols;
  }
  const double fraction = std::max(outer - inner, 0.0) / cell_area;
  return fraction > 1.0 ? 1.0 : fraction;
}

// One level row's value rasters.
struct RowValues {
  const float* condition;
  const float* weights;
  const float* pa;
  const float* traversal;
};

RowValues row_values(const LevelPlan& r, i64 i) {
  const auto row = static_cast<std::size_t>(i);
  return {r.condition->row_ptr(row), r.weights->row_ptr(row), r.pa ? r.pa->row_ptr(row) : nullptr,
          r.traversal ? r.traversal->row_ptr(row) : nullptr};
}

// Appends gathered cells through cursors into arrays grown up front by the
// most cells that can come, so no store makes the next one reload an array's
// end; the arrays are trimmed to the cells kept when the appender goes.
class CellAppender {
 public:
  CellAppender(LevelCells& out, std::size_t most, bool traversal)
      : out_(out), first_(out.size()), has_traversal_(traversal) {
    resize_all(first_ + most);
    rows_ = out.rows.data() + first_;
    cols_ = out.cols.data() + first_;
    condition_ = out.condition.data() + first_;
    weight_ = out.weight.data() + first_;
    protected_ = out.protected_fraction.data() + first_;
    partial_ = out.partial.data() + first_;
    traversal_ = traversal ? out.traversal.data() + first_ : nullptr;
  }
  CellAppender(const CellAppender&) = delete;
  CellAppender& operator=(const CellAppender&) = delete;
  ~CellAppender() { resize_all(first_ + kept_); }

  // Adds a covered cell unless its condition is missing or its weight is not finite.
  void keep(i64 i, i64 j, float coverage, std::uint8_t partial, const RowValues& v) {
    const float q = v.condition[j];
    if (std::isnan(q)) return;
    const float cw = v.weights[j];
    if (!std::isfinite(cw)) return;
    store(i, j, q, coverage * cw, partial);
    protected_[kept_ - 1] =
        v.pa == nullptr ? kNoPaMembership : (std::isfinite(v.pa[j]) ? v.pa[j] : kNonFiniteMembership);
    if (traversal_ != nullptr) traversal_[kept_ - 1] = std::isfinite(v.traversal[j]) ? v.traversal[j] : q;
  }

  // Adds a covered cell whatever the rasters hold there, with condition 1 and
  // its coverage as weight.
  void keep_candidate(i64 i, i64 j, float coverage, std::uint8_t partial) {
    store(i, j, 1.0f, coverage, partial);
    protected_[kept_ - 1] = kNoPaMembership;
  }

 private:
  void store(i64 i, i64 j, float condition, float weight, std::uint8_t partial) {
    const std::size_t k = kept_++;
    rows_[k] = static_cast<std::int32_t>(i);
    cols_[k] = static_cast<std::int32_t>(j);
    condition_[k] = condition;
    weight_[k] = weight;
    partial_[k] = partial;
  }
  void resize_all(std::size_t size) {
    out_.rows.resize(size);
    out_.cols.resize(size);
    out_.condition.resize(size);
    out_.weight.resize(size);
    out_.protected_fraction.resize(size);
    out_.partial.resize(size);
    if (has_traversal_) out_.traversal.resize(size);
  }

  LevelCells& out_;
  std::size_t first_, kept_ = 0;
  bool has_traversal_;
  std::int32_t* rows_;
  std::int32_t* cols_;
  float* condition_;
  float* weight_;
  float* protected_;
  float* traversal_;
  std::uint8_t* partial_;
};

// Walks the window's box; with `record`, also notes every covered cell there.
// With kCandidates, every covered cell is kept whatever the rasters hold.
template <WindowMode Mode, bool kCandidates = false>
void gather_cells(const Window& w, const LevelPlan& r, LevelCells& out, PhaseCells* record) {
  const auto box_cells =
      static_cast<std::size_t>(std::max<i64>(0, w.i_max - w.i_min + 1) * std::max<i64>(0, w.j_max - w.j_min + 1));
  CellAppender cells(out, box_cells, !kCandidates && r.traversal != nullptr);
  for (i64 i = w.i_min; i <= w.i_max; ++i) {
    CellBox cell{};
    cell.y0 = clipped_start(w.o_r, i, w.level, w.off_r);
    cell.y1 = clipped_end(w.o_r, i, w.level, w.end_r);
    const RowValues values = row_values(r, i);
    for (i64 j = w.j_min; j <= w.j_max; ++j) {
      cell.x0 = clipped_start(w.o_c, j, w.level, w.off_c);
      cell.x1 = clipped_end(w.o_c, j, w.level, w.end_c);
      bool wholly_inside = true;
      const double fraction =
          Mode == WindowMode::Circular ? circular_coverage(cell, w, wholly_inside) : square_coverage(cell, w);
      const float coverage = static_cast<float>(fraction);
      if (coverage == 0.0f) continue;
      const std::uint8_t partial = wholly_inside ? 0 : 1;
      if (record != nullptr) {
        record->cells.push_back(CoveredCell{static_cast<std::int32_t>(i - w.i_min),
                                            static_cast<std::int32_t>(j - w.j_min), coverage, partial});
      }
      if (kCandidates) {
        cells.keep_candidate(i, j, coverage, partial);
      } else {
        cells.keep(i, j, coverage, partial, values);
      }
    }
  }
}

// The covered cells of a phase met before, whose box starts at local (row0,
// col0) here, that lie in the visited box.
void gather_remembered(const Window& w, i64 row0, i64 col0, const LevelPlan& r, const PhaseCells& phase,
                       LevelCells& out) {
  i64 row = -1;
  RowValues values{};
  CellAppender cells(out, phase.cells.size(), r.traversal != nullptr);
  for (const CoveredCell& c : phase.cells) {
    const i64 i = row0 + c.di, j = col0 + c.dj;
    if (i < w.i_min || i > w.i_max || j < w.j_min || j > w.j_max) continue;
    if (i != row) {
      row = i;
      values = row_values(r, i);
    }
    cells.keep(i, j, c.coverage, c.partial, values);
  }
}

// Every cell of the visited box lies whole inside the landscape, so none is
// clipped, even where the landscape's edges cut the window short.
bool whole_cells(const Window& w) {
  const i64 L = w.level;
  return (w.o_r + w.i_min) * L >= w.off_r && (w.o_r + w.i_max + 1) * L <= w.end_r && (w.o_c + w.j_min) * L >= w.off_c &&
         (w.o_c + w.j_max + 1) * L <= w.end_c;
}

// The window and every cell it visits lie inside the landscape, so no cell is
// clipped and its coverage is that of every focal cell of the same phase.
bool unclipped(const Window& w) {
  return w.cy - w.r >= static_cast<double>(w.off_r) && w.cy + w.r <= static_cast<double>(w.end_r) &&
         w.cx - w.r >= static_cast<double>(w.off_c) && w.cx + w.r <= static_cast<double>(w.end_c) && whole_cells(w);
}

// A window's covered cells are those of its phase met unclipped, at the same
// place relative to the focal cell; where the landscape's edges cut the window
// short but clip no cell, they are that phase's cells inside the visited box.
// Only an unclipped walk fills a phase.
template <WindowMode Mode>
void gather_by_phase(std::int32_t row, std::int32_t col, const Window& w, const LevelPlan& r, CoverageCache* cache,
                     LevelCells& out) {
  PhaseCells* phase = nullptr;
  i64 row0 = 0, row1 = -1, col0 = 0, col1 = -1;  // the unclipped box
  if (cache != nullptr && whole_cells(w)) {
    unclamped_level_range(w.cy - w.r, w.cy + w.r, w.level, w.o_r, row0, row1);
    unclamped_level_range(w.cx - w.r, w.cx + w.r, w.level, w.o_c, col0, col1);
    const auto box_cells = static_cast<std::uint64_t>(row1 - row0 + 1) * static_cast<std::uint64_t>(col1 - col0 + 1);
    phase = cache->find(static_cast<std::int32_t>(w.level), Mode == WindowMode::Square, w.r, w.h, box_cells,
                        floor_mod(row + w.off_r, w.level), floor_mod(col + w.off_c, w.level));
  }
  if (phase != nullptr && phase->filled && phase->box_rows == row1 - row0 + 1 && phase->box_cols == col1 - col0 + 1) {
    gather_remembered(w, row0, col0, r, *phase, out);
    return;
  }
  if (phase != nullptr && !unclipped(w)) phase = nullptr;
  if (phase != nullptr) {
    phase->cells.clear();
    phase->box_rows = out.box_rows;
    phase->box_cols = out.box_cols;
  }
  gather_cells<Mode>(w, r, out, phase);
  if (phase != nullptr) phase->filled = true;
}

// Notes the box of cells the window visits; false when it visits none.
bool visit_box(const Window& w, LevelCells& out) {
  if (w.i_max < w.i_min || w.j_max < w.j_min) return false;
  out.box_row0 = static_cast<std::int32_t>(w.i_min);
  out.box_col0 = static_cast<std::int32_t>(w.j_min);
  out.box_rows = static_cast<std::int32_t>(w.i_max - w.i_min + 1);
  out.box_cols = static_cast<std::int32_t>(w.j_max - w.j_min + 1);
  return true;
}

void prepare_buffers(LevelCells& out, std::int32_t level, const LevelPlan& r, std::size_t grids, std::size_t capacity) {
  out.clear();
  out.level = level;
  out.has_traversal = r.traversal != nullptr;
  out.grid_count = grids;
  out.rows.reserve(capacity);
  out.cols.reserve(capacity);
  out.condition.reserve(capacity);
  out.weight.reserve(capacity);
  out.protected_fraction.reserve(capacity);
  if (out.has_traversal) out.traversal.reserve(capacity);
  out.partial.reserve(capacity);
  out.edge.reserve(capacity);
  out.similarity.reserve(capacity * grids);
}

}  // namespace

void gather_level_cells(std::int32_t row, std::int32_t col, const LevelPlan& plan, const Raster<float>& base,
                        const std::vector<float>& focal_bands, const ConnectivityParams& params, LevelCells& out,
                        CoverageCache* cache) {
  prepare_buffers(out, plan.level, plan, plan.transition.size(), plan.capacity);
  const Window w = make_window(row, col, plan.level, plan.width, base, *plan.condition, params);
  if (visit_box(w, out)) {
    if (params.window_mode == WindowMode::Circular) {
      gather_by_phase<WindowMode::Circular>(row, col, w, plan, cache, out);
    } else {
      gather_by_phase<WindowMode::Square>(row, col, w, plan, cache, out);
    }
  }
  fill_similarities(focal_bands, plan.transition, plan.level, out);
}

bool gather_candidate_cells(std::int32_t row, std::int32_t col, const LevelPlan& plan, const Raster<float>& base,
                            const ConnectivityParams& params, LevelCells& out) {
  prepare_buffers(out, plan.level, plan, 0, plan.capacity);
  out.has_traversal = false;
  const Window w = make_window(row, col, plan.level, plan.width, base, *plan.condition, params);
  if (!unclipped(w) || !visit_box(w, out)) return false;
  if (params.window_mode == WindowMode::Circular) {
    gather_cells<WindowMode::Circular, true>(w, plan, out, nullptr);
  } else {
    gather_cells<WindowMode::Square, true>(w, plan, out, nullptr);
  }
  fill_edge_flags(params.window_mode, out);
  return true;
}

void fill_edge_flags(WindowMode mode, LevelCells& cells) {
  const std::size_t n = cells.size();
  cells.edge.assign(n, 0);
  if (n == 0) return;
  if (mode == WindowMode::Circular) {
    std::copy(cells.partial.begin(), cells.partial.end(), cells.edge.begin());
    return;
  }
  // Gathering is row-major, so the first and last rows are the extremes.
  const std::int32_t min_r = cells.rows.front(), max_r = cells.rows.back();
  const auto [min_c, max_c] = std::minmax_element(cells.cols.begin(), cells.cols.end());
  for (std::size_t k = 0; k < n; ++k) {
    const std::int32_t i = cells.rows[k], j = cells.cols[k];
    cells.edge[k] = (i == min_r || i == max_r || j == *min_c || j == *max_c) ? 1 : 0;
  }
}

void gather_focal_windows(std::int32_t row, std::int32_t col, const WindowPlan& plan, FocalWindows& out) {
  const PreparedEngine& prepared = *plan.prepared;
  focal_band_vector(row, col, prepared, out.focal_bands);
  out.levels.resize(prepared.sorted_levels.size());
  for (std::size_t k = 0; k < plan.levels.size(); ++k) {
    gather_level_cells(row, col, plan.levels[k], *plan.base, out.focal_bands, *plan.params, out.levels[k],
                       &out.coverage);
    fill_edge_flags(plan.params->window_mode, out.levels[k]);
  }
  if (plan.failure) throw InternalError(*plan.failure);
}

}  // namespace velkan
