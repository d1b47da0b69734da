// Pixel output: the conversion kernels against their scalar references on
// every target, their rounding edges, and the output stage's chunking,
// orientation, alpha handling, byte order, delivery and target checks.
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/render/pixel_pack.h"
#include "lib/render/stage_factories.h"
#include "lib/render/write_to_output_stage.h"

namespace qov {
namespace {

const QovMemoryManagerStruct* Heap() {
  static const QovMemoryManagerStruct manager = {nullptr, DefaultAllocate,
                                                 DefaultRelease};
  return &manager;
}

// Input samples covering the clamps, ties, NaN, infinities and float16 range
// edges, then random values.
std::vector<float> InterestingSamples(size_t count, uint32_t seed) {
  const float fixed[] = {0.0f, -0.0f, 1.0f, 0.5f, -1.0f, 1.5f,
                         std::numeric_limits<float>::quiet_NaN(),
                         -std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(), 65504.0f,
                         65520.0f, 65519.0f, std::ldexp(1.0f, -24),
                         std::ldexp(1.0f, -25), std::ldexp(1.5f, -25),
                         std::ldexp(1.0f, -14), 1e-40f, 3e38f, 0.25f / 255};
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(-0.2f, 1.2f);
  std::vector<float> v(count);
  for (size_t i = 0; i < count; ++i) {
    v[i] = i < sizeof(fixed) / sizeof(fixed[0]) && seed % 2 == 0
               ? fixed[i]
               : (i % 7 == 0 ? std::ldexp(unit(rng), static_cast<int>(rng() % 40) - 20)
                             : unit(rng));
  }
  return v;
}

class PixelPackTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(PixelPackTest);

TEST_P(PixelPackTest, MatchesScalarReferences) {
  for (size_t nc = 1; nc <= 4; ++nc) {
    for (size_t count : {1u, 3u, 8u, 13u, 37u, 1024u}) {
      std::vector<std::vector<float>> planes;
      const float* rows[4];
      for (size_t c = 0; c < nc; ++c) {
        planes.push_back(InterestingSamples(count + 8, static_cast<uint32_t>(c * 100 + count)));
        rows[c] = planes.back().data();
      }
      for (const auto& [x, y] : {std::pair<size_t, size_t>{0, 0}, {29, 5}, {1000, 31}}) {
        for (float scale : {255.0f, 31.0f}) {
          std::vector<uint8_t> got(count * nc + 64, 0xAA), want(got);
          PackUint8Dithered(rows, nc, count, scale, x, y, got.data());
          PackUint8DitheredScalar(rows, nc, count, scale, x, y, want.data());
          ASSERT_EQ(got, want) << "uint8 nc " << nc << " count " << count;
        }
      }
      for (float scale : {65535.0f, 1023.0f}) {
        std::vector<uint16_t> got(count * nc + 64, 0xAAAA), want(got);
        PackUint16(rows, nc, count, scale, got.data());
        PackUint16Scalar(rows, nc, count, scale, want.data());
        ASSERT_EQ(got, want) << "uint16 nc " << nc << " count " << count;
      }
      std::vector<uint16_t> got(count * nc + 64, 0xAAAA), want(got);
      PackFloat16(rows, nc, count, got.data());
      PackFloat16Scalar(rows, nc, count, want.data());
      ASSERT_EQ(got, want) << "float16 nc " << nc << " count " << count;
    }
  }
}

TEST(PixelPackScalarTest, Float16Rounding) {
  struct Case {
    float in;
    uint16_t out;
  };
  const Case cases[] = {
      {65504.0f, 0x7BFF}, {65520.0f, 0x7C00}, {65519.0f, 0x7BFF},
      {std::ldexp(1.0f, -24), 0x0001}, {std::ldexp(1.0f, -25), 0x0000},
      {std::ldexp(1.5f, -25), 0x0001}, {-0.0f, 0x8000}, {1.0f, 0x3C00},
      {-2.0f, 0xC000}, {std::ldexp(1.0f, -14), 0x0400},
      {std::numeric_limits<float>::infinity(), 0x7C00},
      {-std::numeric_limits<float>::infinity(), 0xFC00},
      {std::numeric_limits<float>::quiet_NaN(), 0x7FFF},
      {-std::numeric_limits<float>::quiet_NaN(), 0xFFFF},
      {1.0f + std::ldexp(1.0f, -11), 0x3C00},  // tie to even
      {1.0f + std::ldexp(3.0f, -11), 0x3C02},  // tie to even, upwards
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FloatToHalfScalar(c.in), c.out) << c.in;
  }
}

TEST(PixelPackScalarTest, IntegerClampsRoundingAndDither) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // 0 and 1 are exact whatever the dither; NaN gives 0.
  for (size_t y = 0; y < 32; ++y) {
    for (size_t x = 0; x < 32; ++x) {
      const float vals[4] = {0.0f, 1.0f, nan, 2.0f};
      const float* rows[4] = {&vals[0], &vals[1], &vals[2], &vals[3]};
      uint8_t out[4];
      PackUint8DitheredScalar(rows, 4, 1, 255.0f, x, y, out);
      EXPECT_EQ(out[0], 0);
      EXPECT_EQ(out[1], 255);
      EXPECT_EQ(out[2], 0);
      EXPECT_EQ(out[3], 255);
    }
  }
  // 0.5 at (0, 0): 127.5 - 0.26057 rounds to 127.
  const float half = 0.5f;
  const float* row = &half;
  uint8_t byte;
  PackUint8DitheredScalar(&row, 1, 1, 255.0f, 0, 0, &byte);
  EXPECT_EQ(byte, 127);
  const float u16_in[3] = {0.5f, nan, 1.5f};
  const float* u16_rows[3] = {&u16_in[0], &u16_in[1], &u16_in[2]};
  uint16_t u16[3];
  PackUint16Scalar(u16_rows, 3, 1, 65535.0f, u16);
  EXPECT_EQ(u16[0], 32768);  // 32767.5 to even
  EXPECT_EQ(u16[1], 0);
  EXPECT_EQ(u16[2], 65535);
}

