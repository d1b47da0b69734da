// Dequantisation specs (defaults, reading, malformed input) and the table
// computation against hand-computed entries.
#include "lib/vardct/dequant_tables.h"

#include <bit>
#include <random>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "tests/support/bit_sequence.h"
#include "tests/support/counting_manager.h"

namespace qov {
namespace {

using test::BitSequence;

// The weight of an entry of kind `kind`, channel c, position i, taken from
// the multiplier half (the weight half zeroes the lowest frequencies).
float WeightAt(const DequantTableSet& set, VarBlockKind kind, size_t c, size_t i) {
  return 1.0f / set.Table(kind, c)[i];
}

// 2^f with the approximation at t = 0: a band value times 98.55066 / 98.55067.
float AtZeroDistance(float v) {
  return v * (std::bit_cast<float>(0x42C519F0u) / std::bit_cast<float>(0x42C519F1u));
}

Status ReadSpecsFrom(const BitSequence& bits, DequantTableSet* set,
                     RawQuantMatrixReader* raw = nullptr, uint64_t* position = nullptr) {
  const std::vector<uint8_t> bytes = bits.Bytes();
  BitReader reader(Span(bytes.data(), bytes.size()));
  const Status s = set->ReadSpecs(HeapMemoryManager(), &reader, raw);
  if (position != nullptr) *position = reader.Position();
  return s;
}

TEST(DequantTableSetTest, Defaults) {
  DequantTableSet set;
  EXPECT_EQ(set.dc_steps[0], 0.00024414062f);
  EXPECT_EQ(set.dc_steps[1], 0.001953125f);
  EXPECT_EQ(set.dc_steps[2], 0.00390625f);
  EXPECT_EQ(set.inv_dc_steps[0], 4096.0f);
  EXPECT_EQ(set.computed_kinds(), 0u);
  EXPECT_EQ(set.TableOffset(VarBlockKind::Dct8By8, 1), 64u);
  EXPECT_EQ(set.TableOffset(VarBlockKind::IdentityGrid, 2), 320u);
  for (VarBlockKind k : {VarBlockKind::Dct8By16, VarBlockKind::Dct16By8}) {
    EXPECT_EQ(set.TableOffset(k, 0), 4608u);
    EXPECT_EQ(set.TableOffset(k, 1), 4736u);
    EXPECT_EQ(set.TableOffset(k, 2), 4864u);
  }
  EXPECT_EQ(set.TableOffset(VarBlockKind::Dct256By128, 2), 296448u + 2 * 32768u);
  for (size_t k = 0; k < kNumDequantTableKinds; ++k) {
    EXPECT_EQ(set.spec(static_cast<DequantTableKind>(k)).mode, DequantSpecMode::Library);
    EXPECT_NE(LibraryDequantSpecs()[k].mode, DequantSpecMode::Library);
  }
}

TEST(DequantTableSetTest, ReadDcSteps) {
  struct Case {
    const char* name;
    BitSequence bits;
    bool ok;
    float step0 = 0.0f, inv0 = 0.0f;
  };
  std::vector<Case> cases;
  cases.push_back({"all default", BitSequence().Bool(true), true, 1.0f / 4096, 4096.0f});
  cases.push_back({"one", BitSequence().Bool(false).F16(1.0f).F16(2.0f).F16(4.0f), true,
                   0.0078125f, 128.0f});
  cases.push_back({"zero", BitSequence().Bool(false).F16(0.0f).F16(1.0f).F16(1.0f), false, 0.0f, 0.0f});
  cases.push_back({"negative", BitSequence().Bool(false).F16(-1.0f).F16(1.0f).F16(1.0f), false, 0.0f, 0.0f});
  cases.push_back({"nan", BitSequence().Bool(false).F16Bits(0x7E00).F16(1.0f).F16(1.0f), false, 0.0f, 0.0f});
  cases.push_back({"infinity", BitSequence().Bool(false).F16(1.0f).F16Bits(0x7C00).F16(1.0f),
                   false, 0.0f, 0.0f});
  for (const Case& c : cases) {
    DequantTableSet set;
    const std::vector<uint8_t> bytes = c.bits.Bytes();
    BitReader reader(Span(bytes.data(), bytes.size()));
    EXPECT_EQ(set.ReadDcSteps(&reader).ok(), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(set.dc_steps[0], c.step0) << c.name;
      EXPECT_EQ(set.inv_dc_steps[0], c.inv0) << c.name;
    }
  }
  DequantTableSet set;
  BitReader empty(Span(nullptr, 0));
  EXPECT_TRUE(set.ReadDcSteps(&empty).failed());
}

// Mode 0 for kinds [from, to).
BitSequence& LibraryModes(BitSequence& bits, size_t from, size_t to) {
  for (size_t k = from; k < to; ++k) bits.Bits(3, 0);
  return bits;
}

BitSequence& Bands(BitSequence& bits, std::vector<float> x, std::vector<float> y,
                   std::vector<float> b) {
  bits.Bits(4, x.size() - 1);
  for (const auto* row : {&x, &y, &b}) {
    for (float v : *row) bits.F16(v);
  }
  return bits;
}

TEST(DequantSpecReadTest, AllDefaultResetsSpecs) {
  DequantTableSet set;
  BitSequence bits;
  bits.Bool(false).Bits(3, 6);
  Bands(bits, {1.0f}, {1.0f}, {1.0f});
  LibraryModes(bits, 1, 17);
  ASSERT_TRUE(ReadSpecsFrom(bits, &set).ok());
  EXPECT_EQ(set.spec(DequantTableKind::Dct8By8).mode, DequantSpecMode::DistanceBands);
  EXPECT_EQ(set.spec(DequantTableKind::Dct8By8).bands.values[0][0], 64.0f);
  ASSERT_TRUE(ReadSpecsFrom(BitSequence().Bool(true), &set).ok());
  EXPECT_EQ(set.spec(DequantTableKind::Dct8By8).mode, DequantSpecMode::Library);
}

TEST(DequantSpecReadTest, EachEncoding) {
  DequantTableSet set;
  BitSequence bits;
  bits.Bool(false);
  bits.Bits(3, 1);  // kind 0: identity
  for (int i = 0; i < 9; ++i) bits.F16(1.0f + i);
  bits.Bits(3, 2);  // kind 1: 2x2 grid
  for (int i = 0; i < 18; ++i) bits.F16(0.5f);
  bits.Bits(3, 3).F16(1.0f).F16(2.0f).F16(1.0f).F16(2.0f).F16(1.0f).F16(2.0f);  // kind 2
  Bands(bits, {1.0f, 0.5f}, {2.0f, 0.0f}, {3.0f, -1.0f});
  bits.Bits(3, 4).F16(1.0f).F16(1.0f).F16(1.0f);  // kind 3: halves
  Bands(bits, {1.0f}, {1.0f}, {1.0f});
  bits.Bits(3, 6);  // kind 4: distance bands, 16 values
  Bands(bits, std::vector<float>(16, 2.0f), std::vector<float>(16, 2.0f),
        std::vector<float>(16, 2.0f));
  LibraryModes(bits, 5, 9);
  bits.Bits(3, 5);  // kind 9: corner adaptive, a zero parameter is accepted
  for (int i = 0; i < 27; ++i) bits.F16(i == 7 ? 0.0f : 1.0f);
  Bands(bits, {1.0f}, {1.0f}, {1.0f});
  Bands(bits, {2.0f}, {2.0f}, {2.0f});
  LibraryModes(bits, 10, 17);
  uint64_t position = 0;
  ASSERT_TRUE(ReadSpecsFrom(bits, &set, nullptr, &position).ok());
  EXPECT_EQ(position, bits.size_bits());
  const DequantTableSpec& id = set.spec(DequantTableKind::Dct8By8);
  EXPECT_EQ(id.mode, DequantSpecMode::Identity);
  EXPECT_EQ(id.params[8], 9.0f * 64);
  EXPECT_EQ(set.spec(DequantTableKind::IdentityGrid).params[17], 32.0f);
  const DequantTableSpec& grid4 = set.spec(DequantTableKind::Dct2Grid);
  EXPECT_EQ(grid4.params[1], 2.0f);  // stored as read
  EXPECT_EQ(grid4.bands.count, 2u);
  EXPECT_EQ(grid4.bands.values[2][0], 3.0f * 64);
  EXPECT_EQ(grid4.bands.values[2][1], -1.0f);
  EXPECT_EQ(set.spec(DequantTableKind::Dct16By16).bands.count, 16u);
  EXPECT_EQ(set.spec(DequantTableKind::Dct16By16).bands.values[1][15], 2.0f);
  const DequantTableSpec& corner = set.spec(DequantTableKind::DctHalves);
  EXPECT_EQ(corner.mode, DequantSpecMode::CornerAdaptive);
  EXPECT_EQ(corner.params[0], 64.0f);  // first six of a channel x 64
  EXPECT_EQ(corner.params[8], 1.0f);   // last three as read
  EXPECT_EQ(corner.params[7], 0.0f);
  EXPECT_EQ(corner.second_bands.values[0][0], 128.0f);
}

TEST(DequantSpecReadTest, MalformedSpecsFail) {
  struct Case {
    const char* name;
    BitSequence bits;
    uint64_t fail_position;  // 0: not checked
  };
  std::vector<Case> cases;
  {  // identity layout for a 16x16 table fails before any parameter
    BitSequence b;
    b.Bool(false);
    LibraryModes(b, 0, 4);
    b.Bits(3, 1).F16(1.0f);
    cases.push_back({"identity for 16x16", b, 1 + 5 * 3});
  }
  {
    BitSequence b;
    b.Bool(false).Bits(3, 1).F16(1.0f).F16(0.0f);
    cases.push_back({"zero identity parameter", b, 1 + 3 + 32});
  }
  {
    BitSequence b;
    b.Bool(false).Bits(3, 4).F16(1.0f).F16(1.0f).F16(-0.0f);
    cases.push_back({"zero halves parameter", b, 0});
  }
  {  // a first value of 0 in the B row fails once that row is read
    BitSequence b;
    b.Bool(false).Bits(3, 6);
    Bands(b, {1.0f, 1.0f}, {1.0f, 1.0f}, {0.0f, 1.0f});
    cases.push_back({"zero first band", b, 1 + 3 + 4 + 6 * 16});
  }
  {
    BitSequence b;
    b.Bool(false).Bits(3, 6);
    Bands(b, {1.0f}, {-2.0f}, {1.0f});
    cases.push_back({"negative first band", b, 0});
  }
  {
    BitSequence b;
    b.Bool(false).Bits(3, 6).Bits(4, 0).F16(1.0f).F16Bits(0x7C00);
    cases.push_back({"infinite band", b, 0});
  }
  {
    BitSequence b;
    b.Bool(false).Bits(3, 7);
    cases.push_back({"raw table without a modular decoder", b, 0});
  }
  for (const Case& c : cases) {
    DequantTableSet set;
    uint64_t position = 0;
    EXPECT_TRUE(ReadSpecsFrom(c.bits, &set, nullptr, &position).failed()) << c.name;
    if (c.fail_position != 0) {
      EXPECT_EQ(position, c.fail_position) << c.name;
    }
  }
}

// Stands in for the modular decoder: reads a half-float denominator and
// gives every sample the value `sample`.
class FakeRawReader : public RawQuantMatrixReader {
 public:
  explicit FakeRawReader(int32_t sample) : sample_(sample) {}
  Status ReadRawQuantMatrix(const QovMemoryManagerStruct*, size_t width,
                            size_t height, BitReader* reader,
                            DequantTableSpec* spec, uint32_t kind) override {
    widths.push_back(width);
    heights.push_back(height);
    kinds.push_back(kind);
    float denominator;
    QOV_RETURN_IF_ERROR(ReadHalfFloat(reader, &denominator));
    std::vector<int32_t> samples(3 * width * height, sample_);
    return SetRawQuantTable(denominator, samples.data(), samples.size(), spec);
  }
  std::vector<size_t> widths, heights;
  std::vector<uint32_t> kinds;

