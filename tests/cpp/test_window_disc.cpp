// Exact disc/rectangle overlap against an independent quadrature.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "window/disc_overlap.h"

namespace velkan {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kRelTolerance = 1e-9;

// Integrates the chord length inside [y0, y1] over X with X = cx + r sin(t):
// the integrand is smooth between the angles where the chord ends cross y0
// or y1, so composite Gauss-Legendre on those pieces converges fast.
double chord_integral(double y0, double y1, double x0, double x1, double cy, double cx, double r) {
  const double t_lo = std::asin(std::clamp((x0 - cx) / r, -1.0, 1.0));
  const double t_hi = std::asin(std::clamp((x1 - cx) / r, -1.0, 1.0));
  if (!(t_hi > t_lo)) return 0.0;
  std::vector<double> cuts{t_lo, t_hi};
  for (double y : {y0, y1}) {
    const double dy = std::fabs(y - cy);
    if (dy >= r) continue;
    const double t = std::acos(dy / r);  // |X - cx| = r sin(t) where the chord end meets y
    for (double s : {t, -t}) {
      if (s > t_lo && s < t_hi) cuts.push_back(s);
    }
  }
  std::sort(cuts.begin(), cuts.end());
  auto integrand = [&](double t) {
    const double h = r * std::cos(t);
    const double len = std::max(std::min(y1, cy + h) - std::max(y0, cy - h), 0.0);
    return len * h;  // dX = r cos(t) dt
  };
  // 5-point Gauss-Legendre on 64 panels per piece.
  const double nodes[5] = {0.0, -0.5384693101056831, 0.5384693101056831, -0.9061798459386640, 0.9061798459386640};
  const double weights[5] = {0.5688888888888889, 0.4786286704993665, 0.4786286704993665, 0.2369268850561891,
                             0.2369268850561891};
  constexpr int kPanels = 64;
  double sum = 0.0;
  for (std::size_t p = 0; p + 1 < cuts.size(); ++p) {
    const double step = (cuts[p + 1] - cuts[p]) / kPanels;
    for (int k = 0; k < kPanels; ++k) {
      const double mid = cuts[p] + (k + 0.5) * step;
      for (int n = 0; n < 5; ++n) sum += weights[n] * integrand(mid + nodes[n] * step / 2) * step / 2;
    }
  }
  return sum;
}

TEST(WindowDiscOverlap, MatchesQuadratureOnRandomRectangles) {
  std::mt19937_64 rng(20240611);
  std::uniform_real_distribution<double> pos(-6.0, 6.0), size(0.05, 8.0), radius(0.2, 7.0);
  int partial = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    const double y0 = pos(rng), x0 = pos(rng);
    const double y1 = y0 + size(rng), x1 = x0 + size(rng);
    const double cy = pos(rng) * 0.5, cx = pos(rng) * 0.5, r = radius(rng);
    const double got = disc_rect_overlap_area(y0, y1, x0, x1, cy, cx, r);
    const double want = chord_integral(y0, y1, x0, x1, cy, cx, r);
    const double area = (y1 - y0) * (x1 - x0);
    if (want > 0.0 && want < area) ++partial;
    EXPECT_NEAR(got, want, kRelTolerance * std::max(want, 1e-3))
        << y0 << " " << y1 << " " << x0 << " " << x1 << " c " << cy << " " << cx << " r " << r;
  }
  EXPECT_GT(partial, 500);  // the sample really exercises the quadrant decomposition
}

struct OverlapCase {
  const char* name;
  double y0, y1, x0, x1, cy, cx, r, expected;
};

class WindowDiscOverlapCases : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(WindowDiscOverlapCases, KnownAreas) {
  const OverlapCase& t = GetParam();
  EXPECT_NEAR(disc_rect_overlap_area(t.y0, t.y1, t.x0, t.x1, t.cy, t.cx, t.r), t.expected, 1e-12) << t.name;
}

INSTANTIATE_TEST_SUITE_P(Shapes, WindowDiscOverlapCases,
                         ::testing::Values(OverlapCase{"wholly inside", 0.0, 1.0, 0.0, 1.0, 0.5, 0.5, 5.0, 1.0},
                                           OverlapCase{"wholly outside", 10.0, 11.0, 10.0, 11.0, 0.0, 0.0, 3.0, 0.0},
                                           OverlapCase{"corner touches only", 3.0, 4.0, 0.0, 1.0, 0.0, -1.0, 3.0, 0.0},
                                           OverlapCase{"disc inside rectangle", -10.0, 10.0, -10.0, 10.0, 0.0, 0.0, 2.0,
                                                       kPi * 4.0},
                                           OverlapCase{"quarter disc", 0.0, 10.0, 0.0, 10.0, 0.0, 0.0, 2.0, kPi},
                                           OverlapCase{"half disc", 0.0, 10.0, -10.0, 10.0, 0.0, 0.0, 3.0, kPi * 4.5},
                                           OverlapCase{"empty rectangle", 1.0, 1.0, 0.0, 2.0, 1.0, 1.0, 3.0, 0.0},
                                           OverlapCase{"zero radius", 0.0, 1.0, 0.0, 1.0, 0.5, 0.5, 0.0, 0.0},
                                           OverlapCase{"negative radius", 0.0, 1.0, 0.0, 1.0, 0.5, 0.5, -1.0, 0.0}));

TEST(WindowQuadrantArea, QuarterDiscAndRectangleParts) {
  EXPECT_NEAR(quadrant_area(5.0, 5.0, 2.0), kPi, 1e-12);
  EXPECT_NEAR(quadrant_area(1.0, 1.0, 2.0), 1.0, 1e-12);  // wholly inside: x^2 + y^2 = 2 < 4
  EXPECT_EQ(quadrant_area(0.0, 1.0, 2.0), 0.0);
  EXPECT_EQ(quadrant_area(1.0, -1.0, 2.0), 0.0);
  EXPECT_EQ(quadrant_area(1.0, 1.0, 0.0), 0.0);
  // Strip 0 <= X <= r, 0 <= Y <= r/2: the square part up to the chord end
  // plus the circular segment beyond it.
  const double r = 2.0, y = 1.0, xc = std::sqrt(3.0);
  const double segment = (r * r * (kPi / 2 - std::asin(xc / r)) - xc * y) / 2.0;
  EXPECT_NEAR(quadrant_area(10.0, y, r), xc * y + segment, 1e-12);
  EXPECT_NEAR(quadrant_area(10.0, y, r), chord_integral(0.0, y, 0.0, 10.0, 0.0, 0.0, r), 1e-10);
}

}  // namespace
}  // namespace velkan