TEST(PixelPackScalarTest, DitherMatrixLevelsAndWrap) {
  const float* m = OrderedDitherMatrix();
  EXPECT_FLOAT_EQ(m[0], -0.26057f);
  EXPECT_FLOAT_EQ(m[1], 0.32619f);
  EXPECT_FLOAT_EQ(m[2], 0.21039f);
  EXPECT_FLOAT_EQ(m[3], -0.03281f);
  std::map<float, int> counts;
  double sum = 0;
  for (size_t r = 0; r < 32; ++r) {
    for (size_t c = 0; c < 32; ++c) {
      counts[m[r * kDitherStride + c]]++;
      sum += m[r * kDitherStride + c];
    }
    for (size_t c = 32; c < kDitherStride; ++c) {
      EXPECT_EQ(m[r * kDitherStride + c], m[r * kDitherStride + c - 32]);
    }
  }
  EXPECT_EQ(counts.size(), 256u);
  for (const auto& [value, n] : counts) EXPECT_EQ(n, 4) << value;
  EXPECT_NEAR(sum, 0.0, 1e-3);
  EXPECT_FLOAT_EQ(counts.begin()->first, -0.49219f);
  EXPECT_FLOAT_EQ(counts.rbegin()->first, 0.49219f);
}

// ---- The stage ----

