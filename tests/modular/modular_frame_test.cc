// The modular frame reader with the section decoders: whole modular frames
// written by the test writers (one group, several groups, several passes,
// global and local trees, transforms, extra channels with shifts) decoded
// through the frame driver into a real pipeline whose capturing stages are
// compared with values computed here; and the VarDCT streams (DC
// coefficients, block metadata, raw quantisation tables) read on their own.
#include "lib/modular/modular_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "lib/base/memory.h"
#include "lib/encode/write_fields.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/frame/frame_driver.h"
#include "lib/frame/image_bundle.h"
#include "lib/render/render_pipeline.h"
#include "lib/vardct/varblock.h"
#include "tests/modular/forward_transforms_helpers.h"
#include "tests/modular/modular_frame_writer_helpers.h"
#include "tests/support/pipeline_capture.h"

namespace qov {
namespace {

using modular_test::Leaf;
using modular_test::ModularFrameSpec;
using modular_test::Split;
using modular_test::TestChannel;

// A gradient-predicted tree with a split on the channel, so that streams
// and channels take different leaves.
std::vector<MaTreeNode> SomeTree() {
  return modular_test::Flatten(
      Split(0, 0, Split(2, 5, Leaf(5), Leaf(1)), Leaf(5)));
}

// Random samples of [0, 2^bits) for a channel of that size and shift.
TestChannel RandomChannel(uint32_t w, uint32_t h, int32_t shift, uint32_t bits,
                          uint32_t seed) {
  std::mt19937 rng(seed);
  TestChannel c;
  c.width = w;
  c.height = h;
  c.hshift = c.vshift = shift;
  c.samples.resize(static_cast<size_t>(w) * h);
  // Smooth with noise, so the predictors have something to do.
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const uint32_t smooth = (x * 3 + y * 5 + seed * 17) % (1u << bits);
      const uint32_t noise = rng() % 7;
      c.at(x, y) = static_cast<int32_t>((smooth + noise) % (1u << bits));
    }
  }
  return c;
}

std::unique_ptr<CodecMetadata> ModularMetadata(uint32_t w, uint32_t h,
                                               uint32_t bits, bool grey = false) {
  auto metadata = std::make_unique<CodecMetadata>();
  metadata->size.small = false;
  metadata->size.ratio = 0;
  metadata->size.xsize = w;
  metadata->size.ysize = h;
  metadata->m.all_default = false;
  metadata->m.xyb_encoded = false;
  metadata->m.bit_depth.bits_per_sample = bits;
  if (grey) metadata->m.color_encoding.color_space = Raw(ColorSpace::kGray);
  return metadata;
}

void AddExtraChannel(CodecMetadata* metadata, uint32_t bits) {
  ExtraChannelInfo info;
  info.all_default = false;
  info.type = static_cast<uint32_t>(ExtraChannelKind::kDepth);
  info.bit_depth.bits_per_sample = bits;
  metadata->m.extra_channel_info.push_back(info);
  metadata->m.num_extra_channels =
      static_cast<uint32_t>(metadata->m.extra_channel_info.size());
}

ModularFrameSpec ModularFrame(const CodecMetadata* metadata,
                              uint32_t group_size_shift = 1) {
  ModularFrameSpec spec(metadata);
  spec.header.all_default = false;
  spec.header.encoding = static_cast<uint32_t>(FrameCoding::kModular);
  spec.header.color_transform = static_cast<uint32_t>(ColorTransformKind::kNone);
  spec.header.group_size_shift = group_size_shift;
  spec.header.loop_filter.gab = false;
  spec.header.loop_filter.epf_iters = 0;
  spec.header.ec_upsampling.assign(metadata->m.num_extra_channels, 1);
  spec.header.ec_blending_info.resize(metadata->m.num_extra_channels);
  spec.tree = SomeTree();
  return spec;
}

