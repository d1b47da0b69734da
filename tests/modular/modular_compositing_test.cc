// Frames composed onto earlier ones, end to end through the decoder loop:
// small modular codestreams written here, decoded through the internal
// pixel hook, compared with the composition computed in the test from the
// samples that were coded. Covers every blend mode with and without clamp,
// straight and premultiplied alpha, and frames partly outside the image.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/write_fields.h"
#include "tests/modular/modular_frame_writer_helpers.h"
#include "tests/support/hook_decode.h"

namespace qov {
namespace {

using modular_test::Leaf;
using modular_test::ModularFrameSpec;
using modular_test::TestChannel;

constexpr uint32_t kWidth = 8, kHeight = 6;

// Samples of one frame: 3 colour planes and an alpha plane, 8-bit.
struct Layer {
  uint32_t width = 0, height = 0;
  std::vector<int32_t> planes[4];
  int32_t at(size_t c, int64_t x, int64_t y) const { return planes[c][y * width + x]; }
};

Layer MakeLayer(uint32_t w, uint32_t h, uint32_t seed) {
  Layer l;
  l.width = w;
  l.height = h;
  for (size_t c = 0; c < 4; ++c) {
    l.planes[c].resize(static_cast<size_t>(w) * h);
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        // Spread over 0..255 with every channel different; alpha covers 0
        // and 255 too.
        l.planes[c][y * w + x] =
            static_cast<int32_t>((x * 37 + y * 91 + c * 53 + seed * 29) % 256);
      }
    }
  }
  return l;
}

struct FrameSpecOptions {
  uint32_t mode = 0;  // blend mode of colour and alpha
  bool clamp = false;
  int32_t x0 = 0, y0 = 0;
  bool is_last = true;
  uint32_t save_as_reference = 0;
  uint32_t source = 0;      // reference slot blended onto
  uint32_t frame_type = 0;  // 0 regular, 2 reference only
};

std::vector<uint8_t> WriteCodestream(const CodecMetadata& metadata,
                                     const std::vector<Layer>& layers,
                                     const std::vector<FrameSpecOptions>& options) {
  BitWriter writer(HeapMemoryManager());
  EXPECT_TRUE(WriteCodestreamSignature(&writer, nullptr).ok());
  EXPECT_TRUE(Bundle::Write(metadata.size, &writer, LayerType::kHeader, nullptr).ok());
  EXPECT_TRUE(Bundle::Write(metadata.m, &writer, LayerType::kHeader, nullptr).ok());
  CustomTransformData transform = metadata.transform_data;
  transform.xyb = false;
  EXPECT_TRUE(Bundle::Write(transform, &writer, LayerType::kHeader, nullptr).ok());
  EXPECT_TRUE(writer.WithBitBudget(8, LayerType::kHeader, nullptr, [&]() {
    writer.ZeroPadToByte();
    return OkStatus();
  }).ok());
  std::vector<uint8_t> bytes;
  {
    const Span span = writer.GetSpan();
    bytes.assign(span.data, span.data + span.size);
  }
  for (size_t i = 0; i < layers.size(); ++i) {
    const Layer& layer = layers[i];
    const FrameSpecOptions& o = options[i];
    ModularFrameSpec spec(&metadata);
    FrameHeader& h = spec.header;
    h.all_default = false;
    h.encoding = static_cast<uint32_t>(FrameCoding::kModular);
    h.color_transform = static_cast<uint32_t>(ColorTransformKind::kNone);
    h.loop_filter.gab = false;
    h.loop_filter.epf_iters = 0;
    h.ec_upsampling.assign(1, 1);
    h.ec_blending_info.resize(1);
    h.custom_size_or_origin =
        layer.width != kWidth || layer.height != kHeight || o.x0 != 0 || o.y0 != 0;
    h.custom_xsize = layer.width;
    h.custom_ysize = layer.height;
    h.x0 = o.x0;
    h.y0 = o.y0;
    for (BlendingInfo* b : {&h.blending_info, &h.ec_blending_info[0]}) {
      b->mode = o.mode;
      b->clamp = o.clamp;
      b->alpha_channel = 0;
      b->source = o.source;
    }
    h.frame_type = o.frame_type;
    h.is_last = o.is_last;
    h.save_as_reference = o.save_as_reference;
    for (size_t c = 0; c < 4; ++c) {
      TestChannel ch;
      ch.width = layer.width;
      ch.height = layer.height;
      ch.samples = layer.planes[c];
      spec.channels.push_back(ch);
    }
    spec.tree = modular_test::Flatten(Leaf(5));
    std::vector<uint8_t> frame;
    EXPECT_TRUE(modular_test::WriteModularFrame(spec, &frame).ok());
    bytes.insert(bytes.end(), frame.begin(), frame.end());
  }
  return bytes;
}