// Channels of a W x H frame held by the test; rows handed to the stage with
// the pipeline's lead and a vector of margin.
struct Frame {
  size_t width, height;
  std::vector<std::vector<float>> planes;
  Frame(size_t w, size_t h, size_t channels) : width(w), height(h), planes(channels) {
    for (size_t c = 0; c < channels; ++c) {
      planes[c].assign(w * h, 0.0f);
      for (size_t i = 0; i < w * h; ++i) planes[c][i] = Value(c, i % w, i / w);
    }
  }
  static float Value(size_t c, size_t x, size_t y) {
    return static_cast<float>(x + 1000 * y + 100000 * c);
  }
  // Renders every row through the stage on thread 0, rows of `span` pixels.
  Status Render(const RenderPipelineStage& stage, size_t span = 0) const {
    if (span == 0) span = width;
    std::vector<std::vector<float>> storage(planes.size());
    ChannelRowSet set(planes.size());
    for (size_t y = 0; y < height; ++y) {
      for (size_t x0 = 0; x0 < width; x0 += span) {
        const size_t n = std::min(span, width - x0);
        for (size_t c = 0; c < planes.size(); ++c) {
          storage[c].assign(kRowLeadSamples + n + 16, -7.0f);
          std::memcpy(storage[c].data() + kRowLeadSamples,
                      planes[c].data() + y * width + x0, n * sizeof(float));
          set[c] = {storage[c].data()};
        }
        Status s = stage.RenderRow(set, {}, 0, 0, n, x0, y, 0);
        if (!s.ok()) return s;
      }
    }
    return OkStatus();
  }
};

PixelOutputTarget BufferTarget(std::vector<uint8_t>& buf, uint32_t channels,
                               OutputSampleType type, uint64_t out_w,
                               uint64_t out_h, uint64_t bits = 0) {
  PixelOutputTarget t;
  t.format.num_channels = channels;
  t.format.data_type = type;
  t.bits_per_sample = bits != 0 ? bits : (type == OutputSampleType::kUint8 ? 8 : 16);
  t.stride = out_w * channels * BytesPerOutputSample(type);
  buf.assign(t.stride * out_h, 0);
  t.buffer = buf.data();
  t.buffer_size = buf.size();
  return t;
}

std::unique_ptr<WriteToOutputStage> MakeStage(
    const PixelOutputTarget& target, size_t w, size_t h, uint32_t orientation = 1,
    bool has_alpha = false, bool unpremultiply = false, uint64_t alpha_channel = 0,
    const std::vector<PixelOutputTarget>& extra = {}) {
  return std::make_unique<WriteToOutputStage>(target, w, h, has_alpha, unpremultiply,
                                              alpha_channel, orientation, extra, Heap());
}

TEST(WriteToOutputStageTest, OrientationsIntoBuffer) {
  constexpr size_t kW = 5, kH = 3;
  struct Case {
    uint32_t orientation;
    // Output (column, row) of stored (x, y).
    std::pair<size_t, size_t> (*place)(size_t x, size_t y);
  };
  const Case cases[] = {
      {1, [](size_t x, size_t y) { return std::make_pair(x, y); }},
      {2, [](size_t x, size_t y) { return std::make_pair(kW - 1 - x, y); }},
      {3, [](size_t x, size_t y) { return std::make_pair(kW - 1 - x, kH - 1 - y); }},
      {4, [](size_t x, size_t y) { return std::make_pair(x, kH - 1 - y); }},
      {5, [](size_t x, size_t y) { return std::make_pair(y, x); }},
      {6, [](size_t x, size_t y) { return std::make_pair(kH - 1 - y, x); }},
      {7, [](size_t x, size_t y) { return std::make_pair(kH - 1 - y, kW - 1 - x); }},
      {8, [](size_t x, size_t y) { return std::make_pair(y, kW - 1 - x); }},
  };
  Frame frame(kW, kH, 3);
  for (const Case& c : cases) {
    const bool transposed = c.orientation >= 5;
    const size_t out_w = transposed ? kH : kW, out_h = transposed ? kW : kH;
    std::vector<uint8_t> buf;
    auto stage = MakeStage(BufferTarget(buf, 1, OutputSampleType::kFloat32, out_w, out_h),
                           kW, kH, c.orientation);
    ASSERT_TRUE(stage->CheckReady().ok());
    ASSERT_TRUE(stage->SetUpForThreads(1).ok());
    ASSERT_TRUE(frame.Render(*stage).ok());
    for (size_t y = 0; y < kH; ++y) {
      for (size_t x = 0; x < kW; ++x) {
        const auto [ox, oy] = c.place(x, y);
        float v;
        std::memcpy(&v, buf.data() + (oy * out_w + ox) * 4, 4);
        EXPECT_EQ(v, Frame::Value(0, x, y)) << "orientation " << c.orientation;
      }
    }
  }
}