// A thread per worker taking items from a shared counter.
struct ThreadedPool {
  explicit ThreadedPool(size_t n) : threads(n) {}
  TaskPool pool() { return TaskPool{&Run, this}; }
  static int32_t Run(void* runner, void* opaque, TaskInitFn init,
                     TaskItemFn item, uint32_t begin, uint32_t end) {
    const size_t n = static_cast<ThreadedPool*>(runner)->threads;
    if (init != nullptr && init(opaque, n) != 0) return -1;
    std::atomic<uint32_t> next{begin};
    std::vector<std::thread> workers;
    for (size_t t = 0; t < n; ++t) {
      workers.emplace_back([&, t]() {
        for (uint32_t i = next++; i < end; i = next++) item(opaque, i, t);
      });
    }
    for (auto& w : workers) w.join();
    return 0;
  }
  size_t threads;
};

// One image decoded frame by frame through the driver into a stand-in
// pipeline ended by capturing stages.
struct Decoded {
  explicit Decoded(std::unique_ptr<CodecMetadata> m)
      : metadata(std::move(m)),
        state(HeapMemoryManager()),
        bundle(HeapMemoryManager(), &metadata->m) {}

  // Pipeline channel shifts (0 when missing).
  std::vector<uint64_t> shifts;
  std::unique_ptr<CodecMetadata> metadata;
  FrameDecodingState state;
  ImageBundle bundle;
  std::vector<test::ChannelCaptureStage*> captures;
  uint64_t sections = 0;
  // Runs once the frame's state is prepared, before any section.
  std::function<void()> before_sections;

  // Decodes the frame; `one_by_one` hands the sections over in stored order
  // one at a time (giving skipped ones again), else all in one call.
  Status Decode(const std::vector<uint8_t>& bytes, bool one_by_one,
                TaskPool pool = TaskPool()) {
    state.stand_in_stages = [this](const FrameHeader&, size_t n) {
      return test::CaptureStages(n, shifts, &captures);
    };
    FrameDriver driver(&state, &pool, metadata.get());
    BitReader reader(Span(bytes.data(), bytes.size()));
    QOV_RETURN_IF_ERROR(driver.BeginFrame(reader, &bundle, false));
    uint64_t offset = reader.Position() / 8;
    QOV_RETURN_IF_ERROR(driver.PrepareFrameOutput());
    if (before_sections) before_sections();
    std::vector<std::unique_ptr<BitReader>> readers;
    std::vector<SectionInput> inputs;
    for (size_t k = 0; k < driver.toc.size(); ++k) {
      const uint64_t size = driver.toc[k].size;
      QOV_ENSURE(offset + size <= bytes.size());
      readers.push_back(std::make_unique<BitReader>(
          Span(bytes.data() + offset, static_cast<size_t>(size))));
      offset += size;
      SectionInput input;
      input.reader = readers.back().get();
      input.id = driver.toc[k].id;
      input.index = k;
      inputs.push_back(input);
    }
    sections = inputs.size();
    if (one_by_one) {
      std::vector<SectionInput> pending;
      for (const SectionInput& input : inputs) {
        pending.push_back(input);
        std::vector<SectionOutcome> outcomes(pending.size());
        QOV_RETURN_IF_ERROR(driver.DecodeSections(
            pending.data(), pending.size(), outcomes.data()));
        std::vector<SectionInput> still;
        for (size_t i = 0; i < pending.size(); ++i) {
          if (outcomes[i] == SectionOutcome::kSkipped) {
            still.push_back(pending[i]);
          } else {
            QOV_ENSURE(outcomes[i] == SectionOutcome::kDecoded);
          }
        }
        pending = still;
      }
      QOV_ENSURE(pending.empty());
    } else {
      std::vector<SectionOutcome> outcomes(inputs.size());
      QOV_RETURN_IF_ERROR(
          driver.DecodeSections(inputs.data(), inputs.size(), outcomes.data()));
      for (SectionOutcome o : outcomes) QOV_ENSURE(o == SectionOutcome::kDecoded);
    }
    QOV_ENSURE(driver.sections_done == driver.toc.size());
    for (auto& r : readers) QOV_RETURN_IF_ERROR(r->Close());
    return driver.CompleteFrame();
  }
};