CodecMetadata Metadata(bool premultiplied) {
  CodecMetadata metadata;
  metadata.size.small = false;
  metadata.size.ratio = 0;
  metadata.size.xsize = kWidth;
  metadata.size.ysize = kHeight;
  metadata.m.all_default = false;
  metadata.m.xyb_encoded = false;
  metadata.m.bit_depth.bits_per_sample = 8;
  ExtraChannelInfo alpha;
  alpha.all_default = false;
  alpha.type = static_cast<uint32_t>(ExtraChannelKind::kAlpha);
  alpha.bit_depth.bits_per_sample = 8;
  alpha.alpha_associated = premultiplied;
  metadata.m.extra_channel_info.push_back(alpha);
  metadata.m.num_extra_channels = 1;
  return metadata;
}

float Sample(int32_t v) { return static_cast<float>(v) * static_cast<float>(1.0 / 255.0); }
float Clamp01(float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }

// The composed pixel (r, g, b, a) of a background pixel and a foreground
// pixel, by the blend mode.
void Compose(uint32_t mode, bool clamp, bool premultiplied, const float bg[4],
             const float fg[4], float out[4]) {
  auto c = [&](float t) { return clamp ? Clamp01(t) : t; };
  switch (mode) {
    case 0:
      std::copy(fg, fg + 4, out);
      return;
    case 1:
      for (int k = 0; k < 4; ++k) out[k] = bg[k] + fg[k];
      return;
    case 2: {
      const float fa = c(fg[3]), ba = bg[3];
      const float a = 1.0f - (1.0f - ba) * (1.0f - fa);
      for (int k = 0; k < 3; ++k) {
        if (premultiplied) {
          out[k] = bg[k] * (1.0f - fa) + fg[k];
        } else {
          const float inv = a <= 0.0f ? 0.0f : 1.0f / a;
          out[k] = (fg[k] * fa + (bg[k] * ba) * (1.0f - fa)) * inv;
        }
      }
      out[3] = a;
      return;
    }
    case 3:
      for (int k = 0; k < 3; ++k) out[k] = c(fg[3]) * fg[k] + bg[k];
      out[3] = bg[3];  // the alpha channel weighted by itself stays
      return;
    case 4:
      for (int k = 0; k < 4; ++k) out[k] = bg[k] * c(fg[k]);
      return;
  }
}

struct BlendCase {
  const char* what;
  uint32_t mode;
  bool clamp;
  bool premultiplied;
  uint32_t width, height;  // of the second frame
  int32_t x0, y0;
};

// Expected pixels of the image: the first layer everywhere, composed with
// the second where it lies.
std::vector<float> Expected(const BlendCase& t, const Layer& bg, const Layer& fg) {
  std::vector<float> out(kWidth * kHeight * 4);
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      float b[4] = {}, f[4] = {}, o[4] = {};
      for (size_t c = 0; c < 4; ++c) b[c] = Sample(bg.at(c, x, y));
      const int64_t fx = static_cast<int64_t>(x) - t.x0, fy = static_cast<int64_t>(y) - t.y0;
      if (fx >= 0 && fy >= 0 && fx < t.width && fy < t.height) {
        for (size_t c = 0; c < 4; ++c) f[c] = Sample(fg.at(c, fx, fy));
        Compose(t.mode, t.clamp, t.premultiplied, b, f, o);
      } else {
        std::copy(b, b + 4, o);
      }
      std::copy(o, o + 4, out.begin() + (y * kWidth + x) * 4);
    }
  }
  return out;
}