struct Call {
  size_t thread, x, y, n;
  std::vector<float> pixels;
};
struct Recorder {
  std::vector<Call> calls;
  size_t inits = 0, destroys = 0, channels = 1;
  size_t live = 0;
  bool fail_init = false;
};
void* RecInit(void* opaque, size_t /*threads*/, size_t per_call) {
  auto* r = static_cast<Recorder*>(opaque);
  EXPECT_EQ(per_call, 1024u);
  if (r->fail_init) return nullptr;
  ++r->inits;
  ++r->live;
  return r;
}
void RecRun(void* opaque, size_t thread, size_t x, size_t y, size_t n,
            const void* pixels) {
  auto* r = static_cast<Recorder*>(opaque);
  Call c{thread, x, y, n, std::vector<float>(n * r->channels)};
  std::memcpy(c.pixels.data(), pixels, n * r->channels * 4);
  r->calls.push_back(std::move(c));
}
void RecDestroy(void* opaque) {
  auto* r = static_cast<Recorder*>(opaque);
  ++r->destroys;
  --r->live;
}
PixelOutputTarget CallbackTarget(Recorder* r, uint32_t channels) {
  PixelOutputTarget t;
  t.format.num_channels = channels;
  t.format.data_type = OutputSampleType::kFloat32;
  t.callbacks.init = RecInit;
  t.callbacks.run = RecRun;
  t.callbacks.destroy = RecDestroy;
  t.callbacks.init_opaque = r;
  r->channels = channels;
  return t;
}

TEST(WriteToOutputStageTest, ChunksOfLongRowsAndHorizontalFlip) {
  Frame frame(2500, 1, 1);
  for (uint32_t orientation : {1u, 2u}) {
    Recorder rec;
    {
      auto stage = MakeStage(CallbackTarget(&rec, 1), 2500, 1, orientation);
      ASSERT_TRUE(stage->SetUpForThreads(1).ok());
      ASSERT_TRUE(frame.Render(*stage).ok());
    }
    ASSERT_EQ(rec.calls.size(), 3u);
    const size_t want_x[2][3] = {{0, 1024, 2048}, {1476, 452, 0}};
    const size_t want_n[3] = {1024, 1024, 452};
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(rec.calls[i].x, want_x[orientation - 1][i]);
      EXPECT_EQ(rec.calls[i].n, want_n[i]);
      const size_t first_stored = i * 1024;
      const float first = rec.calls[i].pixels[0];
      const float expect = orientation == 1
                               ? Frame::Value(0, first_stored, 0)
                               : Frame::Value(0, first_stored + want_n[i] - 1, 0);
      EXPECT_EQ(first, expect);
    }
    EXPECT_EQ(rec.inits, 1u);
    EXPECT_EQ(rec.destroys, 1u);
  }
}

TEST(WriteToOutputStageTest, TransposedCallbackGetsOnePixelPerCall) {
  constexpr size_t kW = 4, kH = 3;
  Frame frame(kW, kH, 1);
  Recorder rec;
  auto stage = MakeStage(CallbackTarget(&rec, 1), kW, kH, 6);
  ASSERT_TRUE(stage->SetUpForThreads(1).ok());
  ASSERT_TRUE(frame.Render(*stage).ok());
  ASSERT_EQ(rec.calls.size(), kW * kH);
  for (const Call& c : rec.calls) EXPECT_EQ(c.n, 1u);
  // Stored (0, 0) lands at output column H - 1, row 0.
  EXPECT_EQ(rec.calls[0].x, kH - 1);
  EXPECT_EQ(rec.calls[0].y, 0u);
  EXPECT_EQ(rec.calls[0].pixels[0], Frame::Value(0, 0, 0));
}

