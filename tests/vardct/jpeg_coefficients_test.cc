// The JPEG coefficient path: preparation checks and tables, and the block
// step with chroma from luma, DC and range checks, including inputs whose
// chroma-from-luma products overflow 32 bits.
#include "lib/vardct/jpeg_coefficients.h"

#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "tests/vardct/vardct_test_helpers.h"

namespace qov {
namespace {

ChromaFromLumaMap JpegCfl() {
  ChromaFromLumaMap cfl;
  cfl.base_correlation_b = 0.0f;
  return cfl;
}

struct Quant {
  std::vector<int32_t> raw;
  JpegQuantSource source;
  Quant() : raw(192) {
    for (size_t i = 0; i < 192; ++i) raw[i] = static_cast<int32_t>(1 + i % 50);
    Refresh();
  }
  void Refresh() {
    source.present = true;
    source.mode = 7;
    source.denominator = 1.0f / 2040;
    source.raw = raw.data();
    source.raw_size = raw.size();
  }
};

TEST(JpegPreparationTest, Rejections) {
  struct Case {
    const char* name;
    void (*change)(ChromaFromLumaMap&, Quant&, uint32_t&, size_t&);
  };
  const Case cases[] = {
      {"XYB", [](ChromaFromLumaMap&, Quant&, uint32_t& t, size_t&) { t = 0; }},
      {"colour factor", [](ChromaFromLumaMap& c, Quant&, uint32_t&, size_t&) {
         c.color_factor = 83;
       }},
      {"base correlation B 1.0 (the default)",
       [](ChromaFromLumaMap& c, Quant&, uint32_t&, size_t&) {
         c.base_correlation_b = 1.0f;
       }},
      {"base correlation X NaN",
       [](ChromaFromLumaMap& c, Quant&, uint32_t&, size_t&) {
         c.base_correlation_x = std::numeric_limits<float>::quiet_NaN();
       }},
      {"X DC value", [](ChromaFromLumaMap& c, Quant&, uint32_t&, size_t&) {
         c.ytox_dc = 1;
       }},
      {"B DC value", [](ChromaFromLumaMap& c, Quant&, uint32_t&, size_t&) {
         c.ytob_dc = -1;
       }},
      {"no spec", [](ChromaFromLumaMap&, Quant& q, uint32_t&, size_t&) {
         q.source.present = false;
       }},
      {"not raw", [](ChromaFromLumaMap&, Quant& q, uint32_t&, size_t&) {
         q.source.mode = 6;
       }},
      {"denominator", [](ChromaFromLumaMap&, Quant& q, uint32_t&, size_t&) {
         q.source.denominator = 1.0f / 2040 + 2e-8f;
       }},
      {"191 entries", [](ChromaFromLumaMap&, Quant& q, uint32_t&, size_t&) {
         q.source.raw_size = 191;
       }},
      {"entry 0", [](ChromaFromLumaMap&, Quant& q, uint32_t&, size_t&) {
         q.raw[100] = 0;
       }},
      {"entry 65536", [](ChromaFromLumaMap&, Quant& q, uint32_t&, size_t&) {
         q.raw[5] = 65536;
       }},
      {"two components", [](ChromaFromLumaMap&, Quant&, uint32_t&, size_t& n) {
         n = 2;
       }},
      {"no components", [](ChromaFromLumaMap&, Quant&, uint32_t&, size_t& n) {
         n = 0;
       }},
  };
  for (const Case& c : cases) {
    ChromaFromLumaMap cfl = JpegCfl();
    Quant q;
    uint32_t transform = 2;
    size_t components = 3;
    JpegCoefficientPath path;
    ASSERT_TRUE(PrepareJpegCoefficientPath(cfl, transform, q.source, components,
                                           &path)
                    .ok());
    c.change(cfl, q, transform, components);
    EXPECT_EQ(PrepareJpegCoefficientPath(cfl, transform, q.source, components,
                                         &path),
              StatusValue::Failed)
        << c.name;
  }
}

TEST(JpegPreparationTest, Tables) {
  Quant q;
  q.raw[0] = 3;      // X DC step
  q.raw[64] = 1000;  // Y DC step
  q.raw[128] = 2000;
  q.raw[64 + 8 * 2 + 5] = 65535;  // Y at row 2, column 5
  q.raw[8 * 2 + 5] = 1;
  q.raw[128 + 8 * 2 + 5] = 7;
  q.source.denominator = 1.0f / 2040 - 9e-9f;  // within 1e-8
  JpegCoefficientPath path;
  ASSERT_TRUE(
      PrepareJpegCoefficientPath(JpegCfl(), 1, q.source, 3, &path).ok());
  EXPECT_EQ(path.dc_offset[0], 341);
  EXPECT_EQ(path.dc_offset[1], 1);
  EXPECT_EQ(path.dc_offset[2], 0);
  EXPECT_EQ(path.ratio_x[8 * 5 + 2], 65535 << 11);
  EXPECT_EQ(path.ratio_b[8 * 5 + 2], (65535u << 11) / 7);
  EXPECT_EQ(path.ratio_x[1], (q.raw[64 + 8] << 11) / q.raw[8]);  // transposed
  EXPECT_FALSE(path.single_component);
  EXPECT_EQ(path.component[0], 0u);
  EXPECT_EQ(path.component[1], 1u);
  EXPECT_EQ(path.component[2], 2u);
  ASSERT_TRUE(
      PrepareJpegCoefficientPath(JpegCfl(), 2, q.source, 3, &path).ok());
  EXPECT_EQ(path.dc_offset[0], 0);
  EXPECT_EQ(path.component[0], 1u);
  EXPECT_EQ(path.component[1], 0u);
  EXPECT_EQ(path.component[2], 2u);
  ASSERT_TRUE(
      PrepareJpegCoefficientPath(JpegCfl(), 1, q.source, 1, &path).ok());
  EXPECT_TRUE(path.single_component);
  EXPECT_EQ(path.component[0] + path.component[1] + path.component[2], 0u);
}

// Hands out a fixed raw table for every raw spec.
class FixedRawReader : public RawQuantMatrixReader {
 public:
  explicit FixedRawReader(std::vector<int32_t> values, float denominator)
      : values_(std::move(values)), denominator_(denominator) {}
  Status ReadRawQuantMatrix(const QovMemoryManagerStruct*, size_t width,
                            size_t height, BitReader*, DequantTableSpec* spec,
                            uint32_t) override {
    if (values_.size() != 3 * width * height) return FailedStatus();
    return SetRawQuantTable(denominator_, values_.data(), values_.size(), spec);
  }