TEST(ModularCompositingTest, SecondFrameComposedOntoTheFirst) {
  const BlendCase cases[] = {
      {"replace, cropped inside", 0, false, false, 3, 2, 2, 1},
      {"replace, partly outside left and top", 0, false, false, 5, 4, -2, -3},
      {"replace, larger than the image", 0, false, false, 12, 9, -3, -1},
      {"add", 1, false, false, kWidth, kHeight, 0, 0},
      {"add, partly outside right and bottom", 1, false, false, 6, 5, 4, 3},
      {"blend, straight alpha", 2, false, false, kWidth, kHeight, 0, 0},
      {"blend, premultiplied alpha", 2, false, true, kWidth, kHeight, 0, 0},
      {"blend, straight, clamp, cropped", 2, true, false, 4, 4, 3, 1},
      {"alpha-weighted add", 3, false, false, kWidth, kHeight, 0, 0},
      {"alpha-weighted add, clamp, cropped", 3, true, false, 5, 3, -1, 2},
      {"multiply", 4, false, false, kWidth, kHeight, 0, 0},
      {"multiply, clamp, premultiplied", 4, true, true, 7, 4, 2, 2},
  };
  for (const BlendCase& t : cases) {
    SCOPED_TRACE(t.what);
    const CodecMetadata metadata = Metadata(t.premultiplied);
    const Layer bg = MakeLayer(kWidth, kHeight, 1);
    const Layer fg = MakeLayer(t.width, t.height, 2);
    FrameSpecOptions first;
    first.is_last = false;
    FrameSpecOptions second;
    second.mode = t.mode;
    second.clamp = t.clamp;
    second.x0 = t.x0;
    second.y0 = t.y0;
    const std::vector<uint8_t> file = WriteCodestream(metadata, {bg, fg}, {first, second});
    for (const size_t threads : {size_t{0}, size_t{2}}) {
      HookDecodeOptions options;
      options.threads = threads;
      const HookDecodeResult r = HookDecode(file, options);
      ASSERT_TRUE(r.ok) << r.error;
      ASSERT_EQ(r.frames.size(), 1u);
      ASSERT_EQ(r.channels, 4u);
      ASSERT_EQ(r.frames[0].size(), kWidth * kHeight * 4 * sizeof(float));
      const std::vector<float> want = Expected(t, bg, fg);
      const float* got = reinterpret_cast<const float*>(r.frames[0].data());
      size_t wrong = 0;
      for (size_t i = 0; i < want.size() && wrong < 4; ++i) {
        if (std::fabs(got[i] - want[i]) > 1e-5f) {
          ++wrong;
          ADD_FAILURE() << "pixel (" << (i / 4) % kWidth << ", " << (i / 4) / kWidth
                        << ") channel " << i % 4 << ": got " << got[i] << ", want "
                        << want[i];
        }
      }
    }
  }
}

// A frame kept only as a reference (never displayed) is the background of
// the last frame, which names its slot; the frame between them replaces the
// whole image in another slot and is never seen.
TEST(ModularCompositingTest, ReferenceOnlyFrameIsTheBackgroundOfItsSlot) {
  const CodecMetadata metadata = Metadata(false);
  const Layer reference = MakeLayer(kWidth, kHeight, 3);
  const Layer hidden = MakeLayer(kWidth, kHeight, 4);
  const Layer top = MakeLayer(4, 3, 5);
  FrameSpecOptions ref_only;
  ref_only.frame_type = 2;
  ref_only.is_last = false;
  ref_only.save_as_reference = 1;
  FrameSpecOptions replaced;
  replaced.is_last = false;
  replaced.save_as_reference = 0;
  FrameSpecOptions last;
  last.mode = 1;  // add
  last.source = 1;
  last.x0 = 5;
  last.y0 = -1;
  const std::vector<uint8_t> file = WriteCodestream(
      metadata, {reference, hidden, top}, {ref_only, replaced, last});
  for (const size_t chunk : {size_t{0}, size_t{5}}) {
    HookDecodeOptions options;
    options.chunk = chunk;
    const HookDecodeResult r = HookDecode(file, options);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.frames.size(), 1u);
    const BlendCase t = {"add onto slot 1", 1, false, false, 4, 3, 5, -1};
    const std::vector<float> want = Expected(t, reference, top);
    const float* got = reinterpret_cast<const float*>(r.frames[0].data());
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_NEAR(got[i], want[i], 1e-5f) << "pixel (" << (i / 4) % kWidth << ", "
                                           << (i / 4) / kWidth << ") channel " << i % 4;
    }
  }
}

}  // namespace
}  // namespace qov