TEST(WriteToOutputStageTest, RowsOutsideTheFrameAndMarginsOfRows) {
  Frame frame(6, 2, 1);
  Recorder rec;
  auto stage = MakeStage(CallbackTarget(&rec, 1), 4, 1);
  ASSERT_TRUE(stage->SetUpForThreads(1).ok());
  ASSERT_TRUE(frame.Render(*stage).ok());  // row 1 and columns 4, 5 cut
  ASSERT_EQ(rec.calls.size(), 1u);
  EXPECT_EQ(rec.calls[0].n, 4u);
  std::vector<float> row(64, 0.0f);
  ChannelRowSet set = {{row.data()}};
  EXPECT_FALSE(stage->RenderRow(set, {}, 1, 0, 4, 0, 0, 0).ok());
  EXPECT_FALSE(stage->RenderRow(set, {}, 0, 1, 4, 0, 0, 0).ok());
  EXPECT_TRUE(stage->RenderRow(set, {}, 0, 0, 4, 4, 0, 0).ok());
  EXPECT_EQ(rec.calls.size(), 1u);
}

TEST(WriteToOutputStageTest, OpaqueAlphaForEverySampleType) {
  struct Case {
    OutputSampleType type;
    std::vector<uint8_t> alpha_bytes;  // native order on little-endian
  };
  const Case cases[] = {
      {OutputSampleType::kFloat32, {0x00, 0x00, 0x80, 0x3F}},
      {OutputSampleType::kUint8, {0xFF}},
      {OutputSampleType::kUint16, {0xFF, 0xFF}},
      {OutputSampleType::kFloat16, {0x00, 0x3C}},
  };
  Frame frame(3, 2, 3);
  for (const Case& c : cases) {
    std::vector<uint8_t> buf;
    auto stage = MakeStage(BufferTarget(buf, 4, c.type, 3, 2), 3, 2);
    ASSERT_TRUE(stage->SetUpForThreads(1).ok());
    ASSERT_TRUE(frame.Render(*stage).ok());
    const size_t b = BytesPerOutputSample(c.type);
    for (size_t p = 0; p < 6; ++p) {
      EXPECT_EQ(0, std::memcmp(buf.data() + p * 4 * b + 3 * b,
                               c.alpha_bytes.data(), b));
    }
  }
}

TEST(WriteToOutputStageTest, UnpremultipliesWithAFloorOnAlpha) {
  Frame frame(3, 1, 4);
  const float alpha[3] = {0.5f, 0.0f, 0.0f};
  const float color[3] = {0.25f, 0.5f, 0.0f};
  for (size_t x = 0; x < 3; ++x) {
    for (size_t c = 0; c < 3; ++c) frame.planes[c][x] = color[x];
    frame.planes[3][x] = alpha[x];
  }
  std::vector<uint8_t> fbuf, bbuf;
  auto fstage = MakeStage(BufferTarget(fbuf, 4, OutputSampleType::kFloat32, 3, 1), 3, 1,
                          1, true, true, 3);
  auto bstage = MakeStage(BufferTarget(bbuf, 4, OutputSampleType::kUint8, 3, 1), 3, 1,
                          2, true, true, 3);  // flipped as well
  for (auto* stage : {fstage.get(), bstage.get()}) {
    ASSERT_TRUE(stage->SetUpForThreads(2).ok());
    ASSERT_TRUE(frame.Render(*stage).ok());
  }
  float f[12];
  std::memcpy(f, fbuf.data(), sizeof(f));
  EXPECT_EQ(f[0], 0.5f);
  EXPECT_EQ(f[3], 0.5f);
  EXPECT_EQ(f[4], 0.5f * (1.0f / 1.4901161e-08f));
  EXPECT_EQ(f[8], 0.0f);
  // Byte output, mirrored: pixel 0 of the output is stored pixel 2.
  EXPECT_EQ(bbuf[0], 0);
  EXPECT_EQ(bbuf[4], 255);  // clamped
  EXPECT_EQ(bbuf[7], 0);
  EXPECT_TRUE(bbuf[8] == 127 || bbuf[8] == 128);
}