 private:
  std::vector<int32_t> values_;
  float denominator_;
};

TEST(JpegPreparationTest, FromTheTableSet) {
  // Library specs: the 8x8 spec is not raw.
  DequantTableSet set;
  JpegCoefficientPath path;
  EXPECT_EQ(PrepareJpegCoefficientPath(JpegCfl(), 2, JpegQuantSourceOf(set), 3,
                                       &path),
            StatusValue::Failed);
  // A raw 8x8 spec read from a stream, the other 16 from the library.
  vardct_test::StreamWriter w;
  w.Bits(1, 0);
  w.Bits(3, 7);
  for (int k = 1; k < 17; ++k) w.Bits(3, 0);
  vardct_test::OwnedReader r(w.Bytes());
  Quant q;
  FixedRawReader raw(q.raw, 1.0f / 2040);
  ASSERT_TRUE(set.ReadSpecs(HeapMemoryManager(), &r.reader, &raw).ok());
  const JpegQuantSource source = JpegQuantSourceOf(set);
  EXPECT_EQ(source.raw_size, 192u);
  ASSERT_TRUE(
      PrepareJpegCoefficientPath(JpegCfl(), 1, source, 3, &path).ok());
  EXPECT_EQ(path.dc_offset[1], 1024 / q.raw[64]);
}

TEST(JpegBlockTest, Transpose) {
  int32_t block[64];
  std::iota(block, block + 64, 0);
  StoreJpegBlockTransposed(block);
  for (int r = 0; r < 8; ++r) {
    for (int k = 0; k < 8; ++k) EXPECT_EQ(block[8 * r + k], 8 * k + r);
  }
}

// Three components of 2 x 2 blocks and one 8x8 block of input per channel.
struct BlockFixture {
  std::vector<int16_t> arrays[3];
  JpegComponentCoefficients comps[3];
  int32_t values[3][64];
  JpegBlock block;
  JpegCoefficientPath path;
  Quant quant;

