// Modular channel output conversion: the row kernels against their scalar
// references, custom floating-point samples against values computed here,
// and the conversion of whole channels into a group's float planes (bit
// depths, grey to RGB, XYB, float samples, extra channels, edges).
#include "lib/modular/modular_output.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "lib/base/memory.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/modular/modular_frame.h"
#include "lib/render/render_pipeline.h"

namespace qov {
namespace {

uint32_t Bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

// The value of a custom float sample, computed from its definition.
double CustomFloatValue(uint32_t v, int bits, int exp_bits) {
  const int mb = bits - exp_bits - 1;
  const bool negative = ((v >> (bits - 1)) & 1) != 0;
  const uint32_t e = (v >> mb) & ((1u << exp_bits) - 1);
  const uint32_t f = v & ((1u << mb) - 1);
  const int bias = (1 << (exp_bits - 1)) - 1;
  double value;
  if (e == (1u << exp_bits) - 1) {
    value = f == 0 ? std::numeric_limits<double>::infinity()
                   : std::numeric_limits<double>::quiet_NaN();
  } else if (e == 0) {
    value = std::ldexp(static_cast<double>(f), 1 - bias - mb);
  } else {
    value = std::ldexp(1.0 + std::ldexp(static_cast<double>(f), -mb),
                       static_cast<int>(e) - bias);
  }
  return negative ? -value : value;
}

TEST(ConvertIntSampleToFloatTest, Binary16Landmarks) {
  const int32_t in[] = {0x3C00, 0x7C00, 0x0001, 0x8000, 0xFC00, 0x7E00, 0x3555};
  float out[7];
  ASSERT_TRUE(ConvertIntSampleToFloat(in, out, 7, 16, 5).ok());
  EXPECT_EQ(out[0], 1.0f);
  EXPECT_TRUE(std::isinf(out[1]) && out[1] > 0);
  EXPECT_EQ(out[2], std::ldexp(1.0f, -24));
  EXPECT_EQ(Bits(out[3]), 0x80000000u);
  EXPECT_TRUE(std::isinf(out[4]) && out[4] < 0);
  EXPECT_TRUE(std::isnan(out[5]));
  EXPECT_EQ(out[6], static_cast<float>(CustomFloatValue(0x3555, 16, 5)));
}

TEST(ConvertIntSampleToFloatTest, EveryBinary16PatternMatchesItsDefinition) {
  std::vector<int32_t> in(65536);
  for (int32_t v = 0; v < 65536; ++v) in[v] = v;
  std::vector<float> out(in.size());
  ASSERT_TRUE(ConvertIntSampleToFloat(in.data(), out.data(), in.size(), 16, 5)
                  .ok());
  for (uint32_t v = 0; v < 65536; ++v) {
    const double expected = CustomFloatValue(v, 16, 5);
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(out[v])) << v;
    } else {
      ASSERT_EQ(out[v], static_cast<float>(expected)) << v;
      ASSERT_EQ(std::signbit(out[v]), (v & 0x8000) != 0) << v;
    }
  }
}

TEST(ConvertIntSampleToFloatTest, OtherWidthsAndSubnormals) {
  std::mt19937 rng(7);
  const int formats[][2] = {{24, 7}, {24, 8}, {12, 4}, {20, 6}, {31, 8}, {9, 2}};
  for (const auto& f : formats) {
    const int bits = f[0], exp_bits = f[1];
    std::vector<int32_t> in(2000);
    for (size_t i = 0; i < in.size(); ++i) {
      uint32_t v = rng() & ((bits == 32 ? 0 : (1u << bits)) - 1);
      if (i < 40) v &= (1u << (bits - exp_bits - 1)) - 1;  // subnormal or 0
      if (i % 7 == 0) v |= 1u << (bits - 1);              // negative
      in[i] = static_cast<int32_t>(v);
    }
    std::vector<float> out(in.size());
    ASSERT_TRUE(ConvertIntSampleToFloat(in.data(), out.data(), in.size(), bits,
                                        exp_bits)
                    .ok())
        << bits << "/" << exp_bits;
    for (size_t i = 0; i < in.size(); ++i) {
      const double expected =
          CustomFloatValue(static_cast<uint32_t>(in[i]), bits, exp_bits);
      if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(out[i]));
        continue;
      }
      // A 24-bit format with 8 exponent bits keeps binary32 subnormals.
      ASSERT_EQ(out[i], static_cast<float>(expected))
          << bits << "/" << exp_bits << " sample " << std::hex << in[i];
    }
  }
}