TEST(WriteToOutputStageTest, BigEndianSamples) {
  Frame frame(1, 1, 3);
  frame.planes[0][0] = 1.0f;
  std::vector<uint8_t> buf;
  PixelOutputTarget t = BufferTarget(buf, 1, OutputSampleType::kFloat32, 1, 1);
  t.format.byte_order = ByteOrder::kBigEndian;
  auto stage = MakeStage(t, 1, 1);
  ASSERT_TRUE(stage->SetUpForThreads(1).ok());
  ASSERT_TRUE(frame.Render(*stage).ok());
  EXPECT_EQ(buf, (std::vector<uint8_t>{0x3F, 0x80, 0x00, 0x00}));

  frame.planes[0][0] = static_cast<float>(0x1234) / 65535.0f;
  t = BufferTarget(buf, 1, OutputSampleType::kUint16, 1, 1);
  t.format.byte_order = ByteOrder::kBigEndian;
  stage = MakeStage(t, 1, 1);
  ASSERT_TRUE(stage->SetUpForThreads(1).ok());
  ASSERT_TRUE(frame.Render(*stage).ok());
  EXPECT_EQ(buf, (std::vector<uint8_t>{0x12, 0x34}));
}

TEST(WriteToOutputStageTest, CallbackWinsOverBufferAndExtraOutputs) {
  Frame frame(2, 1, 5);
  Recorder rec, extra_rec;
  std::vector<uint8_t> buf(64, 0x55);
  PixelOutputTarget t = CallbackTarget(&rec, 3);
  t.buffer = buf.data();
  t.buffer_size = buf.size();
  t.stride = 24;
  std::vector<PixelOutputTarget> extra(2);  // extra 0 unused: skipped
  extra[1] = CallbackTarget(&extra_rec, 1);
  auto stage = MakeStage(t, 2, 1, 1, false, false, 0, extra);
  ASSERT_EQ(stage->extra_outputs().size(), 1u);
  EXPECT_EQ(stage->extra_outputs()[0].channel, 4u);
  EXPECT_EQ(stage->ChannelModeOf(4), RowChannelMode::kReadOnly);
  EXPECT_EQ(stage->ChannelModeOf(3), RowChannelMode::kNotUsed);
  ASSERT_TRUE(stage->SetUpForThreads(1).ok());
  ASSERT_TRUE(frame.Render(*stage).ok());
  EXPECT_EQ(buf, std::vector<uint8_t>(64, 0x55));
  ASSERT_EQ(rec.calls.size(), 1u);
  ASSERT_EQ(extra_rec.calls.size(), 1u);
  EXPECT_EQ(extra_rec.calls[0].pixels[1], Frame::Value(4, 1, 0));
}