// Compares pipeline channel c with the integer channel scaled by
// 1 / (2^bits - 1), every sample delivered exactly once.
void ExpectChannel(const Decoded& d, size_t c, const TestChannel& expected,
                   uint32_t bits, const std::string& what) {
  ASSERT_LT(c, d.captures.size()) << what;
  const test::ChannelCaptureStage& got = *d.captures[c];
  ASSERT_EQ(got.xsize, expected.width) << what << " channel " << c;
  ASSERT_EQ(got.ysize, expected.height) << what << " channel " << c;
  EXPECT_TRUE(got.AllWrittenOnce()) << what << " channel " << c;
  const float factor =
      static_cast<float>(1.0 / (static_cast<double>(uint64_t{1} << bits) - 1));
  for (uint32_t y = 0; y < expected.height; ++y) {
    for (uint32_t x = 0; x < expected.width; ++x) {
      ASSERT_EQ(got.at(x, y), static_cast<float>(expected.at(x, y)) * factor)
          << what << " channel " << c << " at (" << x << ", " << y << ")";
    }
  }
}

struct Shape {
  uint32_t w, h, group_shift;
  bool global_tree;
};

void CheckRgbFrame(const Shape& shape, bool one_by_one, TaskPool pool,
                   const std::string& what) {
  auto metadata = ModularMetadata(shape.w, shape.h, 8);
  ModularFrameSpec spec = ModularFrame(metadata.get(), shape.group_shift);
  spec.global_tree = shape.global_tree;
  for (uint32_t c = 0; c < 3; ++c) {
    spec.channels.push_back(RandomChannel(shape.w, shape.h, 0, 8, c + 1));
  }
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(modular_test::WriteModularFrame(spec, &bytes).ok()) << what;
  Decoded d(std::move(metadata));
  ASSERT_EQ(d.Decode(bytes, one_by_one, pool), OkStatus()) << what;
  for (size_t c = 0; c < 3; ++c) ExpectChannel(d, c, spec.channels[c], 8, what);
}

TEST(ModularFrameTest, SingleGroupFrameIsOneSection) {
  for (bool global_tree : {false, true}) {
    auto metadata = ModularMetadata(61, 47, 8);
    ModularFrameSpec spec = ModularFrame(metadata.get());
    ASSERT_TRUE(spec.header.ComputeGeometry().num_groups == 1);
    CheckRgbFrame({61, 47, 1, global_tree}, false, TaskPool(),
                  global_tree ? "global tree" : "local trees");
  }
}

TEST(ModularFrameTest, SeveralGroupsGoStraightToThePipeline) {
  for (bool global_tree : {false, true}) {
    for (bool one_by_one : {false, true}) {
      CheckRgbFrame({300, 200, 0, global_tree}, one_by_one, TaskPool(),
                    std::string(global_tree ? "global" : "local") +
                        (one_by_one ? " one by one" : " all at once"));
    }
  }
}

TEST(ModularFrameParallelTest, SeveralGroupsOnFourThreads) {
  ThreadedPool threads(4);
  CheckRgbFrame({520, 300, 0, true}, false, threads.pool(), "4 threads");
  CheckRgbFrame({520, 300, 0, false}, true, threads.pool(),
                "4 threads, one by one");
}

TEST(ModularFrameTest, GreyImageDecodesOneChannelIntoThree) {
  auto metadata = ModularMetadata(150, 140, 10, /*grey=*/true);
  ModularFrameSpec spec = ModularFrame(metadata.get(), 0);
  spec.channels.push_back(RandomChannel(150, 140, 0, 10, 9));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(modular_test::WriteModularFrame(spec, &bytes).ok());
  Decoded d(std::move(metadata));
  ASSERT_EQ(d.Decode(bytes, false), OkStatus());
  for (size_t c = 0; c < 3; ++c) ExpectChannel(d, c, spec.channels[0], 10, "grey");
}

