// The fourteen predictors on hand-picked neighbourhoods (rounding toward
// zero, clamping, selection) and the neighbourhood's edge rules.
#include "lib/modular/predictors.h"

#include <gtest/gtest.h>

#include <climits>

namespace qov {
namespace {

TEST(PredictorsTest, Values) {
  struct Case {
    int32_t predictor;
    Neighbours n;  // W, N, NW, NE, WW, NN, NEE
    int64_t weighted;
    int64_t expected;
  };
  const Case cases[] = {
      {0, {5, 6, 7, 8, 9, 10, 11}, 0, 0},
      {1, {5, 6, 7, 8, 9, 10, 11}, 0, 5},
      {2, {5, 6, 7, 8, 9, 10, 11}, 0, 6},
      {3, {-3, 0, 0, 0, 0, 0, 0}, 0, -1},  // truncation toward zero
      {3, {3, 0, 0, 0, 0, 0, 0}, 0, 1},
      {4, {10, 20, 12, 0, 0, 0, 0}, 0, 20},  // |N - NW| 8 >= |W - NW| 2: N
      {4, {10, 20, 19, 0, 0, 0, 0}, 0, 10},  // 1 < 9: W
      {4, {10, 20, 15, 0, 0, 0, 0}, 0, 20},  // a tie: N
      {5, {10, 20, 25, 0, 0, 0, 0}, 0, 10},  // NW above both: min
      {5, {10, 20, 5, 0, 0, 0, 0}, 0, 20},   // NW below both: max
      {5, {10, 20, 15, 0, 0, 0, 0}, 0, 15},
      {5, {INT32_MAX, INT32_MAX, INT32_MIN, 0, 0, 0, 0}, 0, INT32_MAX},
      {6, {0, 0, 0, 0, 0, 0, 0}, 13, 2},     // (13 + 3) >> 3
      {6, {0, 0, 0, 0, 0, 0, 0}, -13, -2},   // arithmetic shift
      {7, {5, 6, 7, 8, 9, 10, 11}, 0, 8},
      {8, {5, 6, 7, 8, 9, 10, 11}, 0, 7},
      {9, {5, 6, 7, 8, 9, 10, 11}, 0, 9},
      {10, {-4, 0, 1, 0, 0, 0, 0}, 0, -1},
      {11, {0, 3, 4, 0, 0, 0, 0}, 0, 3},
      {12, {0, -3, 0, -4, 0, 0, 0}, 0, -3},
      // (6N - 2NN + 7W + WW + NEE + 3NE + 8) / 16 with numerator -17: -1.
      {13, {-2, -1, 0, -1, -1, 0, -1}, 0, -1},
      {13, {INT32_MAX, INT32_MAX, 0, INT32_MAX, INT32_MAX, INT32_MIN,
            INT32_MAX},
       0,
       (6 * int64_t{INT32_MAX} - 2 * int64_t{INT32_MIN} + 7 * int64_t{INT32_MAX} +
        int64_t{INT32_MAX} + int64_t{INT32_MAX} + 3 * int64_t{INT32_MAX} + 8) /
           16},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ModularPrediction(c.predictor, c.n, c.weighted), c.expected)
        << c.predictor;
  }
}

TEST(PredictorsTest, EdgeRules) {
  // Rows: y-2 = {1, 2, 3, 4}, y-1 = {5, 6, 7, 8}, y = {9, 10, ...}.
  const int32_t prev2[4] = {1, 2, 3, 4}, prev[4] = {5, 6, 7, 8};
  const int32_t row[4] = {9, 10, 11, 12};
  // Row 0, column 0: everything 0.
  Neighbours n = LoadNeighbours(row, nullptr, nullptr, 0, 0, 4);
  EXPECT_EQ(n.W + n.N + n.NW + n.NE + n.WW + n.NN + n.NEE, 0);
  // Row 0: everything above is W; WW is W in column 1.
  n = LoadNeighbours(row, nullptr, nullptr, 1, 0, 4);
  EXPECT_EQ(n.N, 9);
  EXPECT_EQ(n.NW, 9);
  EXPECT_EQ(n.NE, 9);
  EXPECT_EQ(n.NEE, 9);
  EXPECT_EQ(n.WW, 9);
  // Column 0 of row 1: W, NW and WW are N; NN is N.
  n = LoadNeighbours(row, prev, nullptr, 0, 1, 4);
  EXPECT_EQ(n.W, 5);
  EXPECT_EQ(n.NW, 5);
  EXPECT_EQ(n.WW, 5);
  EXPECT_EQ(n.NN, 5);
  EXPECT_EQ(n.NE, 6);
  EXPECT_EQ(n.NEE, 7);
  // Last column: NE is N; NEE is NE.
  n = LoadNeighbours(row, prev, prev2, 3, 2, 4);
  EXPECT_EQ(n.NE, 8);
  EXPECT_EQ(n.NEE, 8);
  EXPECT_EQ(n.NN, 4);
  EXPECT_EQ(n.WW, 10);
  // Second to last column: NEE is NE.
  n = LoadNeighbours(row, prev, prev2, 2, 2, 4);
  EXPECT_EQ(n.NE, 8);
  EXPECT_EQ(n.NEE, 8);
  // The interior load agrees with the edge-aware one.
  const int32_t wide_prev2[6] = {1, 2, 3, 4, 5, 6}, wide_prev[6] = {7, 8, 9, 10, 11, 12};
  const int32_t wide_row[6] = {13, 14, 15, 16, 17, 18};
  const Neighbours a = LoadNeighbours(wide_row, wide_prev, wide_prev2, 2, 2, 6);
  const Neighbours b = LoadInteriorNeighbours(wide_row, wide_prev, wide_prev2, 2);
  EXPECT_EQ(a.W, b.W);
  EXPECT_EQ(a.N, b.N);
  EXPECT_EQ(a.NW, b.NW);
  EXPECT_EQ(a.NE, b.NE);
  EXPECT_EQ(a.WW, b.WW);
  EXPECT_EQ(a.NN, b.NN);
  EXPECT_EQ(a.NEE, b.NEE);
}

}  // namespace
}  // namespace qov