// Faults of the target record are refused before anything is written.
TEST(WriteToOutputStageTest, RefusesTargetsItCannotWrite) {
  std::vector<uint8_t> buf;
  const PixelOutputTarget good = BufferTarget(buf, 3, OutputSampleType::kUint8, 4, 3);
  struct Case {
    const char* name;
    void (*change)(PixelOutputTarget&);
  };
  const Case cases[] = {
      {"buffer one byte short", [](PixelOutputTarget& t) { --t.buffer_size; }},
      {"stride below a row", [](PixelOutputTarget& t) { t.stride = 11; }},
      {"huge stride", [](PixelOutputTarget& t) { t.stride = UINT64_MAX / 2; }},
      {"sample type 1", [](PixelOutputTarget& t) {
         t.format.data_type = static_cast<OutputSampleType>(1); }},
      {"sample type 4", [](PixelOutputTarget& t) {
         t.format.data_type = static_cast<OutputSampleType>(4); }},
      {"bits 0", [](PixelOutputTarget& t) { t.bits_per_sample = 0; }},
      {"bits 9 for bytes", [](PixelOutputTarget& t) { t.bits_per_sample = 9; }},
      {"bits 32 for 16-bit", [](PixelOutputTarget& t) {
         t.format.data_type = OutputSampleType::kUint16; t.bits_per_sample = 32; }},
      {"5 channels", [](PixelOutputTarget& t) { t.format.num_channels = 5; }},
      {"no buffer", [](PixelOutputTarget& t) { t.buffer = nullptr; }},
  };
  {
    auto stage = MakeStage(good, 4, 3);
    EXPECT_TRUE(stage->CheckReady().ok());
  }
  for (const Case& c : cases) {
    PixelOutputTarget t = good;
    c.change(t);
    auto stage = MakeStage(t, 4, 3);
    EXPECT_FALSE(stage->CheckReady().ok()) << c.name;
    EXPECT_FALSE(stage->SetUpForThreads(1).ok()) << c.name;
  }
  // Orientation 6 needs a 3 x 4 buffer, not a 4 x 3 one.
  auto rotated = MakeStage(good, 4, 3, 6);
  EXPECT_FALSE(rotated->CheckReady().ok());
  // Extra targets: one channel, checked like the main one.
  std::vector<uint8_t> ebuf;
  std::vector<PixelOutputTarget> extra = {
      BufferTarget(ebuf, 3, OutputSampleType::kUint8, 4, 3)};
  EXPECT_FALSE(MakeStage(good, 4, 3, 1, false, false, 0, extra)->CheckReady().ok());
  extra[0] = BufferTarget(ebuf, 1, OutputSampleType::kUint16, 4, 3, 32);
  EXPECT_FALSE(MakeStage(good, 4, 3, 1, false, false, 0, extra)->CheckReady().ok());
  extra[0] = BufferTarget(ebuf, 1, OutputSampleType::kUint16, 4, 3, 12);
  EXPECT_TRUE(MakeStage(good, 4, 3, 1, false, false, 0, extra)->CheckReady().ok());
}

TEST(WriteToOutputStageTest, InitFailureAndRepeatedSetUp) {
  Recorder rec;
  {
    auto stage = MakeStage(CallbackTarget(&rec, 1), 4, 4);
    ASSERT_TRUE(stage->SetUpForThreads(1).ok());
    ASSERT_TRUE(stage->SetUpForThreads(3).ok());
    ASSERT_TRUE(stage->SetUpForThreads(2).ok());
    EXPECT_EQ(rec.inits, 3u);
    EXPECT_EQ(rec.live, 1u);  // earlier handles released
  }
  EXPECT_EQ(rec.live, 0u);
  Recorder failing;
  failing.fail_init = true;
  auto stage = MakeStage(CallbackTarget(&failing, 1), 4, 4);
  EXPECT_FALSE(stage->SetUpForThreads(1).ok());
  std::vector<float> row(64, 0.0f);
  ChannelRowSet set = {{row.data()}};
  EXPECT_FALSE(stage->RenderRow(set, {}, 0, 0, 4, 0, 0, 0).ok());
}

TEST(WriteToOutputStageTest, FactoryAndName) {
  std::vector<uint8_t> buf;
  auto stage = MakeWriteToOutputStage(
      BufferTarget(buf, 2, OutputSampleType::kUint8, 2, 2), 2, 2, true, false, 5, 1,
      {}, Heap());
  ASSERT_NE(stage, nullptr);
  EXPECT_STREQ(stage->StageName(), "WritePixelCB");
  EXPECT_EQ(stage->ChannelModeOf(0), RowChannelMode::kReadOnly);
  EXPECT_EQ(stage->ChannelModeOf(1), RowChannelMode::kNotUsed);
  EXPECT_EQ(stage->ChannelModeOf(5), RowChannelMode::kReadOnly);
}

}  // namespace
}  // namespace qov