// The EPF inverse-sigma image of a modular frame is one value everywhere,
// margins included; every DC group fills its own part, so a frame of 3 x 2
// DC groups (the last column and row narrow) shows a part left out or put
// in the wrong place.
TEST(ModularFrameTest, EpfSigmaFillsEveryDcGroup) {
  const uint32_t w = 2 * 1024 + 52, h = 1024 + 6;
  auto metadata = ModularMetadata(w, h, 8, /*grey=*/true);
  ModularFrameSpec spec = ModularFrame(metadata.get(), 0);
  spec.header.loop_filter.epf_iters = 1;
  spec.header.loop_filter.epf_sigma_for_modular = 2.5f;
  const FrameGeometry g = spec.header.ComputeGeometry();
  ASSERT_EQ(g.xsize_dc_groups, 3u);
  ASSERT_EQ(g.num_dc_groups, 6u);
  spec.tree = modular_test::Flatten(Leaf(0));
  TestChannel grey;
  grey.width = w;
  grey.height = h;
  grey.samples.assign(static_cast<size_t>(w) * h, 0);
  spec.channels.push_back(grey);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(modular_test::WriteModularFrame(spec, &bytes).ok());
  const float expected = -1.1715729f / 2.5f;
  for (bool one_by_one : {false, true}) {
    Decoded d(std::make_unique<CodecMetadata>(*metadata));
    d.before_sections = [&d]() {
      PlaneF& plane = d.state.epf_inverse_sigma;
      for (size_t y = 0; y < plane.ysize(); ++y) {
        std::fill_n(plane.Row(y), plane.xsize(), 1.0f);  // never a sigma
      }
    };
    ASSERT_EQ(d.Decode(bytes, one_by_one), OkStatus());
    const PlaneF& plane = d.state.epf_inverse_sigma;
    ASSERT_EQ(plane.xsize(), (w + 7) / 8 + 4);
    ASSERT_EQ(plane.ysize(), (h + 7) / 8 + 4);
    for (size_t y = 0; y < plane.ysize(); ++y) {
      for (size_t x = 0; x < plane.xsize(); ++x) {
        ASSERT_EQ(plane.Row(y)[x], expected)
            << "at (" << x << ", " << y << ")"
            << (one_by_one ? " one by one" : " all at once");
      }
    }
  }
}

TEST(ModularFrameTest, GlobalRctIsUndoneOnEachGroup) {
  auto metadata = ModularMetadata(260, 130, 8);
  ModularFrameSpec spec = ModularFrame(metadata.get(), 0);
  std::vector<TestChannel> original;
  for (uint32_t c = 0; c < 3; ++c) {
    original.push_back(RandomChannel(260, 130, 0, 8, 20 + c));
  }
  spec.channels = original;
  for (size_t i = 0; i < original[0].samples.size(); ++i) {
    const int64_t out[3] = {original[0].samples[i], original[1].samples[i],
                            original[2].samples[i]};
    int64_t in[3];
    test::ForwardRctKind(6, out, in);
    for (size_t c = 0; c < 3; ++c) {
      spec.channels[c].samples[i] = static_cast<int32_t>(in[c]);
    }
  }
  Transform rct;
  rct.kind = TransformKind::Rct;
  rct.first_channel = 0;
  rct.rct_selector = 6;
  spec.global_header.transforms.push_back(rct);
  for (bool global_tree : {false, true}) {
    spec.global_tree = global_tree;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(modular_test::WriteModularFrame(spec, &bytes).ok());
    auto copy = std::make_unique<CodecMetadata>(*metadata);
    Decoded d(std::move(copy));
    ASSERT_EQ(d.Decode(bytes, false), OkStatus());
    for (size_t c = 0; c < 3; ++c) ExpectChannel(d, c, original[c], 8, "RCT");
  }
}