TEST(ConvertIntSampleToFloatTest, ThirtyTwoBits) {
  const float values[] = {1.5f, -0.0f, 3.0e38f};
  int32_t in[3];
  std::memcpy(in, values, sizeof(in));
  float out[3];
  ASSERT_TRUE(ConvertIntSampleToFloat(in, out, 3, 32, 8).ok());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Bits(out[i]), Bits(values[i]));
  EXPECT_EQ(ConvertIntSampleToFloat(in, out, 3, 32, 7), FailedStatus());
}

TEST(ConvertIntSampleToFloatTest, RejectsImpossibleFormats) {
  int32_t in[1] = {1};
  float out[1];
  EXPECT_EQ(ConvertIntSampleToFloat(in, out, 1, 16, 0), FailedStatus());
  EXPECT_EQ(ConvertIntSampleToFloat(in, out, 1, 16, 9), FailedStatus());
  EXPECT_EQ(ConvertIntSampleToFloat(in, out, 1, 31, 2), FailedStatus());
}

TEST(ScaleRowKernelsTest, MatchScalarReferenceAtEveryLength) {
  std::mt19937 rng(3);
  for (size_t count : {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 64, 257}) {
    std::vector<int32_t> in(count), in_y(count);
    for (size_t i = 0; i < count; ++i) {
      in[i] = static_cast<int32_t>(rng() % 200000) - 100000;
      in_y[i] = static_cast<int32_t>(rng());
    }
    in_y.push_back(0);
    const float factor = 1.0f / 255.0f;
    std::vector<float> a(count + 1, -7.0f), b(count + 1, -7.0f);
    ScaleIntRow(count, in.data(), factor, a.data());
    ScaleIntRowScalar(count, in.data(), factor, b.data());
    EXPECT_EQ(a, b) << count;
    EXPECT_EQ(a[count], -7.0f);  // nothing past the count
    std::vector<float> r0(count + 1, -7.0f), r1 = r0, r2 = r0;
    ScaleIntRowToRgb(count, in.data(), factor, r0.data(), r1.data(), r2.data());
    EXPECT_EQ(r0, b);
    EXPECT_EQ(r1, b);
    EXPECT_EQ(r2, b);
    ScaleIntSumRow(count, in.data(), in_y.data(), 0.25f, a.data());
    ScaleIntSumRowScalar(count, in.data(), in_y.data(), 0.25f, b.data());
    EXPECT_EQ(a, b) << count;
    for (size_t i = 0; i < count; ++i) {
      const int32_t sum = static_cast<int32_t>(static_cast<uint32_t>(in[i]) +
                                               static_cast<uint32_t>(in_y[i]));
      ASSERT_EQ(a[i], static_cast<float>(sum) * 0.25f);
    }
  }
}

// ---------------------------------------------------------------------------
// Whole-channel conversion into a group's planes.

// Float planes standing in for a pipeline's group buffers.
struct GroupPlanes {
  std::vector<std::unique_ptr<PlaneF>> planes;
  GroupRenderInput input;

