// Coverage of one level's window, remembered per focal phase.
//
// Away from the landscape's edges, which cells a window covers, and
// by how much, depends only on where the focal cell sits inside the level's
// cell (its global row and column modulo the level): the coverage is computed
// from exact differences to the focal centre, so every focal cell of a phase
// gets bit for bit the fractions the first one did. One cache per worker,
// filled as the phases appear.
#pragma once

#include <cstdint>
#include <vector>

namespace velkan {

// A covered cell of the window, relative to the window's box.
struct CoveredCell {
  std::int32_t di = 0, dj = 0;
  float coverage = 0.0f;
  std::uint8_t partial = 0;
};

struct PhaseCells {
  bool filled = false;
  std::int32_t box_rows = 0, box_cols = 0;
  std::vector<CoveredCell> cells;  // row-major, as the window is walked
};

struct LevelCoverage {
  std::int32_t level = 0;
  bool square = false;              // square windows, else circular ones
  double outer = 0.0, inner = 0.0;  // radii in base cells
  std::vector<PhaseCells> phases;   // level x level, by (row phase, column phase)
};

struct CoverageCache {
  // Levels with more phases a side than this, or whose phases would hold more
  // box cells in all than kMaxCells (about 16 MB a worker), are walked every time.
  static constexpr std::int32_t kMaxPhases = 32;
  static constexpr std::uint64_t kMaxCells = std::uint64_t{1} << 20;

  // The phase's entry of a window at `level` of this shape and radii and a
  // box of `box_cells` cells, or nullptr when the level is not remembered.
  PhaseCells* find(std::int32_t level, bool square, double outer, double inner, std::uint64_t box_cells,
                   std::int64_t row_phase, std::int64_t col_phase) {
    if (level > kMaxPhases) return nullptr;
    if (static_cast<std::uint64_t>(level) * static_cast<std::uint64_t>(level) * box_cells > kMaxCells) return nullptr;
    LevelCoverage* found = nullptr;
    for (LevelCoverage& l : levels)
      if (l.level == level && l.square == square && l.outer == outer && l.inner == inner) found = &l;
    if (found == nullptr) {
      found = &levels.emplace_back();
      found->level = level;
      found->square = square;
      found->outer = outer;
      found->inner = inner;
      found->phases.resize(static_cast<std::size_t>(level) * static_cast<std::size_t>(level));
    }
    return &found->phases[static_cast<std::size_t>(row_phase * level + col_phase)];
  }

  std::vector<LevelCoverage> levels;
};

}  // namespace velkan