 private:
  int32_t sample_;
};

TEST(DequantSpecReadTest, RawTablesGoThroughTheSeam) {
  DequantTableSet set;
  BitSequence bits;
  bits.Bool(false).Bits(3, 7).F16(1.0f / 2040);
  LibraryModes(bits, 1, 16);
  bits.Bits(3, 7).F16(0.5f);
  FakeRawReader raw(1);
  ASSERT_TRUE(ReadSpecsFrom(bits, &set, &raw).ok());
  ASSERT_EQ(raw.kinds, (std::vector<uint32_t>{0, 16}));
  EXPECT_EQ(raw.widths[1], 128u);
  EXPECT_EQ(raw.heights[1], 256u);
  EXPECT_EQ(set.spec(DequantTableKind::Dct8By8).raw.size(), 192u);
  EXPECT_EQ(set.spec(DequantTableKind::Dct128By256).raw.size(), 3u * 128 * 256);

  ASSERT_TRUE(set.PrepareTables(HeapMemoryManager(), 1u << 0).ok());
  // Raw value 1 with denominator 1/2040 (as a half float): weight 2040.
  const float den = set.spec(DequantTableKind::Dct8By8).denominator;
  EXPECT_NEAR(den, 1.0f / 2040, 1e-7f);
  EXPECT_EQ(set.Table(VarBlockKind::Dct8By8, 1)[5], den);
  EXPECT_NEAR(set.Weights(VarBlockKind::Dct8By8, 2)[63], 2040.0f, 1.0f);

  FakeRawReader bad(0);  // samples must be at least 1
  BitSequence bits2;
  bits2.Bool(false).Bits(3, 7).F16(1.0f);
  EXPECT_TRUE(ReadSpecsFrom(bits2, &set, &bad).failed());
  FakeRawReader tiny(1);
  BitSequence bits3;
  bits3.Bool(false).Bits(3, 7).F16(0.0f);
  EXPECT_TRUE(ReadSpecsFrom(bits3, &set, &tiny).failed());
}

TEST(DequantComputeTest, ApproximationsAndNegativeExponents) {
  for (float y = -30.0f; y <= 30.0f; y += 0.37f) {
    EXPECT_NEAR(TableApproxPow2(y), std::exp2(y), 1e-5 * std::exp2(y)) << y;
  }
  for (float x : {1e-6f, 0.01f, 0.3f, 1.0f, 1.5f, 7.0f, 1000.0f, 3e7f}) {
    EXPECT_NEAR(TableApproxLog2(x), std::log2(x), 1e-4) << x;
  }
  EXPECT_EQ(TableApproxPow2(0.0f), std::bit_cast<float>(0x42C519F0u) / std::bit_cast<float>(0x42C519F1u));
  EXPECT_NEAR(InterpolatedPow(17.6f, 14.08f, 0.5f), std::sqrt(17.6f * 14.08f), 1e-3);
}

TEST(DequantComputeTest, LibraryDefaultsAtHandComputedEntries) {
  test::CountingManager nan_fill(0xFF);  // untouched floats stay NaN
  DequantTableSet set;
  const uint32_t used = (1u << 0) | (1u << 1) | (1u << 2) | (1u << 3) | (1u << 14) |
                        (1u << 10) | (1u << 12);
  ASSERT_TRUE(set.PrepareTables(&nan_fill.manager, used).ok());
  EXPECT_EQ(set.computed_kinds(), used);
  // 8x8: distance bands, 3150 at distance 0 (through the approximation).
  EXPECT_EQ(WeightAt(set, VarBlockKind::Dct8By8, 0, 0), 1.0f / (1.0f / AtZeroDistance(3150.0f)));
  EXPECT_NEAR(WeightAt(set, VarBlockKind::Dct8By8, 0, 0), 3149.99976f, 1e-3f);
  EXPECT_EQ(set.Weights(VarBlockKind::Dct8By8, 0)[0], 0.0f);  // lowest frequency
  EXPECT_NEAR(set.Weights(VarBlockKind::Dct8By8, 1)[1], 560.0f, 0.01f);  // factor 0
  // Identity: a everywhere, b at (0, 1) and (1, 0), d at (1, 1).
  EXPECT_EQ(set.Weights(VarBlockKind::IdentityGrid, 0)[63], 280.0f);
  EXPECT_EQ(set.Weights(VarBlockKind::IdentityGrid, 1)[8], 864.0f);
  EXPECT_EQ(set.Table(VarBlockKind::IdentityGrid, 2)[9], 1.0f / 200.0f);
  // 2x2 grid.
  const float* grid = set.Weights(VarBlockKind::Dct2Grid, 0);
  EXPECT_EQ(set.Table(VarBlockKind::Dct2Grid, 0)[0], 1.0f / 2989.0f);
  EXPECT_EQ(grid[1], 3840.0f);
  EXPECT_EQ(grid[9], 2560.0f);
  EXPECT_EQ(grid[3 * 8 + 1], 1280.0f);
  EXPECT_EQ(grid[2 * 8 + 3], 640.0f);
  EXPECT_EQ(grid[5], 480.0f);
  EXPECT_EQ(grid[5 * 8 + 6], 300.0f);
  EXPECT_EQ(set.Weights(VarBlockKind::Dct2Grid, 2)[7 * 8 + 7], 16.0f);
  // 4x4 grid: constant X and Y bands (factors 0), parameters 1.
  for (size_t i = 1; i < 64; ++i) {
    ASSERT_NEAR(set.Weights(VarBlockKind::Dct4Grid, 0)[i], 2200.0f, 0.02f) << i;
    ASSERT_NEAR(set.Weights(VarBlockKind::Dct4Grid, 1)[i], 392.0f, 0.01f) << i;
  }
  // Corner adaptive, X: the parameters at the low positions, level 414.
  const float* cx = set.Weights(VarBlockKind::CornerAdaptive0, 0);
  EXPECT_EQ(set.Table(VarBlockKind::CornerAdaptive0, 0)[0], 1.0f);
  EXPECT_EQ(cx[8], 3072.0f);
  EXPECT_EQ(cx[1], 3072.0f);
  EXPECT_EQ(cx[16], 256.0f);
  EXPECT_EQ(cx[18], 256.0f);
  EXPECT_NEAR(cx[4 * 8 + 4], 414.0f, 0.01f);
  // B: levels 22, 17.6, 14.08, 11.264; T[2][6] interpolates the second and
  // third at 0.1379.
  const float* cb = set.Weights(VarBlockKind::CornerAdaptive3, 2);
  const double frac = (5.4492455 - 0.8517779) * 3 / 12.1198845 - 1;
  EXPECT_NEAR(cb[2 * 8 + 6], 17.6 * std::pow(0.8, frac), 2e-3);
  // Halves: the (1, 0) entry divided by parameter 1.
  EXPECT_NEAR(set.Weights(VarBlockKind::Dct8By4Halves, 0)[8], AtZeroDistance(2198.0505f),
              0.01f);
  // Dct16By32: zeros at rows 0-1, columns 0-3 of the weights.
  const float* wide = set.Weights(VarBlockKind::Dct32By16, 0);
  for (size_t y = 0; y < 16; ++y) {
    for (size_t x = 0; x < 32; ++x) {
      if (y < 2 && x < 4) {
        ASSERT_EQ(wide[y * 32 + x], 0.0f);
      } else {
        ASSERT_GT(wide[y * 32 + x], 0.0f);
      }
    }
  }
  // Unused tables were not computed: 16x16 still holds the fill pattern.
  EXPECT_TRUE(std::isnan(set.Table(VarBlockKind::Dct16By16, 0)[0]));
}

TEST(DequantComputeTest, OneBandIsExactAndTwinsShareOneComputation) {
  DequantTableSet set;
  BitSequence bits;
  bits.Bool(false);
  LibraryModes(bits, 0, 6);
  bits.Bits(3, 6);  // Dct8By16: one band
  Bands(bits, {2.0f}, {3.0f}, {5.0f});
  LibraryModes(bits, 7, 17);
  ASSERT_TRUE(ReadSpecsFrom(bits, &set).ok());
  ASSERT_TRUE(set.PrepareTables(HeapMemoryManager(), 1u << 7).ok());
  for (size_t i = 2; i < 128; ++i) {
    ASSERT_EQ(set.Weights(VarBlockKind::Dct16By8, 2)[i], 320.0f);
  }
  EXPECT_EQ(set.Table(VarBlockKind::Dct8By16, 1)[0], 1.0f / 192.0f);
  EXPECT_EQ(set.Weights(VarBlockKind::Dct8By16, 1)[1], 0.0f);
  EXPECT_EQ(set.computed_kinds(), 1u << 7);
}

TEST(DequantComputeTest, InvalidSpecsAndWeightsFail) {
  std::vector<float> m(3 * 64 * 4), w(3 * 64 * 4);
  struct Case {
    const char* name;
    DequantTableSpec spec;
    DequantTableKind kind;
  };
  std::vector<Case> cases;
  DequantTableSpec s;
  cases.push_back({"library mode", s, DequantTableKind::Dct8By8});
  s.mode = DequantSpecMode::Identity;
  for (float& p : s.params) p = 100.0f;
  cases.push_back({"identity for 16x16", s, DequantTableKind::Dct16By16});
  s.params[4] = NAN;
  cases.push_back({"NaN weight", s, DequantTableKind::IdentityGrid});
  s.params[4] = 1e-9f;
  cases.push_back({"tiny weight", s, DequantTableKind::IdentityGrid});
  s.params[4] = 1e8f;
  cases.push_back({"huge weight", s, DequantTableKind::IdentityGrid});
  DequantTableSpec raw;
  raw.mode = DequantSpecMode::Raw;
  raw.raw.assign(192, 1);
  raw.denominator = NAN;
  cases.push_back({"NaN denominator", raw, DequantTableKind::Dct8By8});
  raw.denominator = 1e-9f;
  cases.push_back({"raw weight 1e9", raw, DequantTableKind::Dct8By8});
  raw.denominator = 1.0f;
  cases.push_back({"raw table of the wrong size", raw, DequantTableKind::Dct16By16});
  DequantTableSpec corner = LibraryDequantSpecs()[10];
  corner.params[9 + 5] = 0.0f;  // Y level 0
  cases.push_back({"zero level", corner, DequantTableKind::CornerAdaptive});
  DequantTableSpec bands = LibraryDequantSpecs()[0];
  bands.bands.values[1][0] = 0.0f;
  cases.push_back({"zero band", bands, DequantTableKind::Dct8By8});
  for (const Case& c : cases) {
    size_t position = 0;
    EXPECT_TRUE(FillDequantTable(c.spec, m.data(), w.data(), c.kind, &position).failed())
        << c.name;
    EXPECT_EQ(position, 0u) << c.name;
  }
  // Band products that overflow give infinite weights, which fail.
  DequantTableSpec overflow;
  overflow.mode = DequantSpecMode::DistanceBands;
  overflow.bands.count = 16;
  for (size_t c = 0; c < 3; ++c) {
    overflow.bands.values[c][0] = 64.0f;
    for (size_t i = 1; i < 16; ++i) overflow.bands.values[c][i] = 60000.0f;
  }
  size_t position = 0;
  EXPECT_TRUE(FillDequantTable(overflow, m.data(), w.data(), DequantTableKind::Dct8By8,
                               &position).failed());
}

TEST(DequantComputeTest, AllocationFailureIsReported) {
  test::CountingManager refusing, counting;  // outlive the set's block
  refusing.refuse = true;
  DequantTableSet set;
  EXPECT_TRUE(set.PrepareTables(&refusing.manager, 1).failed());
  EXPECT_EQ(set.computed_kinds(), 0u);
  ASSERT_TRUE(set.PrepareTables(&counting.manager, 1).ok());
  ASSERT_TRUE(set.PrepareTables(&counting.manager, 2).ok());
  EXPECT_EQ(counting.allocs, 1);  // one block per frame
}

class DistanceBandsTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(DistanceBandsTest);

// Every target against the scalar reference: bit for bit where nothing is
// fused, within a few ulps where multiply-adds are fused.
TEST_P(DistanceBandsTest, MatchesScalar) {
  const bool exact = (GetParam() & (HWY_AVX2 | HWY_AVX3 | HWY_AVX3_DL)) == 0;
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> factor(-3.0f, 3.0f);
  const size_t shapes[][2] = {{4, 4}, {4, 8}, {8, 8}, {16, 32}, {64, 128}, {256, 256}, {2, 12}};
  for (size_t n = 1; n <= 16; ++n) {
    DistanceBandList bands;
    bands.count = n;
    for (size_t c = 0; c < 3; ++c) {
      bands.values[c][0] = 64.0f * (c + 1) * 10;
      for (size_t i = 1; i < n; ++i) bands.values[c][i] = factor(rng);
    }
    for (const auto& shape : shapes) {
      const size_t size = 3 * shape[0] * shape[1];
      std::vector<float> ref(size + 8, -1.0f), got(size + 8, -1.0f);
      ASSERT_TRUE(EvaluateDistanceBandsScalar(shape[0], shape[1], bands, ref.data()).ok());
      ASSERT_TRUE(EvaluateDistanceBands(shape[0], shape[1], bands, got.data()).ok());
      for (size_t i = 0; i < size + 8; ++i) {
        if (exact || i >= size) {
          ASSERT_EQ(got[i], ref[i]) << "n " << n << " " << shape[0] << "x" << shape[1]
                                    << " entry " << i;
        } else {
          ASSERT_NEAR(got[i], ref[i], 2e-5f * ref[i]) << "n " << n << " entry " << i;
        }
      }
    }
  }
  DistanceBandList one;
  one.count = 2;
  one.values[0][0] = one.values[1][0] = one.values[2][0] = 64.0f;
  std::vector<float> out(3 * 4 * 6);
  EXPECT_TRUE(EvaluateDistanceBands(4, 6, one, out.data()).failed());  // columns % 4
  EXPECT_TRUE(EvaluateDistanceBands(1, 4, one, out.data()).failed());
}

}  // namespace
}  // namespace qov
