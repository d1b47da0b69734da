// Weighted predictor: header coding, blending, property 15 and the 64-bit
// arithmetic of errors near the 32-bit limits.
#include "lib/modular/weighted_predictor.h"

#include <gtest/gtest.h>

#include <climits>

#include "lib/base/memory.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/write_fields.h"

namespace qov {
namespace {

TEST(WeightedHeaderTest, DefaultsTakeOneBitAndOthersRoundTrip) {
  weighted::Header h;
  EXPECT_TRUE(h.all_default);
  EXPECT_EQ(h.sub1_error_scale, 16u);
  EXPECT_EQ(h.sub_weight[0], 13u);

  weighted::Header custom;
  custom.sub1_error_scale = 31;
  custom.sub3_nn_n_scale = 5;
  custom.sub_weight[3] = 15;
  BitWriter writer(HeapMemoryManager());
  ASSERT_TRUE(Bundle::Write(custom, &writer, LayerType::kHeader, nullptr).ok());
  EXPECT_EQ(writer.BitsWritten(), 1u + 7 * 5 + 4 * 4);
  const Span span = writer.GetSpan();
  BitReader reader(span);
  weighted::Header read;
  ASSERT_TRUE(Bundle::Decode(reader, read).ok());
  EXPECT_FALSE(read.all_default);
  EXPECT_EQ(read.sub1_error_scale, 31u);
  EXPECT_EQ(read.sub3_nn_n_scale, 5u);
  EXPECT_EQ(read.sub_weight[3], 15u);
  EXPECT_EQ(read.sub2_error_scale, 10u);

  BitWriter one_bit(HeapMemoryManager());
  ASSERT_TRUE(Bundle::Write(h, &one_bit, LayerType::kHeader, nullptr).ok());
  EXPECT_EQ(one_bit.BitsWritten(), 1u);
}

TEST(WeightedPredictorTest, ReciprocalTable) {
  weighted::Header h;
  WeightedPredictorState s(h, 4);
  EXPECT_EQ(s.reciprocal[0], 16777216u);
  EXPECT_EQ(s.reciprocal[2], 5592405u);
  EXPECT_EQ(s.reciprocal[63], 262144u);
}

TEST(WeightedPredictorTest, FirstSamplePredictsZero) {
  weighted::Header h;
  WeightedPredictorState s(h, 5);
  int32_t max_error = 7;
  EXPECT_EQ(s.Predict(0, 0, 5, 0, 0, 0, 0, 0, &max_error), 0);
  EXPECT_EQ(max_error, 0);
}

// All errors 0: every weight is 4 + max x 2^24, shifted by 25 to 6 each;
// sub-predictions 160, 160, 80, 160 blend to (11 + 6 x 560) x
// floor(2^24 / 24) >> 24 = 140, inside the clamp range [80, 240].
TEST(WeightedPredictorTest, BlendWithZeroErrors) {
  weighted::Header h;
  WeightedPredictorState s(h, 4);
  // Row 1 (odd): N = 20, W = 10, NE = 30, NW = 20.
  EXPECT_EQ(s.Predict(1, 1, 4, 20, 10, 30, 20, 20), 140);
  EXPECT_EQ(s.sub_prediction[0], 160);
  EXPECT_EQ(s.sub_prediction[1], 160);
  EXPECT_EQ(s.sub_prediction[2], 80);
  EXPECT_EQ(s.sub_prediction[3], 160);
  // Clamped into [min, max] of 8W, 8NE, 8N when the errors all agree (0).
  EXPECT_EQ(s.Predict(1, 1, 4, 100, 100, 100, 0, 0), 800);
}

struct MaxErrorCase {
  int32_t eW, eN, eNW, eNE, expected;
};

TEST(WeightedPredictorTest, Property15PicksLargestMagnitudeFirstOnTies) {
  const MaxErrorCase cases[] = {
      {3, -3, 2, -4, -4},
      {3, -3, 0, 0, 3},
      {0, 0, 0, 0, 0},
      // |INT32_MIN| exceeds INT32_MAX only in 64-bit arithmetic.
      {INT32_MAX, INT32_MIN, 0, 0, INT32_MIN},
      {INT32_MIN, INT32_MAX, INT32_MIN, 0, INT32_MIN},
  };
  weighted::Header h;
  for (const MaxErrorCase& c : cases) {
    const uint64_t w = 4;
    WeightedPredictorState s(h, w);
    // Sample (1, 1): current half at 0, previous half at w + 2.
    s.true_error[0] = c.eW;
    s.true_error[w + 2 + 1] = c.eN;
    s.true_error[w + 2 + 0] = c.eNW;
    s.true_error[w + 2 + 2] = c.eNE;
    int32_t max_error = 0;
    s.Predict(1, 1, w, 0, 0, 0, 0, 0, &max_error);
    EXPECT_EQ(max_error, c.expected) << c.eW << " " << c.eN;
  }
}

TEST(WeightedPredictorTest, ErrorSumsDoNotWrapIn32Bits) {
  weighted::Header h;
  const uint64_t w = 4;
  WeightedPredictorState s(h, w);
  s.true_error[0] = INT32_MAX;          // eW
  s.true_error[w + 2 + 1] = INT32_MAX;  // eN
  s.true_error[w + 2 + 2] = INT32_MAX;  // eNE
  s.true_error[w + 2 + 0] = INT32_MAX;  // eNW
  s.Predict(1, 1, w, 0, 0, 0, 0, 0);
  const int64_t sum = 3 * int64_t{INT32_MAX};
  EXPECT_EQ(s.sub_prediction[1], -((sum * 16) >> 5));
  EXPECT_EQ(s.sub_prediction[2], -((sum * 10) >> 5));
  EXPECT_EQ(s.sub_prediction[3], -((sum * 7) >> 5));
}

TEST(WeightedPredictorTest, UpdateRecordsErrorsInBothRows) {
  weighted::Header h;
  const uint64_t w = 3;
  WeightedPredictorState s(h, w);
  // Row 0 is even: current half at w + 2, previous at 0.
  EXPECT_EQ(s.Predict(0, 0, w, 0, 0, 0, 0, 0), 0);
  s.Update(0, 0, w, 5);
  EXPECT_EQ(s.true_error[w + 2], -40);
  // |0 - 40| + 3 >> 3 = 5 for every sub-predictor, also added one column
  // to the right in the previous half.
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(s.sub_error[i][w + 2], 5u);
    EXPECT_EQ(s.sub_error[i][1], 5u);
  }
  // Errors wrap modulo 2^32.
  s.Predict(1, 0, w, 0, 0, 0, 0, 0);
  s.Update(1, 0, w, INT32_MIN);
  EXPECT_EQ(s.true_error[w + 2 + 1],
            static_cast<int32_t>(static_cast<uint32_t>(s.prediction) -
                                 static_cast<uint32_t>(int64_t{INT32_MIN} * 8)));
}

}  // namespace
}  // namespace qov