  explicit BlockFixture(uint32_t transform = 2, size_t components = 3) {
    for (size_t c = 0; c < 3; ++c) {
      arrays[c].assign(4 * 64, 77);
      comps[c] = {arrays[c].data(), arrays[c].size(), 2};
      for (size_t i = 0; i < 64; ++i) {
        values[c][i] = static_cast<int32_t>(i % 7) - 3 + static_cast<int32_t>(c);
      }
      block.coefficients[c] = values[c];
      block.column[c] = 1;
      block.row[c] = 1;
    }
    EXPECT_TRUE(PrepareJpegCoefficientPath(JpegCfl(), transform, quant.source,
                                           components, &path)
                    .ok());
  }
  const int16_t* Out(size_t comp) const { return arrays[comp].data() + 3 * 64; }
};

TEST(JpegBlockTest, YCbCrWithoutChromaFromLuma) {
  BlockFixture f;
  int32_t original[3][64];
  std::copy(&f.values[0][0], &f.values[0][0] + 192, &original[0][0]);
  f.block.dc[0] = 3000.0f;
  f.block.dc[1] = -0.7f;
  f.block.dc[2] = -5000.0f;
  ASSERT_TRUE(WriteJpegBlock(f.path, f.block, f.comps).ok());
  // YCbCr: X to component 1, Y to 0, B to 2; values transposed; DC clamped
  // and truncated.
  const size_t comp_of[3] = {1, 0, 2};
  for (size_t c = 0; c < 3; ++c) {
    const int16_t* out = f.Out(comp_of[c]);
    for (size_t r = 0; r < 8; ++r) {
      for (size_t k = 0; k < 8; ++k) {
        if (r == 0 && k == 0) continue;
        EXPECT_EQ(out[8 * r + k], original[c][8 * k + r]);
      }
    }
    EXPECT_EQ(f.arrays[comp_of[c]][0], 77);  // other blocks untouched
  }
  EXPECT_EQ(f.Out(1)[0], 2047);
  EXPECT_EQ(f.Out(0)[0], 0);
  EXPECT_EQ(f.Out(2)[0], -2047);
}

TEST(JpegBlockTest, ChromaFromLumaMatches32BitArithmeticOnValidData) {
  BlockFixture f(1);
  f.block.tile_x = -37;
  f.block.tile_b = 90;
  int32_t y[64], x[64], b[64];
  for (size_t i = 0; i < 64; ++i) {
    y[i] = f.values[1][8 * (i % 8) + i / 8];  // transposed
    x[i] = f.values[0][8 * (i % 8) + i / 8];
    b[i] = f.values[2][8 * (i % 8) + i / 8];
  }
  ASSERT_TRUE(WriteJpegBlock(f.path, f.block, f.comps).ok());
  const int32_t rx = (-37 * 2048) / 84, rb = (90 * 2048) / 84;
  for (size_t i = 1; i < 64; ++i) {
    const int32_t want_x =
        x[i] + ((((rx * f.path.ratio_x[i] + 1024) >> 11) * y[i] + 1024) >> 11);
    const int32_t want_b =
        b[i] + ((((rb * f.path.ratio_b[i] + 1024) >> 11) * y[i] + 1024) >> 11);
    EXPECT_EQ(f.Out(0)[i], want_x) << i;
    EXPECT_EQ(f.Out(2)[i], want_b) << i;
    EXPECT_EQ(f.Out(1)[i], y[i]) << i;
  }
  // Transform none: DC minus the offset 1024 / step.
  EXPECT_EQ(f.Out(1)[0], static_cast<int16_t>(0.0f - 1024 / f.quant.raw[64]));
}

TEST(JpegBlockTest, SubsampledFramesGetNoChromaFromLuma) {
  BlockFixture f;
  f.block.subsampled = true;
  f.block.tile_x = 100;
  int32_t x_transposed[64];
  for (size_t i = 0; i < 64; ++i) x_transposed[i] = f.values[0][8 * (i % 8) + i / 8];
  ASSERT_TRUE(WriteJpegBlock(f.path, f.block, f.comps).ok());
  for (size_t i = 1; i < 64; ++i) EXPECT_EQ(f.Out(1)[i], x_transposed[i]);
}

TEST(JpegBlockTest, GreyWritesOnlyLuma) {
  BlockFixture f(1, 1);
  ASSERT_TRUE(WriteJpegBlock(f.path, f.block, f.comps).ok());
  EXPECT_EQ(f.Out(0)[1], f.values[1][1]);  // transposed in place
  for (size_t i = 0; i < 64; ++i) {
    EXPECT_EQ(f.Out(1)[i], 77);
    EXPECT_EQ(f.Out(2)[i], 77);
    EXPECT_EQ(f.values[0][i], static_cast<int32_t>(i % 7) - 3);  // untouched
  }
}

TEST(JpegBlockTest, RangeAndShapeFailures) {
  {
    BlockFixture f;
    f.values[1][9] = 4095;
    f.values[1][10] = -4095;
    EXPECT_TRUE(WriteJpegBlock(f.path, f.block, f.comps).ok());
  }
  {
    BlockFixture f;
    f.values[2][9] = 4096;
    EXPECT_EQ(WriteJpegBlock(f.path, f.block, f.comps), StatusValue::Failed);
    EXPECT_EQ(f.Out(2)[9], 4096);  // written, then refused
  }
  {
    BlockFixture f;
    f.block.kind = VarBlockKind::Dct4Grid;
    EXPECT_EQ(WriteJpegBlock(f.path, f.block, f.comps), StatusValue::Failed);
  }
  {
    BlockFixture f;
    f.block.row[0] = 2;  // below the 2 x 2 blocks of the X component
    EXPECT_EQ(WriteJpegBlock(f.path, f.block, f.comps), StatusValue::Failed);
    f.block.row[0] = 0;
    f.block.column[0] = 2;
    EXPECT_EQ(WriteJpegBlock(f.path, f.block, f.comps), StatusValue::Failed);
  }
}

// Extreme but representable inputs: a ratio of 65535 << 11, a tile value of
// 127 and large luma. In 32-bit two's complement r x ratio overflows
// (undefined in C++); the sums are formed in 64 bits, saturate and fail the
// range check instead.
TEST(JpegBlockTest, ExtremeChromaFromLumaDoesNotOverflow) {
  for (int32_t luma : {1, -1, 4095, std::numeric_limits<int32_t>::max(),
                       std::numeric_limits<int32_t>::min()}) {
    BlockFixture f(1);
    std::fill(f.quant.raw.begin(), f.quant.raw.begin() + 64, 1);
    std::fill(f.quant.raw.begin() + 64, f.quant.raw.begin() + 128, 65535);
    f.quant.Refresh();
    ASSERT_TRUE(
        PrepareJpegCoefficientPath(JpegCfl(), 1, f.quant.source, 3, &f.path)
            .ok());
    EXPECT_EQ(f.path.ratio_x[3], 65535 << 11);
    for (size_t i = 0; i < 64; ++i) f.values[1][i] = 0;
    f.values[1][8 * 3] = luma;  // coefficient 3 after the transpose
    f.block.tile_x = 127;
    f.block.tile_b = -128;
    const Status s = WriteJpegBlock(f.path, f.block, f.comps);
    if (luma == 1 || luma == -1) {
      // 127 x 2048 / 84 = 3096; ((3096 x 134215680 + 1024) >> 11) = 202893312
      // times 1, rounded and shifted: 99069, saturated to 32767.
      EXPECT_EQ(s, StatusValue::Failed);
      EXPECT_EQ(f.Out(0)[3], luma == 1 ? 32767 : -32768);
    } else {
      EXPECT_EQ(s, StatusValue::Failed) << luma;
    }
  }
}

}  // namespace
}  // namespace qov
