// Frames composed onto earlier ones, end to end through the decoder loop:
// small modular codestreams written here, decoded through the internal
// pixel hook, compared with the composition computed in the test from the
// samples that were coded. Covers every blend mode with and without clamp,
// straight and premultiplied alpha, frames partly outside the image,
// upsampled frames, reference slots and DC frames.
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
#include "tests/support/direct_upsample.h"
#include "tests/support/feature_streams.h"
#include "tests/support/hook_decode.h"

namespace qov {
namespace {

using modular_test::Leaf;
using modular_test::ModularFrameSpec;
using modular_test::TestChannel;
using test::TestPlane;

constexpr uint32_t kWidth = 8, kHeight = 6;

// Samples of one frame: 3 colour planes and an alpha plane, 8-bit.
struct Layer {
  uint32_t width = 0, height = 0;
  // The alpha plane's own size when it is coded at another resolution than
  // the colour; 0: width and height.
  uint32_t alpha_width = 0, alpha_height = 0;
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
  uint32_t frame_type = 0;  // 0 regular, 1 DC, 2 reference only
  uint32_t dc_level = 0;    // of a DC frame
  uint64_t flags = 0;       // FrameFlags
  bool save_before_color_transform = false;
  // Colour and alpha alike; the layer holds the coded (smaller) samples.
  uint32_t upsampling = 1;
  // The frame's size in image pixels; 0: the layer's size times upsampling.
  uint32_t width = 0, height = 0;
  uint32_t alpha_upsampling = 0;  // 0: the colour's
  uint32_t group_size_shift = 1;
  std::vector<Token> patches;  // patch stream; none when empty
};

uint32_t Log2(uint32_t factor) {
  uint32_t log = 0;
  while ((1u << log) < factor) ++log;
  return log;
}

std::vector<uint8_t> WriteCodestream(const CodecMetadata& metadata,
                                     const std::vector<Layer>& layers,
                                     const std::vector<FrameSpecOptions>& options) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(modular_test::WriteImageHeader(metadata, &bytes).ok());
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
    h.upsampling = o.upsampling;
    const uint32_t alpha_upsampling = o.alpha_upsampling != 0 ? o.alpha_upsampling : o.upsampling;
    h.ec_upsampling.assign(1, alpha_upsampling);
    h.group_size_shift = o.group_size_shift;
    h.ec_blending_info.resize(1);
    const uint32_t width = o.width != 0 ? o.width : layer.width * o.upsampling;
    const uint32_t height = o.height != 0 ? o.height : layer.height * o.upsampling;
    h.custom_size_or_origin = o.frame_type != 1 &&
                              (width != metadata.size.xsize ||
                               height != metadata.size.ysize || o.x0 != 0 || o.y0 != 0);
    h.custom_xsize = h.custom_size_or_origin ? width : 0;
    h.custom_ysize = h.custom_size_or_origin ? height : 0;
    h.x0 = o.x0;
    h.y0 = o.y0;
    for (BlendingInfo* b : {&h.blending_info, &h.ec_blending_info[0]}) {
      b->mode = o.mode;
      b->clamp = o.clamp;
      b->alpha_channel = 0;
      b->source = o.source;
    }
    h.frame_type = o.frame_type;
    h.dc_level = o.dc_level;
    h.flags = o.flags;
    if (!o.patches.empty()) {
      h.flags |= FrameFlags::kPatches;
      spec.features = [&o](BitWriter* writer) {
        return feature_test::WriteStreamTo(writer, 10, o.patches);
      };
    }
    h.is_last = o.is_last;
    h.save_as_reference = o.save_as_reference;
    h.save_before_color_transform = o.save_before_color_transform;
    for (size_t c = 0; c < 4; ++c) {
      TestChannel ch;
      ch.width = layer.width;
      ch.height = layer.height;
      if (c == 3 && layer.alpha_width != 0) {
        ch.width = layer.alpha_width;
        ch.height = layer.alpha_height;
        ch.hshift = ch.vshift = static_cast<int32_t>(Log2(alpha_upsampling)) -
                                static_cast<int32_t>(Log2(o.upsampling));
      }
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

CodecMetadata Metadata(bool premultiplied, uint32_t width = kWidth,
                       uint32_t height = kHeight) {
  CodecMetadata metadata = modular_test::PlainMetadata(width, height);
  modular_test::AddExtraChannel(&metadata, ExtraChannelKind::kAlpha, premultiplied);
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

// The samples of a layer as planes of values in 0..1.
std::vector<TestPlane> Planes(const Layer& l) {
  std::vector<TestPlane> planes(4, TestPlane(l.width, l.height));
  for (size_t c = 0; c < 4; ++c) {
    for (uint32_t y = 0; y < l.height; ++y) {
      for (uint32_t x = 0; x < l.width; ++x) planes[c].at(x, y) = Sample(l.at(c, x, y));
    }
  }
  return planes;
}

// Expected pixels of an image of bg's size: the background everywhere,
// composed with the foreground planes where they lie when placed at
// (t.x0, t.y0); t.width and t.height are the foreground's size.
std::vector<float> ExpectedOver(const BlendCase& t, const std::vector<TestPlane>& bg,
                                const std::vector<TestPlane>& fg) {
  const uint64_t w = bg[0].xsize, h = bg[0].ysize;
  std::vector<float> out(w * h * 4);
  for (uint64_t y = 0; y < h; ++y) {
    for (uint64_t x = 0; x < w; ++x) {
      float b[4] = {}, f[4] = {}, o[4] = {};
      for (size_t c = 0; c < 4; ++c) b[c] = bg[c].at(x, y);
      const int64_t fx = static_cast<int64_t>(x) - t.x0, fy = static_cast<int64_t>(y) - t.y0;
      if (fx >= 0 && fy >= 0 && fx < t.width && fy < t.height) {
        for (size_t c = 0; c < 4; ++c) f[c] = fg[c].at(fx, fy);
        Compose(t.mode, t.clamp, t.premultiplied, b, f, o);
      } else {
        std::copy(b, b + 4, o);
      }
      std::copy(o, o + 4, out.begin() + (y * w + x) * 4);
    }
  }
  return out;
}

std::vector<float> Expected(const BlendCase& t, const Layer& bg, const Layer& fg) {
  return ExpectedOver(t, Planes(bg), Planes(fg));
}

// Adds a failure for each of the first few samples of `got` (float32,
// interleaved) further than `tolerance` from `want`, in an image `width`
// pixels wide.
void ExpectPixels(const std::vector<uint8_t>& got_bytes, const std::vector<float>& want,
                  uint64_t width, float tolerance) {
  ASSERT_EQ(got_bytes.size(), want.size() * sizeof(float));
  const float* got = reinterpret_cast<const float*>(got_bytes.data());
  size_t wrong = 0;
  for (size_t i = 0; i < want.size() && wrong < 4; ++i) {
    if (!(std::fabs(got[i] - want[i]) <= tolerance)) {
      ++wrong;
      ADD_FAILURE() << "pixel (" << (i / 4) % width << ", " << (i / 4) / width
                    << ") channel " << i % 4 << ": got " << got[i] << ", want " << want[i];
    }
  }
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
      ExpectPixels(r.frames[0], Expected(t, bg, fg), kWidth, 1e-5f);
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

// A frame coded at a fraction of its size and upsampled 2, 4 or 8 times
// (colour and alpha alike), cut to its size in image pixels, then placed on
// a larger canvas and composed there. The expectation upsamples the coded
// planes directly with the image's weights, mirrored at the coded frame's
// own edges, cuts, and composes.
TEST(ModularCompositingTest, UpsampledFramesComposedOntoALargerCanvas) {
  constexpr uint32_t kCanvasW = 40, kCanvasH = 30;
  struct Case {
    const char* what;
    uint32_t upsampling;
    uint32_t coded_w, coded_h;  // the layer
    uint32_t width, height;     // the frame in image pixels
    int32_t x0, y0;
    uint32_t mode;
    bool clamp;
  };
  const Case cases[] = {
      {"2x, inside, replace", 2, 5, 4, 10, 8, 3, 2, 0, false},
      {"2x, odd size cut, add, out left and bottom", 2, 6, 4, 11, 7, -3, 25, 1, false},
      {"4x, cut, blend, out right", 4, 5, 4, 18, 13, 30, 5, 2, false},
      {"4x, alpha-weighted add, clamp, out top", 4, 3, 3, 12, 10, 14, -4, 3, true},
      {"8x, larger than the canvas, blend", 8, 6, 5, 48, 40, -4, -6, 2, false},
      {"8x, cut to one coded pixel's worth, multiply", 8, 2, 2, 9, 15, 20, 10, 4, false},
  };
  const CodecMetadata metadata = Metadata(false, kCanvasW, kCanvasH);
  const Layer bg = MakeLayer(kCanvasW, kCanvasH, 6);
  for (const Case& t : cases) {
    SCOPED_TRACE(t.what);
    const Layer fg = MakeLayer(t.coded_w, t.coded_h, 7);
    FrameSpecOptions first;
    first.is_last = false;
    FrameSpecOptions second;
    second.mode = t.mode;
    second.clamp = t.clamp;
    second.x0 = t.x0;
    second.y0 = t.y0;
    second.upsampling = t.upsampling;
    second.width = t.width;
    second.height = t.height;
    const std::vector<uint8_t> file = WriteCodestream(metadata, {bg, fg}, {first, second});

    const float* weights = t.upsampling == 2   ? metadata.transform_data.upsampling2_weights
                           : t.upsampling == 4 ? metadata.transform_data.upsampling4_weights
                                               : metadata.transform_data.upsampling8_weights;
    const size_t shift = t.upsampling == 2 ? 1 : (t.upsampling == 4 ? 2 : 3);
    std::vector<TestPlane> up;
    for (const TestPlane& plane : Planes(fg)) {
      const TestPlane whole = test::DirectUpsample(plane, weights, shift);
      ASSERT_GE(whole.xsize, t.width);
      ASSERT_GE(whole.ysize, t.height);
      TestPlane cut(t.width, t.height);
      for (uint32_t y = 0; y < t.height; ++y) {
        for (uint32_t x = 0; x < t.width; ++x) cut.at(x, y) = whole.at(x, y);
      }
      up.push_back(cut);
    }
    const BlendCase blend = {t.what, t.mode, t.clamp, false, t.width, t.height, t.x0, t.y0};
    const std::vector<float> want = ExpectedOver(blend, Planes(bg), up);
    for (const size_t threads : {size_t{0}, size_t{3}}) {
      HookDecodeOptions options;
      options.threads = threads;
      const HookDecodeResult r = HookDecode(file, options);
      ASSERT_TRUE(r.ok) << r.error;
      ASSERT_EQ(r.frames.size(), 1u);
      ASSERT_EQ(r.width, kCanvasW);
      ASSERT_EQ(r.height, kCanvasH);
      ExpectPixels(r.frames[0], want, kCanvasW, 1e-4f);
    }
  }
}

// A reference frame saved before the colour transform holds samples that
// composing must not use: blending onto its slot fails the image, while a
// frame that replaces the whole image without blending decodes though it
// names that slot. The same frame saved after the colour transform is a
// usable background.
TEST(ModularCompositingTest, SlotSavedBeforeTheColourTransform) {
  const CodecMetadata metadata = Metadata(false);
  const Layer reference = MakeLayer(kWidth, kHeight, 8);
  const Layer top = MakeLayer(kWidth, kHeight, 9);
  struct Case {
    const char* what;
    bool before_ct;
    uint32_t mode;  // of the last frame, onto slot 2
    bool decodes;
  };
  const Case cases[] = {
      {"before, add", true, 1, false},
      {"before, blend", true, 2, false},
      {"before, replace without crop", true, 0, true},
      {"after, add", false, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FrameSpecOptions ref_only;
    ref_only.frame_type = 2;
    ref_only.is_last = false;
    ref_only.save_as_reference = 2;
    ref_only.save_before_color_transform = c.before_ct;
    FrameSpecOptions last;
    last.mode = c.mode;
    last.source = 2;
    const std::vector<uint8_t> file =
        WriteCodestream(metadata, {reference, top}, {ref_only, last});
    const HookDecodeResult r = HookDecode(file, HookDecodeOptions());
    ASSERT_EQ(r.ok, c.decodes) << r.error;
    if (!r.ok) continue;
    const BlendCase t = {c.what, c.mode, false, false, kWidth, kHeight, 0, 0};
    ExpectPixels(r.frames[0], Expected(t, reference, top), kWidth, 1e-5f);
  }
}

// A DC frame (level 1, an eighth of the image in each direction) is never
// shown and never becomes a blending background: the frames around it
// compose as if it were not there. A later frame that takes its low
// frequencies from the DC frame needs it: without the DC frame the image
// fails.
TEST(ModularCompositingTest, DcFrameFeedsALaterFrameAndStaysHidden) {
  constexpr uint32_t kW = 20, kH = 12;  // DC frame 3 x 2
  const CodecMetadata metadata = Metadata(false, kW, kH);
  const Layer bg = MakeLayer(kW, kH, 10);
  const Layer dc = MakeLayer(3, 2, 11);
  const Layer top = MakeLayer(7, 5, 12);
  // Slot 0, which a frame saved like the DC frame (slot 0) would overwrite.
  FrameSpecOptions first;
  first.is_last = false;
  FrameSpecOptions dc_frame;
  dc_frame.frame_type = 1;
  dc_frame.dc_level = 1;
  dc_frame.is_last = false;
  FrameSpecOptions last;
  last.mode = 1;  // add
  last.source = 0;
  last.x0 = 9;
  last.y0 = 4;
  last.flags = FrameFlags::kUseDcFrame;
  const BlendCase t = {"add onto slot 0", 1, false, false, 7, 5, 9, 4};
  const std::vector<float> want = Expected(t, bg, top);
  for (const size_t chunk : {size_t{0}, size_t{7}}) {
    HookDecodeOptions options;
    options.chunk = chunk;
    const HookDecodeResult r =
        HookDecode(WriteCodestream(metadata, {bg, dc, top}, {first, dc_frame, last}), options);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.frames.size(), 1u);
    ExpectPixels(r.frames[0], want, kW, 1e-5f);
  }
  const HookDecodeResult without =
      HookDecode(WriteCodestream(metadata, {bg, top}, {first, last}), HookDecodeOptions());
  EXPECT_FALSE(without.ok);
}

// An alpha channel coded at another resolution than the colour is
// upsampled on its own, ahead of the patches, so that patches drawn where
// the colour is not upsampled meet it at the image's resolution. Where the
// colour is upsampled too, patches need the alpha to follow the colour's
// factor: such a frame draws its patches before both are upsampled, and a
// frame with patches and an alpha of another factor is refused. Frames of
// two groups across; the patch straddles the groups' edge. The expectation
// upsamples the coded planes directly, with the patch copied from the
// stored frame at the resolution it is drawn at.
TEST(ModularCompositingTest, AlphaUpsampledOtherwiseThanTheColour) {
  constexpr uint32_t kCodedW = 136, kCodedH = 10;  // groups of 128 coded pixels
  // The patch: a 9 x 4 rectangle of the stored frame at (5, 3), replacing
  // colour and alpha at (124, 2) of the frame's coded samples.
  constexpr uint32_t kPatchW = 9, kPatchH = 4, kFromX = 5, kFromY = 3, kAtX = 124, kAtY = 2;
  const std::vector<Token> patch = {
      {0, 1},                                // one source
      {1, 1},                                // slot 1
      {3, kFromX},      {3, kFromY},         // its place in the stored frame
      {2, kPatchW - 1}, {2, kPatchH - 1},    // its size
      {7, 0},                                // placed once
      {4, kAtX},        {4, kAtY},           // there
      {5, 1},           {5, 1},              // replacing colour and alpha
  };
  struct Case {
    const char* what;
    uint32_t upsampling, alpha_upsampling;
    bool patches;
    bool decodes;
  };
  const Case cases[] = {
      {"colour 2, alpha 4", 2, 4, false, true},
      {"colour 1, alpha 2", 1, 2, false, true},
      {"colour 4, alpha 8", 4, 8, false, true},
      {"colour 1, alpha 8, patch over the upsampled alpha", 1, 8, true, true},
      {"colour 2, alpha 2, patch before both are upsampled", 2, 2, true, true},
      {"colour 2, alpha 4, patch: refused", 2, 4, true, false},
      {"colour 4, alpha 8, patch: refused", 4, 8, true, false},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.what);
    const uint32_t width = kCodedW * t.upsampling, height = kCodedH * t.upsampling;
    const CodecMetadata metadata = Metadata(false, width, height);
    const auto weights = [&](uint32_t factor) {
      return factor == 2   ? metadata.transform_data.upsampling2_weights
             : factor == 4 ? metadata.transform_data.upsampling4_weights
                           : metadata.transform_data.upsampling8_weights;
    };
    // The stored frame, at the image's size, in slot 1 before the colour
    // transform (which patches need).
    const Layer stored = MakeLayer(width, height, 13);
    FrameSpecOptions first;
    first.frame_type = 2;
    first.is_last = false;
    first.save_as_reference = 1;
    first.save_before_color_transform = true;
    // The frame shown: colour coded at 1 / upsampling, alpha at
    // 1 / alpha_upsampling of the image's size.
    Layer coded = MakeLayer(kCodedW, kCodedH, 14);
    const uint32_t alpha_w = (width + t.alpha_upsampling - 1) / t.alpha_upsampling;
    const uint32_t alpha_h = (height + t.alpha_upsampling - 1) / t.alpha_upsampling;
    const Layer alpha = MakeLayer(alpha_w, alpha_h, 15);
    coded.alpha_width = alpha_w;
    coded.alpha_height = alpha_h;
    coded.planes[3] = alpha.planes[3];
    FrameSpecOptions last;
    last.upsampling = t.upsampling;
    last.alpha_upsampling = t.alpha_upsampling;
    last.group_size_shift = 0;
    if (t.patches) last.patches = patch;
    const std::vector<uint8_t> file =
        WriteCodestream(metadata, {stored, coded}, {first, last});

    std::vector<TestPlane> want = Planes(coded);  // colour; alpha below
    want[3] = Planes(alpha)[3];
    const std::vector<TestPlane> from = Planes(stored);
    const auto draw_patch = [&](size_t c) {
      for (uint32_t y = 0; y < kPatchH; ++y) {
        for (uint32_t x = 0; x < kPatchW; ++x) {
          want[c].at(kAtX + x, kAtY + y) = from[c].at(kFromX + x, kFromY + y);
        }
      }
    };
    const auto upsample = [&](size_t c, uint32_t factor) {
      if (factor == 1) return;
      const TestPlane whole = test::DirectUpsample(want[c], weights(factor), Log2(factor));
      TestPlane cut(width, height);
      for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) cut.at(x, y) = whole.at(x, y);
      }
      want[c] = cut;
    };
    if (t.alpha_upsampling != t.upsampling) upsample(3, t.alpha_upsampling);
    if (t.patches) {
      for (size_t c = 0; c < 4; ++c) draw_patch(c);
    }
    for (size_t c = 0; c < 3; ++c) upsample(c, t.upsampling);
    if (t.alpha_upsampling == t.upsampling) upsample(3, t.upsampling);
    std::vector<float> pixels(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < pixels.size(); ++i) {
      pixels[i] = want[i % 4].samples[i / 4];
    }

    struct Run {
      size_t chunk, threads;
    };
    for (const Run run : {Run{0, 0}, Run{7, 0}, Run{0, 3}}) {
      SCOPED_TRACE("chunk " + std::to_string(run.chunk) + ", threads " +
                   std::to_string(run.threads));
      HookDecodeOptions options;
      options.chunk = run.chunk;
      options.threads = run.threads;
      const HookDecodeResult r = HookDecode(file, options);
      ASSERT_EQ(r.ok, t.decodes) << r.error;
      if (!r.ok) continue;
      ASSERT_EQ(r.frames.size(), 1u);
      ASSERT_EQ(r.width, width);
      ASSERT_EQ(r.height, height);
      ExpectPixels(r.frames[0], pixels, width, 1e-4f);
    }
  }
}

}  // namespace
}  // namespace qov