  // One plane per channel of (xsize + 8) x (ysize + 8) with the group at
  // (4, 4), the given sizes per channel.
  explicit GroupPlanes(const std::vector<std::pair<uint64_t, uint64_t>>& sizes) {
    for (const auto& s : sizes) {
      auto plane = std::make_unique<PlaneF>(
          PlaneF::Create(HeapMemoryManager(), s.first + 8, s.second + 8)
              .value());
      for (size_t y = 0; y < plane->ysize(); ++y) {
        for (size_t x = 0; x < plane->xsize(); ++x) plane->Row(y)[x] = -9.0f;
      }
      GroupBuffer buffer;
      buffer.plane = plane.get();
      buffer.rect = PixelRect{4, 4, s.first, s.second};
      input.buffers.push_back(buffer);
      planes.push_back(std::move(plane));
    }
  }
  float at(size_t c, size_t x, size_t y) const {
    return input.buffers[c].Row(y)[x];
  }
  // Samples around the rectangle are untouched.
  bool BorderUntouched(size_t c) const {
    const PlaneF& p = *planes[c];
    const PixelRect& r = input.buffers[c].rect;
    for (size_t y = 0; y < p.ysize(); ++y) {
      for (size_t x = 0; x < p.xsize(); ++x) {
        const bool inside = x >= r.x0 && x < r.x0 + r.xsize && y >= r.y0 &&
                            y < r.y0 + r.ysize;
        if (!inside && p.Row(y)[x] != -9.0f) return false;
      }
    }
    return true;
  }
};

struct OutputSetup {
  std::unique_ptr<CodecMetadata> metadata = std::make_unique<CodecMetadata>();
  FrameHeader header{nullptr};
  ModularFrameReader reader{HeapMemoryManager()};
  FrameDecodingState state{HeapMemoryManager()};

  OutputSetup(uint32_t bits, uint32_t transform, bool grey = false) {
    metadata->m.xyb_encoded =
        transform == static_cast<uint32_t>(ColorTransformKind::kXyb);
    metadata->m.bit_depth.bits_per_sample = bits;
    if (grey) {
      metadata->m.color_encoding.color_space = Raw(ColorSpace::kGray);
    }
    header = FrameHeader(metadata.get());
    header.encoding = static_cast<uint32_t>(FrameCoding::kModular);
    header.color_transform = transform;
    reader.decode_color = true;
  }
  void AddExtra(uint32_t bits, bool is_float = false, uint32_t exp_bits = 0) {
    ExtraChannelInfo info;
    info.bit_depth.bits_per_sample = bits;
    info.bit_depth.floating_point_sample = is_float;
    info.bit_depth.exponent_bits_per_sample = exp_bits;
    metadata->m.extra_channel_info.push_back(info);
    metadata->m.num_extra_channels =
        static_cast<uint32_t>(metadata->m.extra_channel_info.size());
  }
};

// A channel whose sample (x, y) is f(x, y).
template <typename F>
ModularChannel MakeChannel(uint64_t w, uint64_t h, int32_t shift, F f) {
  ModularChannel c =
      ModularChannel::Create(HeapMemoryManager(), w, h, shift, shift).value();
  for (uint64_t y = 0; y < h; ++y) {
    for (uint64_t x = 0; x < w; ++x) c.Row(y)[x] = f(x, y);
  }
  return c;
}

ModularImage MakeImage(int32_t bit_depth, std::vector<ModularChannel> channels,
                       uint64_t w, uint64_t h) {
  ModularImage image(HeapMemoryManager());
  image.width = w;
  image.height = h;
  image.bit_depth = bit_depth;
  image.error = false;
  image.channels = std::move(channels);
  return image;
}

TEST(CopyChannelsToOutputTest, EightBitRgb) {
  OutputSetup s(8, static_cast<uint32_t>(ColorTransformKind::kNone));
  std::vector<ModularChannel> channels;
  for (int c = 0; c < 3; ++c) {
    channels.push_back(MakeChannel(
        20, 10, 0, [c](uint64_t x, uint64_t y) {
          return static_cast<int32_t>((x * 13 + y * 7 + c * 50) % 256);
        }));
  }
  ModularImage image = MakeImage(8, std::move(channels), 20, 10);
  GroupPlanes out({{20, 10}, {20, 10}, {20, 10}});
  ASSERT_TRUE(s.reader
                  .CopyChannelsToOutput(s.header, image, &s.state, out.input,
                                        PixelRect{0, 0, 20, 10})
                  .ok());
  for (size_t c = 0; c < 3; ++c) {
    for (size_t y = 0; y < 10; ++y) {
      for (size_t x = 0; x < 20; ++x) {
        const int32_t v = image.channels[c].Row(y)[x];
        ASSERT_EQ(out.at(c, x, y), static_cast<float>(v) * (1.0f / 255.0f));
      }
    }
    EXPECT_TRUE(out.BorderUntouched(c));
  }
  // The ends of the range.
  image.channels[0].Row(0)[0] = 255;
  image.channels[0].Row(0)[1] = 0;
  ASSERT_TRUE(s.reader
                  .CopyChannelsToOutput(s.header, image, &s.state, out.input,
                                        PixelRect{0, 0, 20, 10})
                  .ok());
  EXPECT_EQ(out.at(0, 0, 0), 1.0f);
  EXPECT_EQ(out.at(0, 1, 0), 0.0f);
}

