#include "window/similarity.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/errors.h"
#include "common/exp_f32.h"
#include "common/loop_builds.h"

namespace velkan {
namespace {

constexpr float kNoGridSimilarity = 0.0f;

// The band distance Σ |focal[b] - bands[b]| of every cell, summed in band
// order, with presence = every band finite; `Bands` is the band count, or 0
// when it is only known at run time (`walked`).
template <std::size_t Bands>
[[gnu::always_inline]] inline void band_distances(const Raster<float>& grid, const float* focal, std::size_t walked,
                                                  const LevelCells& out, Similarity* dest) {
  const std::size_t count = Bands == 0 ? walked : Bands;
  for (std::size_t k = 0; k < out.size(); ++k) {
    const float* bands = grid.cell(static_cast<std::size_t>(out.rows[k]), static_cast<std::size_t>(out.cols[k]));
    float sum = 0.0f;
    bool finite = true;
    for (std::size_t b = 0; b < count; ++b) {
      finite &= std::isfinite(bands[b]);
      sum += std::fabs(focal[b] - bands[b]);
    }
    dest[k] = Similarity{finite ? 1u : 0u, finite ? sum : 0.0f};
  }
}

// Distances first and e^-distance after: two plain loops run faster than one
// that interleaves the band reads with the exponentials.
[[gnu::always_inline]] inline void similarity_loops(const Raster<float>& grid, const float* focal, std::size_t walked,
                                                    const LevelCells& out, Similarity* dest) {
  switch (walked) {
    case 1: band_distances<1>(grid, focal, walked, out, dest); break;
    case 2: band_distances<2>(grid, focal, walked, out, dest); break;
    case 3: band_distances<3>(grid, focal, walked, out, dest); break;
    case 4: band_distances<4>(grid, focal, walked, out, dest); break;
    default: band_distances<0>(grid, focal, walked, out, dest); break;
  }
  for (std::size_t k = 0; k < out.size(); ++k) {
    const float similarity = exp_f32(-dest[k].value);  // evaluated for every cell, so the loop vectorises
    dest[k].value = dest[k].present != 0 ? similarity : dest[k].value;
  }
}

void similarities_portable(const Raster<float>& grid, const float* focal, std::size_t walked, const LevelCells& out,
                           Similarity* dest) {
  similarity_loops(grid, focal, walked, out, dest);
}
VELKAN_AVX2_BUILD void similarities_avx2(const Raster<float>& grid, const float* focal, std::size_t walked,
                                         const LevelCells& out, Similarity* dest) {
  similarity_loops(grid, focal, walked, out, dest);
}

// Similarity of one grid's cells to the focal bands; the grid must cover the visited box.
void grid_similarities(const Raster<float>& grid, const std::vector<float>& focal, std::int32_t level, LevelCells& out,
                       Similarity* dest) {
  const std::size_t n = out.size();
  if (n == 0) return;
  const auto last_row = static_cast<std::size_t>(out.box_row0 + out.box_rows - 1);
  const auto last_col = static_cast<std::size_t>(out.box_col0 + out.box_cols - 1);
  if (grid.rows() <= last_row || grid.cols() <= last_col) {
    throw InternalError("Transition grid raster at level " + std::to_string(level) +
                        " is smaller than the condition raster.");
  }
  const std::size_t walked = std::min(focal.size(), grid.bands());
  const bool focal_finite = std::all_of(focal.begin(), focal.begin() + static_cast<std::ptrdiff_t>(walked),
                                        [](float v) { return std::isfinite(v); });
  if (!focal_finite) {
    std::fill(dest, dest + n, Similarity{});
    return;
  }
  const bool avx2 = loop_build() == LoopBuild::Avx2;
  (avx2 ? similarities_avx2 : similarities_portable)(grid, focal.data(), walked, out, dest);
}

}  // namespace

void fill_similarities(const std::vector<float>& focal, const std::vector<const Raster<float>*>& grids,
                       std::int32_t level, LevelCells& out) {
  const std::size_t n = out.size();
  out.grid_count = grids.size();
  out.similarity.resize(out.grid_count * n);
  for (std::size_t g = 0; g < out.grid_count; ++g) {
    Similarity* dest = out.similarity.data() + g * n;
    const Raster<float>* grid = grids[g];
    if (grid == nullptr) {
      std::fill(dest, dest + n, Similarity{1, kNoGridSimilarity});
    } else {
      grid_similarities(*grid, focal, level, out, dest);
    }
  }
}

void focal_band_vector(std::int32_t row, std::int32_t col, const PreparedEngine& prepared, std::vector<float>& out) {
  out.clear();
  if (prepared.transition.empty()) return;
  const Raster<float>* grid =
      prepared.transition.front().count(kBaseLevel) ? &prepared.transition.front().at(kBaseLevel) : nullptr;
  if (grid == nullptr || row < 0 || col < 0) return;
  const auto r = static_cast<std::size_t>(row), c = static_cast<std::size_t>(col);
  if (r >= grid->rows() || c >= grid->cols()) return;
  const float* bands = grid->cell(r, c);
  out.assign(bands, bands + grid->bands());
}

}  // namespace velkan