TEST(ModularFrameTest, SqueezedFrameKeepsTheFullImageAndFlushesIt) {
  // A squeeze leaves small channels for the global stream, the rest for the
  // groups, and everything is undone on the full image at the end.
  auto metadata = ModularMetadata(300, 170, 8);
  ModularFrameSpec spec = ModularFrame(metadata.get(), 0);
  std::vector<TestChannel> original;
  ModularImage image =
      ModularImage::Create(HeapMemoryManager(), 300, 170, 8, 3).value();
  for (uint32_t c = 0; c < 3; ++c) {
    original.push_back(RandomChannel(300, 170, 0, 8, 40 + c));
    for (uint32_t y = 0; y < 170; ++y) {
      for (uint32_t x = 0; x < 300; ++x) {
        image.channels[c].Row(y)[x] = original[c].at(x, y);
      }
    }
  }
  std::vector<SqueezeParams> steps(2);
  steps[0].horizontal = true;
  steps[0].first_channel = 0;
  steps[0].channel_count = 3;
  steps[1].horizontal = false;
  steps[1].first_channel = 0;
  steps[1].channel_count = 3;
  std::vector<test::Plain> plain = test::ToPlain(image);
  uint64_t meta = 0;
  test::ForwardSqueeze(plain, meta, steps);
  for (const test::Plain& p : plain) {
    TestChannel c;
    c.width = static_cast<uint32_t>(p.shape.width);
    c.height = static_cast<uint32_t>(p.shape.height);
    c.hshift = p.shape.hshift;
    c.vshift = p.shape.vshift;
    c.samples = p.v;
    spec.channels.push_back(c);
  }
  Transform squeeze;
  squeeze.kind = TransformKind::Squeeze;
  squeeze.steps = steps;
  spec.global_header.transforms.push_back(squeeze);
  for (bool global_tree : {false, true}) {
    spec.global_tree = global_tree;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(modular_test::WriteModularFrame(spec, &bytes).ok());
    auto copy = std::make_unique<CodecMetadata>(*metadata);
    Decoded d(std::move(copy));
    ASSERT_EQ(d.Decode(bytes, true), OkStatus());
    for (size_t c = 0; c < 3; ++c) {
      ExpectChannel(d, c, original[c], 8, "squeeze");
    }
  }
}

// An RGB image with one 8-bit extra channel stored at 1 / 2^shift of the
// frame's resolution.
void CheckExtraChannel(uint32_t w, uint32_t h, uint32_t shift,
                       uint32_t num_passes, bool with_step) {
  auto metadata = ModularMetadata(w, h, 8);
  AddExtraChannel(metadata.get(), 12);
  ModularFrameSpec spec = ModularFrame(metadata.get(), 0);
  spec.header.ec_upsampling = {1u << shift};
  spec.header.passes.num_passes = num_passes;
  if (with_step) {
    spec.header.passes.num_downsample = 1;
    spec.header.passes.downsample[0] = 2;
    spec.header.passes.last_pass[0] = 0;
  }
  for (uint32_t c = 0; c < 3; ++c) {
    spec.channels.push_back(RandomChannel(w, h, 0, 8, 60 + c));
  }
  const uint32_t ew = (w + (1u << shift) - 1) >> shift;
  const uint32_t eh = (h + (1u << shift) - 1) >> shift;
  spec.channels.push_back(
      RandomChannel(ew, eh, static_cast<int32_t>(shift), 12, 70));
  const std::string what = "shift " + std::to_string(shift) + ", " +
                           std::to_string(num_passes) + " passes";
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(modular_test::WriteModularFrame(spec, &bytes).ok()) << what;
  Decoded d(std::move(metadata));
  d.shifts = {0, 0, 0, shift};
  ASSERT_EQ(d.Decode(bytes, true), OkStatus()) << what;
  for (size_t c = 0; c < 3; ++c) ExpectChannel(d, c, spec.channels[c], 8, what);
  ExpectChannel(d, 3, spec.channels[3], 12, what);
}

TEST(ModularFrameTest, ExtraChannelsWithShifts) {
  CheckExtraChannel(300, 200, 1, 1, false);
  CheckExtraChannel(300, 200, 2, 1, false);
  // Shift 3: the DC groups carry the extra channel.
  CheckExtraChannel(300, 200, 3, 1, false);
  CheckExtraChannel(1100, 40, 3, 1, false);
}

TEST(ModularFrameTest, SeveralPasses) {
  // Two passes without a step: pass 0 carries nothing, pass 1 everything.
  CheckExtraChannel(300, 200, 1, 2, false);
  // A step of factor 2 ending with pass 0: the extra channel (shift 1) in
  // pass 0, the colour channels in pass 1.
  CheckExtraChannel(300, 200, 1, 2, true);
  CheckExtraChannel(300, 200, 1, 3, true);
}