TEST(CopyChannelsToOutputTest, EveryIntegerBitDepth) {
  for (uint32_t bits = 1; bits <= 31; ++bits) {
    OutputSetup s(bits, static_cast<uint32_t>(ColorTransformKind::kNone));
    const int64_t top = (int64_t{1} << bits) - 1;
    std::vector<ModularChannel> channels;
    for (int c = 0; c < 3; ++c) {
      channels.push_back(MakeChannel(9, 3, 0, [&](uint64_t x, uint64_t y) {
        return static_cast<int32_t>((top * static_cast<int64_t>(x + 3 * y + c)) / 12);
      }));
    }
    ModularImage image = MakeImage(static_cast<int32_t>(bits),
                                   std::move(channels), 9, 3);
    GroupPlanes out({{9, 3}, {9, 3}, {9, 3}});
    ASSERT_TRUE(s.reader
                    .CopyChannelsToOutput(s.header, image, &s.state, out.input,
                                          PixelRect{0, 0, 9, 3})
                    .ok())
        << bits;
    const double factor = 1.0 / static_cast<double>(top);
    for (size_t c = 0; c < 3; ++c) {
      for (size_t y = 0; y < 3; ++y) {
        for (size_t x = 0; x < 9; ++x) {
          const int32_t v = image.channels[c].Row(y)[x];
          const float expected =
              bits < 23 ? static_cast<float>(v) * static_cast<float>(factor)
                        : static_cast<float>(static_cast<double>(v) * factor);
          ASSERT_EQ(out.at(c, x, y), expected) << bits;
        }
      }
    }
    EXPECT_EQ(out.at(0, 0, 0), 0.0f);
  }
}

TEST(CopyChannelsToOutputTest, GreyFillsThreeChannels) {
  OutputSetup s(8, static_cast<uint32_t>(ColorTransformKind::kNone), /*grey=*/true);
  std::vector<ModularChannel> channels;
  channels.push_back(MakeChannel(7, 5, 0, [](uint64_t x, uint64_t y) {
    return static_cast<int32_t>(x * 30 + y);
  }));
  ModularImage image = MakeImage(8, std::move(channels), 7, 5);
  GroupPlanes out({{7, 5}, {7, 5}, {7, 5}});
  ASSERT_TRUE(s.reader
                  .CopyChannelsToOutput(s.header, image, &s.state, out.input,
                                        PixelRect{0, 0, 7, 5})
                  .ok());
  for (size_t c = 0; c < 3; ++c) {
    for (size_t y = 0; y < 5; ++y) {
      for (size_t x = 0; x < 7; ++x) {
        ASSERT_EQ(out.at(c, x, y),
                  static_cast<float>(x * 30 + y) * (1.0f / 255.0f));
      }
    }
  }
}

