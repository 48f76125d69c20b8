#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>

#include "builder/node_id.h"
#include "builder/node_mapping.h"
#include "common/errors.h"
#include "common/grid_math.h"

namespace velkan {
namespace {

std::string pack_failure(std::int32_t level, std::int32_t row, std::int32_t col) {
  try {
    pack_node_id(level, row, col);
  } catch (const InternalError& e) {
    return e.what();
  }
  return "no failure";
}

class PackedIds : public ::testing::TestWithParam<std::tuple<std::int32_t, std::int32_t, std::int32_t, std::uint64_t>> {
};

TEST_P(PackedIds, PacksLevelRowColumnFields) {
  const auto [level, row, col, expected] = GetParam();
  EXPECT_EQ(pack_node_id(level, row, col), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, PackedIds,
    ::testing::Values(std::make_tuple(1, 0, 0, 281474976710656ULL), std::make_tuple(2, 3, 5, 562950003752965ULL),
                      std::make_tuple(32768, 16777215, 16777215, (32768ULL << 48) | (16777215ULL << 24) | 16777215ULL),
                      std::make_tuple(65535, 0, 1, (65535ULL << 48) | 1ULL)));

class PackFailures
    : public ::testing::TestWithParam<std::tuple<std::int32_t, std::int32_t, std::int32_t, std::string>> {};

TEST_P(PackFailures, ReportsExactText) {
  const auto [level, row, col, text] = GetParam();
  EXPECT_EQ(pack_failure(level, row, col), text);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, PackFailures,
    ::testing::Values(
        std::make_tuple(32768, 16777216, 0,
                        "Node id overflow for (level,row,col)=(32768,16777216,0); exceeds 16/24/24-bit layout"),
        std::make_tuple(65536, 0, 0, "Node id overflow for (level,row,col)=(65536,0,0); exceeds 16/24/24-bit layout"),
        std::make_tuple(1, 2, 16777216,
                        "Node id overflow for (level,row,col)=(1,2,16777216); exceeds 16/24/24-bit layout"),
        std::make_tuple(4, -1, 0, "Negative node coordinates are not supported: level=4, row=-1, col=0"),
        // Negative and oversized at once: the sign is reported.
        std::make_tuple(70000, 5, -3, "Negative node coordinates are not supported: level=70000, row=5, col=-3")));

LevelCells cells_at(std::int32_t level, std::initializer_list<std::pair<std::int32_t, std::int32_t>> positions) {
  LevelCells cells;
  cells.level = level;
  float value = 1.0f;
  for (const auto& [r, c] : positions) {
    cells.rows.push_back(r);
    cells.cols.push_back(c);
    cells.condition.push_back(value);
    cells.weight.push_back(value * 10.0f);
    cells.protected_fraction.push_back(1.0f);
    cells.partial.push_back(0);
    cells.edge.push_back(0);
    value += 1.0f;
  }
  return cells;
}

TEST(NodeMapping, FloorDividedOffsetsGiveGlobalIdsUnderLocalKeys) {
  const LevelCells cells = cells_at(4, {{0, 0}, {0, 1}});
  NodeMapping m;
  build_node_mapping(cells, 4, 6, 6, m);
  ASSERT_EQ(m.find(0, 0), 0);
  EXPECT_EQ(m.ids[0], 1125899923619841ULL);
  EXPECT_EQ(m.ids[1], 1125899923619842ULL);
  EXPECT_EQ(m.find(1, 1), kNoCell);
  EXPECT_EQ(m.entries, 2u);
}

TEST(NodeMapping, TruncatedNegativeOffsetFailsWithNegativeMessage) {
  const LevelCells cells = cells_at(4, {{1, 0}});
  const std::int32_t row_offset = static_cast<std::int32_t>(std::uint64_t{4294967291});
  ASSERT_EQ(row_offset, -5);
  EXPECT_EQ(floor_div(row_offset, 4), -2);
  NodeMapping m;
  try {
    build_node_mapping(cells, 4, row_offset, 0, m);
    FAIL() << "expected a failure";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "Negative node coordinates are not supported: level=4, row=-1, col=0");
  }
}

TEST(NodeMapping, LaterCellWinsARepeatedPosition) {
  const LevelCells cells = cells_at(1, {{2, 3}, {2, 4}, {2, 3}});
  NodeMapping m;
  build_node_mapping(cells, 1, 0, 0, m);
  EXPECT_EQ(m.entries, 2u);
  ASSERT_EQ(m.find(2, 3), 2);
  EXPECT_FLOAT_EQ(cells.condition[static_cast<std::size_t>(m.find(2, 3))], 3.0f);
}

TEST(NodeMapping, EmptyCellListGivesEmptyMapping) {
  NodeMapping m;
  build_node_mapping(LevelCells{}, 1, 0, 0, m);
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(m.find(0, 0), kNoCell);
}

TEST(FloorDiv, RoundsTowardNegativeInfinity) {
  EXPECT_EQ(floor_div(-1, 2), -1);
  EXPECT_EQ(floor_div(-4, 2), -2);
  EXPECT_EQ(floor_div(7, 4), 1);
  EXPECT_EQ(floor_div(0, 8), 0);
}

}  // namespace
}  // namespace velkan