TEST(ModularFrameTest, SectionsOfAnotherFrameFail) {
  auto metadata = ModularMetadata(300, 200, 8);
  ModularFrameSpec spec = ModularFrame(metadata.get(), 0);
  for (uint32_t c = 0; c < 3; ++c) {
    spec.channels.push_back(RandomChannel(300, 200, 0, 8, 80 + c));
  }
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(modular_test::WriteModularFrame(spec, &bytes).ok());
  // Flip bits in the middle of the group data.
  for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 16; ++i) bytes[i] ^= 0x5A;
  Decoded d(std::move(metadata));
  EXPECT_NE(d.Decode(bytes, false), OkStatus());
}

TEST(ModularFrameTest, GlobalStreamCutInItsHeaderAnswersPartial) {
  auto metadata = ModularMetadata(300, 200, 8);
  ModularFrameSpec spec = ModularFrame(metadata.get(), 0);
  const FrameGeometry g = spec.header.ComputeGeometry();
  // DC steps by default, no global tree, then a group header that needs
  // more bits than the section has.
  std::vector<std::vector<uint8_t>> sections(2 + g.num_dc_groups +
                                             g.num_groups);
  sections[0] = {0x01};
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(modular_test::AssembleFrame(spec.header, sections, &bytes).ok());
  FrameDecodingState state(HeapMemoryManager());
  ImageBundle bundle(HeapMemoryManager(), &metadata->m);
  TaskPool pool;
  FrameDriver driver(&state, &pool, metadata.get());
  BitReader reader(Span(bytes.data(), bytes.size()));
  ASSERT_TRUE(driver.BeginFrame(reader, &bundle, false).ok());
  const uint64_t start = reader.Position() / 8;
  ASSERT_TRUE(driver.PrepareFrameOutput().ok());
  BitReader section(Span(bytes.data() + start, 1));
  SectionInput input;
  input.reader = &section;
  input.id = 0;
  input.index = 0;
  SectionOutcome outcome = SectionOutcome::kDecoded;
  ASSERT_EQ(driver.DecodeSections(&input, 1, &outcome), OkStatus());
  EXPECT_EQ(outcome, SectionOutcome::kPartial);
  EXPECT_FALSE(driver.dc_global_done);
  EXPECT_EQ(driver.sections_done, 0u);
}

TEST(ModularStreamKeyTest, StreamNumbers) {
  FrameGeometry g;
  g.num_dc_groups = 2;
  g.num_groups = 4;
  EXPECT_EQ(ModularStreamKey::Global().StreamNumber(g), 0u);
  EXPECT_EQ(ModularStreamKey::VarDctDc(1).StreamNumber(g), 2u);
  EXPECT_EQ(ModularStreamKey::ModularDc(0).StreamNumber(g), 3u);
  EXPECT_EQ(ModularStreamKey::AcMetadata(1).StreamNumber(g), 6u);
  EXPECT_EQ(ModularStreamKey::QuantTable(16).StreamNumber(g), 23u);
  EXPECT_EQ(ModularStreamKey::ModularAc(3, 1).StreamNumber(g), 31u);
}

TEST(ModularShiftBracketTest, Brackets) {
  Passes passes;
  passes.num_passes = 3;
  int32_t lo = 0, hi = 0;
  ModularShiftBracket(passes, 0, &lo, &hi);
  EXPECT_EQ(std::make_pair(lo, hi), std::make_pair(3, 2));
  ModularShiftBracket(passes, 1, &lo, &hi);
  EXPECT_EQ(std::make_pair(lo, hi), std::make_pair(3, 2));
  ModularShiftBracket(passes, 2, &lo, &hi);
  EXPECT_EQ(std::make_pair(lo, hi), std::make_pair(0, 2));
  passes.num_passes = 2;
  passes.num_downsample = 1;
  passes.downsample[0] = 2;
  passes.last_pass[0] = 0;
  ModularShiftBracket(passes, 0, &lo, &hi);
  EXPECT_EQ(std::make_pair(lo, hi), std::make_pair(1, 2));
  ModularShiftBracket(passes, 1, &lo, &hi);
  EXPECT_EQ(std::make_pair(lo, hi), std::make_pair(0, 0));
}

}  // namespace
}  // namespace qov