TEST(CopyChannelsToOutputTest, XybTakesDcStepsAndRebuildsB) {
  OutputSetup s(8, static_cast<uint32_t>(ColorTransformKind::kXyb));
  s.state.dequant.dc_steps[0] = 0.5f;
  s.state.dequant.dc_steps[1] = 0.25f;
  s.state.dequant.dc_steps[2] = 0.125f;
  std::vector<ModularChannel> channels;
  for (int c = 0; c < 3; ++c) {
    channels.push_back(MakeChannel(6, 4, 0, [c](uint64_t x, uint64_t y) {
      return static_cast<int32_t>(x) - static_cast<int32_t>(y) * 3 + c * 11;
    }));
  }
  ModularImage image = MakeImage(8, std::move(channels), 6, 4);
  GroupPlanes out({{6, 4}, {6, 4}, {6, 4}});
  ASSERT_TRUE(s.reader
                  .CopyChannelsToOutput(s.header, image, &s.state, out.input,
                                        PixelRect{0, 0, 6, 4})
                  .ok());
  for (size_t y = 0; y < 4; ++y) {
    for (size_t x = 0; x < 6; ++x) {
      const int32_t m0 = image.channels[0].Row(y)[x];
      const int32_t m1 = image.channels[1].Row(y)[x];
      const int32_t m2 = image.channels[2].Row(y)[x];
      EXPECT_EQ(out.at(0, x, y), static_cast<float>(m1) * 0.5f);
      EXPECT_EQ(out.at(1, x, y), static_cast<float>(m0) * 0.25f);
      EXPECT_EQ(out.at(2, x, y), static_cast<float>(m2 + m0) * 0.125f);
    }
  }
}

TEST(CopyChannelsToOutputTest, FloatSamplesAndExtraChannels) {
  OutputSetup s(16, static_cast<uint32_t>(ColorTransformKind::kNone));
  s.metadata->m.bit_depth.floating_point_sample = true;
  s.metadata->m.bit_depth.exponent_bits_per_sample = 5;
  s.AddExtra(16, /*is_float=*/true, 5);  // half-float extra channel
  s.AddExtra(10);                        // 10-bit integer extra channel
  std::vector<ModularChannel> channels;
  for (int c = 0; c < 4; ++c) {
    channels.push_back(MakeChannel(5, 3, 0, [c](uint64_t x, uint64_t y) {
      return static_cast<int32_t>(0x3C00 + x * 64 + y * 1024 + c);
    }));
  }
  channels.push_back(MakeChannel(5, 3, 0, [](uint64_t x, uint64_t y) {
    return static_cast<int32_t>(x * 200 + y);
  }));
  ModularImage image = MakeImage(16, std::move(channels), 5, 3);
  GroupPlanes out({{5, 3}, {5, 3}, {5, 3}, {5, 3}, {5, 3}});
  ASSERT_TRUE(s.reader
                  .CopyChannelsToOutput(s.header, image, &s.state, out.input,
                                        PixelRect{0, 0, 5, 3})
                  .ok());
  for (size_t c = 0; c < 4; ++c) {
    for (size_t y = 0; y < 3; ++y) {
      for (size_t x = 0; x < 5; ++x) {
        ASSERT_EQ(out.at(c, x, y),
                  static_cast<float>(CustomFloatValue(
                      static_cast<uint32_t>(image.channels[c].Row(y)[x]), 16,
                      5)));
      }
    }
  }
  for (size_t y = 0; y < 3; ++y) {
    for (size_t x = 0; x < 5; ++x) {
      ASSERT_EQ(out.at(4, x, y), static_cast<float>(x * 200 + y) *
                                     static_cast<float>(1.0 / 1023.0));
    }
  }
}

TEST(CopyChannelsToOutputTest, VarDctFrameConvertsOnlyExtraChannels) {
  OutputSetup s(8, static_cast<uint32_t>(ColorTransformKind::kXyb));
  s.reader.decode_color = false;
  s.AddExtra(8);
  std::vector<ModularChannel> channels;
  channels.push_back(MakeChannel(4, 4, 1, [](uint64_t x, uint64_t y) {
    return static_cast<int32_t>(x + 10 * y);
  }));
  ModularImage image = MakeImage(8, std::move(channels), 8, 8);
  // Only channel 3 (the extra channel) is written: its group is 4 x 4 at
  // shift 1.
  GroupPlanes out({{8, 8}, {8, 8}, {8, 8}, {4, 4}});
  ASSERT_TRUE(s.reader
                  .CopyChannelsToOutput(s.header, image, &s.state, out.input,
                                        PixelRect{0, 0, 8, 8})
                  .ok());
  for (size_t c = 0; c < 3; ++c) EXPECT_EQ(out.at(c, 0, 0), -9.0f);
  EXPECT_EQ(out.at(3, 3, 2), static_cast<float>(23) * (1.0f / 255.0f));
}

