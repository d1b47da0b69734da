// Noise: the strength table's coding, the generator's values pinned from its
// definition, the row and channel layout of the filled rectangles, every
// SIMD target against the scalar reference, and the tiling of a group.
#include "lib/frame/noise.h"

#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <cstring>
#include <vector>

#include "gtest/gtest.h"
#include "lib/encode/bit_writer.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/render/render_pipeline.h"
#include "tests/frame/frame_test_helpers.h"
#include "tests/support/feature_streams.h"

namespace qov {
namespace {

using feature_test::Heap;

// The generator written out from its definition, one lane at a time.
struct ReferenceGenerator {
  uint64_t s0[8], s1[8];
  static uint64_t Mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  ReferenceGenerator(uint64_t a, uint64_t b) {
    s0[0] = Mix(a + 0x9E3779B97F4A7C15ull);
    s1[0] = Mix(b + 0x9E3779B97F4A7C15ull);
    for (int k = 1; k < 8; ++k) {
      s0[k] = Mix(s0[k - 1]);
      s1[k] = Mix(s1[k - 1]);
    }
  }
  // The 16 values of one step, as floats in [1, 2).
  std::vector<float> Step() {
    std::vector<float> out;
    for (int k = 0; k < 8; ++k) {
      const uint64_t result = s0[k] + s1[k];
      uint64_t t = s0[k];
      t ^= t << 23;
      const uint64_t old_s1 = s1[k];
      s0[k] = old_s1;
      s1[k] = t ^ (t >> 18) ^ old_s1 ^ (old_s1 >> 5);
      for (uint32_t half : {static_cast<uint32_t>(result),
                            static_cast<uint32_t>(result >> 32)}) {
        out.push_back(1.0f + static_cast<float>(half >> 9) / 8388608.0f);
      }
    }
    return out;
  }
};

TEST(NoiseStrengthTableTest, ReadsTenBitValues) {
  struct Case {
    const char* name;
    uint32_t codes[8];
  };
  const Case cases[] = {
      {"all ones", {1023, 1023, 1023, 1023, 1023, 1023, 1023, 1023}},
      {"all zeros", {0, 0, 0, 0, 0, 0, 0, 0}},
      {"mixed", {1, 512, 3, 1000, 0, 77, 1023, 256}},
  };
  for (const Case& c : cases) {
    BitWriter writer(Heap());
    ASSERT_TRUE(writer.WithBitBudget(80 + 8, LayerType::kHeader, nullptr, [&] {
      for (uint32_t code : c.codes) writer.PutBits(10, code);
      writer.PutBits(8, 0xA5);  // what follows stays unread
      return OkStatus();
    }).ok());
    BitReader reader(writer.GetSpan());
    NoiseStrengthTable table;
    table.Decode(reader);
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(table.lut[i], static_cast<float>(c.codes[i]) / 1024.0f)
          << c.name << " " << i;
    }
    EXPECT_EQ(reader.Read(8), 0xA5u) << c.name;
  }
  BitWriter ones(Heap());
  ASSERT_TRUE(ones.WithBitBudget(80, LayerType::kHeader, nullptr, [&] {
    for (int i = 0; i < 8; ++i) ones.PutBits(10, 1023);
    return OkStatus();
  }).ok());
  BitReader reader(ones.GetSpan());
  NoiseStrengthTable table;
  table.Decode(reader);
  EXPECT_EQ(table.lut[7], 0.9990234375f);
}

// Three planes with a guard border of `kGuard` samples around the filled
// rectangles.
constexpr uint64_t kGuard = 3;
constexpr float kGuardValue = -7.0f;

struct NoisePlanes {
  std::vector<PlaneF> planes;
  NoiseRect rects[3];
  NoisePlanes(uint64_t xsize, uint64_t ysize) {
    for (int c = 0; c < 3; ++c) {
      auto plane = PlaneF::Create(Heap(), xsize + 2 * kGuard, ysize + 2 * kGuard);
      EXPECT_TRUE(plane.ok());
      planes.push_back(std::move(plane).value());
    }
    for (int c = 0; c < 3; ++c) {
      PlaneF& p = planes[c];
      for (size_t y = 0; y < p.ysize(); ++y) {
        for (size_t x = 0; x < p.xsize(); ++x) p.Row(y)[x] = kGuardValue;
      }
      rects[c] = {&p, kGuard, kGuard, xsize, ysize};
    }
  }
  float At(int c, uint64_t x, uint64_t y) const {
    return planes[c].Row(kGuard + y)[kGuard + x];
  }
  std::vector<float> All() const {
    std::vector<float> out;
    for (const PlaneF& p : planes) {
      for (size_t y = 0; y < p.ysize(); ++y) {
        out.insert(out.end(), p.Row(y), p.Row(y) + p.xsize());
      }
    }
    return out;
  }
};

TEST(NoisePlanesTest, PinnedValuesAndLayout) {
  // First displayed frame, tile (0, 0): seeds 0x100000000 and 0. Width 20:
  // two steps per row, values 4..15 of the second are dropped.
  NoisePlanes noise(20, 2);
  AddNoisePlanesScalar(1, 0, 0, 0, noise.rects);
  ReferenceGenerator gen(0x100000000ull, 0);
  for (int c = 0; c < 3; ++c) {
    for (uint64_t y = 0; y < 2; ++y) {
      const std::vector<float> first = gen.Step();
      const std::vector<float> second = gen.Step();
      for (uint64_t x = 0; x < 20; ++x) {
        const float want = x < 16 ? first[x] : second[x - 16];
        ASSERT_EQ(noise.At(c, x, y), want) << c << " " << x << " " << y;
      }
    }
  }
  // The second channel continues the generator of the first.
  EXPECT_NE(noise.At(0, 0, 0), noise.At(1, 0, 0));
  // Values are in [1, 2) and the guard border is untouched.
  for (int c = 0; c < 3; ++c) {
    for (uint64_t y = 0; y < 2 + 2 * kGuard; ++y) {
      for (uint64_t x = 0; x < 20 + 2 * kGuard; ++x) {
        const float v = noise.planes[c].Row(y)[x];
        const bool inside = x >= kGuard && x < kGuard + 20 && y >= kGuard &&
                            y < kGuard + 2;
        if (inside) {
          EXPECT_TRUE(v >= 1.0f && v < 2.0f);
        } else {
          EXPECT_EQ(v, kGuardValue);
        }
      }
    }
  }
}

TEST(NoisePlanesTest, SeedsUseLowBitsOfCountersAndPosition) {
  struct Case {
    uint64_t visible, hidden, x, y, a, b;
  };
  const Case cases[] = {
      {1, 0, 0, 0, 0x100000000ull, 0},
      {2, 5, 256, 512, 0x200000005ull, 0x10000000200ull},
      // Only the low 32 bits count.
      {0x100000003ull, 0x700000001ull, 0x100000000ull, 0x200000004ull,
       0x300000001ull, 4},
  };
  for (const Case& c : cases) {
    NoisePlanes noise(16, 1);
    AddNoisePlanesScalar(c.visible, c.hidden, c.x, c.y, noise.rects);
    ReferenceGenerator gen(c.a, c.b);
    const std::vector<float> step = gen.Step();
    for (uint64_t x = 0; x < 16; ++x) {
      EXPECT_EQ(noise.At(0, x, 0), step[x]) << c.visible << " " << x;
    }
  }
}

TEST(NoisePlanesTest, EmptyRectangleTakesNoStep) {
  NoisePlanes noise(5, 1);
  noise.rects[0].ysize = 0;
  noise.rects[1].xsize = 0;
  AddNoisePlanes(1, 0, 0, 0, noise.rects);
  ReferenceGenerator gen(0x100000000ull, 0);
  const std::vector<float> step = gen.Step();
  EXPECT_EQ(noise.At(0, 0, 0), kGuardValue);
  EXPECT_EQ(noise.At(1, 0, 0), kGuardValue);
  // The third rectangle gets the very first step.
  EXPECT_EQ(noise.At(2, 0, 0), step[0]);
  EXPECT_EQ(noise.At(2, 4, 0), step[4]);
}

class NoisePlanesTargetTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(NoisePlanesTargetTest);

TEST_P(NoisePlanesTargetTest, MatchesScalar) {
  const uint64_t widths[] = {1, 3, 15, 16, 17, 20, 33, 64, 130};
  for (uint64_t width : widths) {
    NoisePlanes want(width, 3), got(width, 3);
    AddNoisePlanesScalar(7, 2, 512, 256, want.rects);
    AddNoisePlanes(7, 2, 512, 256, got.rects);
    EXPECT_EQ(want.All(), got.All()) << "width " << width;
  }
}

TEST(GroupNoiseTest, TilesOfAnUpsampledGroup) {
  // Group 3 of a frame with 2 groups per row (gx 1, gy 1), D = 8, U = 2:
  // four tiles at (16, 16), (24, 16), (16, 24), (24, 24); the rectangle is
  // cut at 12 x 10 so the right and bottom tiles are partial.
  constexpr uint64_t kD = 8;
  NoisePlanes got(12, 10);
  AddGroupNoiseTiles(4, 1, kD, 2, 2, 3, got.rects);

  NoisePlanes want(12, 10);
  const uint64_t tiles[4][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
  for (const auto& t : tiles) {
    NoiseRect rects[3];
    for (int c = 0; c < 3; ++c) {
      rects[c] = want.rects[c];
      rects[c].x0 += t[0] * kD;
      rects[c].y0 += t[1] * kD;
      rects[c].xsize = t[0] == 0 ? kD : 12 - kD;
      rects[c].ysize = t[1] == 0 ? kD : 10 - kD;
    }
    AddNoisePlanesScalar(4, 1, kD * (2 * 1 + t[0]), kD * (2 * 1 + t[1]), rects);
  }
  EXPECT_EQ(want.All(), got.All());

  // A tile wholly outside the rectangle produces nothing.
  NoisePlanes small(5, 5);
  AddGroupNoiseTiles(4, 1, kD, 2, 2, 0, small.rects);
  for (int c = 0; c < 3; ++c) {
    EXPECT_NE(small.At(c, 4, 4), kGuardValue);
    EXPECT_EQ(small.planes[c].Row(kGuard + 5)[kGuard], kGuardValue);
  }

  // Deterministic: the same group twice gives the same planes.
  NoisePlanes again(12, 10);
  AddGroupNoiseTiles(4, 1, kD, 2, 2, 3, again.rects);
  EXPECT_EQ(again.All(), got.All());
}

// A stage that leaves every channel alone.
class PassStage final : public RenderPipelineStage {
 public:
  PassStage() : RenderPipelineStage(StageGeometry{}) {}
  Status RenderRow(const ChannelRowSet&, const ChannelRowSet&, size_t, size_t,
                   size_t, size_t, size_t, size_t) const override {
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t) const override {
    return RowChannelMode::kModifyRows;
  }
  const char* StageName() const override { return "Pass"; }
};

// AddGroupNoise fills the group's noise channels (after colour and the one
// extra channel) of the pipeline input with the tile of the group's
// position and the state's frame counters.
TEST(GroupNoiseTest, WritesThePipelineInputOfTheGroup) {
  auto metadata = MakeMetadata(300, 300);
  metadata->m.extra_channel_info.resize(1);
  FrameHeader header(metadata.get());
  header.ec_blending_info.resize(1);
  header.ec_upsampling.assign(1, 1);
  const FrameGeometry geometry = header.ComputeGeometry();
  ASSERT_EQ(geometry.group_dim, 256u);
  ASSERT_EQ(geometry.xsize_groups, 2u);

  FrameDecodingState state(Heap());
  state.visible_frame_index = 3;
  state.nonvisible_frame_index = 1;
  RenderPipelineAssembler assembler(Heap(), 7, true);
  ASSERT_TRUE(assembler.Append(std::make_unique<PassStage>()).ok());
  auto pipeline = assembler.Assemble(geometry);
  ASSERT_TRUE(pipeline.ok());
  state.render_pipeline = std::move(pipeline).value();
  ASSERT_TRUE(state.render_pipeline->SetUpThreads(1, false).ok());

  const uint64_t group = 3;  // gx 1, gy 1: 44 x 44 at (256, 256)
  AddGroupNoise(state, geometry, header, group, 0);
  GroupRenderInput input = state.render_pipeline->OpenGroupInput(group, 0);
  ASSERT_EQ(input.buffers.size(), 7u);
  NoisePlanes want(input.buffers[4].rect.xsize, input.buffers[4].rect.ysize);
  AddNoisePlanesScalar(3, 1, 256, 256, want.rects);
  for (int c = 0; c < 3; ++c) {
    const GroupBuffer& buffer = input.buffers[4 + c];
    ASSERT_EQ(buffer.rect.xsize, 300u - 256u);
    for (uint64_t y = 0; y < buffer.rect.ysize; ++y) {
      for (uint64_t x = 0; x < buffer.rect.xsize; ++x) {
        ASSERT_EQ(buffer.Row(y)[x], want.At(c, x, y)) << c << " " << x << " " << y;
      }
    }
  }
  // Without a pipeline nothing happens.
  FrameDecodingState bare(Heap());
  AddGroupNoise(bare, geometry, header, 0, 0);
}

}  // namespace
}  // namespace qov