TEST(CopyChannelsToOutputTest, RightEdgeGroupAndMismatches) {
  OutputSetup s(8, static_cast<uint32_t>(ColorTransformKind::kNone));
  std::vector<ModularChannel> channels;
  for (int c = 0; c < 3; ++c) {
    channels.push_back(MakeChannel(300, 2, 0, [](uint64_t x, uint64_t) {
      return static_cast<int32_t>(x % 256);
    }));
  }
  ModularImage image = MakeImage(8, std::move(channels), 300, 2);
  // The group at x 256 of a 300-wide frame: 44 columns exist.
  GroupPlanes out({{44, 2}, {44, 2}, {44, 2}});
  ASSERT_TRUE(s.reader
                  .CopyChannelsToOutput(s.header, image, &s.state, out.input,
                                        PixelRect{256, 0, 256, 256})
                  .ok());
  EXPECT_EQ(out.at(0, 43, 1), static_cast<float>(299 % 256) / 255.0f);
  EXPECT_TRUE(out.BorderUntouched(0));
  // A source narrower than the pipeline's rectangle.
  GroupPlanes wide({{45, 2}, {45, 2}, {45, 2}});
  EXPECT_EQ(s.reader.CopyChannelsToOutput(s.header, image, &s.state,
                                          wide.input,
                                          PixelRect{256, 0, 256, 256}),
            FailedStatus());
  // Too few pipeline channels, and an image that still has transforms.
  GroupPlanes two({{44, 2}, {44, 2}});
  EXPECT_EQ(s.reader.CopyChannelsToOutput(s.header, image, &s.state, two.input,
                                          PixelRect{256, 0, 256, 256}),
            FailedStatus());
  image.transforms.emplace_back();
  EXPECT_EQ(s.reader.CopyChannelsToOutput(s.header, image, &s.state, out.input,
                                          PixelRect{256, 0, 256, 256}),
            FailedStatus());
}

TEST(CopyChannelsToOutputTest, ChannelChecks) {
  OutputSetup s(8, static_cast<uint32_t>(ColorTransformKind::kNone));
  auto image_with = [&](int32_t shift, uint64_t w) {
    std::vector<ModularChannel> channels;
    for (int c = 0; c < 3; ++c) {
      channels.push_back(
          MakeChannel(w, w, shift, [](uint64_t, uint64_t) { return 1; }));
    }
    return MakeImage(8, std::move(channels), 16, 16);
  };
  GroupPlanes out({{1, 1}, {1, 1}, {1, 1}});
  ModularImage shifted = image_with(4, 1);  // shift above 3
  EXPECT_EQ(s.reader.CopyChannelsToOutput(s.header, shifted, &s.state,
                                          out.input, PixelRect{0, 0, 16, 16}),
            FailedStatus());
  ModularImage ok_image = image_with(3, 2);
  GroupPlanes out2({{2, 2}, {2, 2}, {2, 2}});
  EXPECT_TRUE(s.reader
                  .CopyChannelsToOutput(s.header, ok_image, &s.state,
                                        out2.input, PixelRect{0, 0, 16, 16})
                  .ok());
  // Integer extra channel of 32 bits.
  s.AddExtra(32);
  ModularImage four = image_with(0, 2);
  four.channels.push_back(
      MakeChannel(2, 2, 0, [](uint64_t, uint64_t) { return 1; }));
  GroupPlanes out4({{2, 2}, {2, 2}, {2, 2}, {2, 2}});
  EXPECT_EQ(s.reader.CopyChannelsToOutput(s.header, four, &s.state, out4.input,
                                          PixelRect{0, 0, 2, 2}),
            FailedStatus());
}

}  // namespace
}  // namespace qov
