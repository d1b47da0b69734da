// The colour-management stage with a module written for the test: which
// encodings get a stage, the interleaving of rows, failures, and buffers
// sized for the real row width in both pipelines.
#include "lib/render/cms_stage.h"

#include <memory>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/color/color_enums.h"
#include "tests/render/render_test_kit_helpers.h"

namespace qov {
namespace {

// A module that checks its calls: per-thread buffers of exactly
// pixels_per_thread pixels, run refused beyond them. It maps each output
// channel to 2 x input + channel (grey: 2 x input; CMYK: input - black).
struct TestModule {
  struct State {
    TestModule* module;
    uint64_t pixels;
    uint64_t in_channels, out_channels;
    std::vector<std::vector<float>> in, out;
  };
  static void* Create(void* data, uint64_t threads, uint64_t pixels,
                      const CmsColorProfile* src, const CmsColorProfile* dst,
                      float /*intensity*/) {
    auto* m = static_cast<TestModule*>(data);
    m->created++;
    m->last_pixels = pixels;
    m->last_threads = threads;
    m->src_channels = src->channel_count;
    m->dst_channels = dst->channel_count;
    if (m->fail_create) return nullptr;
    auto* s = new State{m, pixels, src->channel_count, dst->channel_count,
                        {}, {}};
    s->in.assign(threads, std::vector<float>(pixels * s->in_channels));
    s->out.assign(threads, std::vector<float>(pixels * s->out_channels));
    return s;
  }
  static float* In(void* st, size_t t) {
    return static_cast<State*>(st)->in.at(t).data();
  }
  static float* Out(void* st, size_t t) {
    return static_cast<State*>(st)->out.at(t).data();
  }
  static bool Run(void* st, size_t /*t*/, const float* in, float* out,
                  size_t n) {
    auto* s = static_cast<State*>(st);
    s->module->runs++;
    if (n > s->pixels) {
      s->module->overflow = true;
      return false;
    }
    if (s->module->fail_run) return false;
    for (size_t x = 0; x < n; ++x) {
      const float* px = in + x * s->in_channels;
      for (size_t c = 0; c < s->out_channels; ++c) {
        float v = s->in_channels == 1 ? 2 * px[0] : 2 * px[c] + c;
        if (s->in_channels == 4) v = px[c] - px[3];
        out[x * s->out_channels + c] = v;
      }
    }
    return true;
  }
  static void Destroy(void* st) {
    auto* s = static_cast<State*>(st);
    s->module->destroyed++;
    delete s;
  }
  CmsInterface Interface() {
    CmsInterface cms;
    cms.transform_data = this;
    cms.create_transform = &Create;
    cms.input_buffer = &In;
    cms.output_buffer = &Out;
    cms.run_transform = &Run;
    cms.destroy_transform = &Destroy;
    return cms;
  }

  int created = 0, destroyed = 0, runs = 0;
  uint64_t last_pixels = 0, last_threads = 0;
  uint64_t src_channels = 0, dst_channels = 0;
  bool fail_create = false, fail_run = false, overflow = false;
};

constexpr uint32_t kGrey = static_cast<uint32_t>(ColorSpace::kGray);
constexpr uint32_t kLinear = static_cast<uint32_t>(TransferFunction::kLinear);

// Image sRGB, output linear sRGB: a conversion is needed.
OutputColorSetup ModuleSetup(TestModule* module) {
  OutputColorSetup s;
  s.output_encoding.transfer_function = kLinear;
  s.output_linear_encoding.transfer_function = kLinear;
  s.cms_present = true;
  s.cms = module->Interface();
  return s;
}

ChannelSizes Sizes(size_t channels, size_t xsize, size_t ysize = 4) {
  return ChannelSizes(channels, {xsize, ysize});
}

struct Rows {
  Rows(size_t channels, size_t xsize) : data(channels), set(channels) {
    for (size_t c = 0; c < channels; ++c) {
      data[c].assign(kRowLeadSamples + xsize + 8, 0.0f);
      for (size_t x = 0; x < xsize; ++x) {
        data[c][kRowLeadSamples + x] = 0.01f * x + 0.1f * c;
      }
      set[c] = {data[c].data()};
    }
  }
  float at(size_t c, size_t x) const { return data[c][kRowLeadSamples + x]; }
  std::vector<std::vector<float>> data;
  ChannelRowSet set;
};

TEST(CmsStageTest, WhenAStageIsMade) {
  TestModule module;
  EXPECT_NE(MakeCmsStage(ModuleSetup(&module), false), nullptr);
  // Linear source: the output's linear twin, the same as the output here.
  EXPECT_EQ(MakeCmsStage(ModuleSetup(&module), true), nullptr);
  OutputColorSetup no_module = ModuleSetup(&module);
  no_module.cms_present = false;
  EXPECT_EQ(MakeCmsStage(no_module, false), nullptr);
  OutputColorSetup same = ModuleSetup(&module);
  same.output_encoding = same.source_encoding;
  EXPECT_EQ(MakeCmsStage(same, false), nullptr);
  OutputColorSetup grey_to_rgb = ModuleSetup(&module);
  grey_to_rgb.source_encoding.color_space = kGrey;
  EXPECT_EQ(MakeCmsStage(grey_to_rgb, false), nullptr);
  OutputColorSetup rgb_to_grey = ModuleSetup(&module);
  rgb_to_grey.output_encoding.color_space = kGrey;
  EXPECT_EQ(MakeCmsStage(rgb_to_grey, false), nullptr);
  OutputColorSetup cmyk = ModuleSetup(&module);
  cmyk.source_encoding.cmyk = true;
  auto stage = MakeCmsStage(cmyk, false);
  ASSERT_NE(stage, nullptr);
  EXPECT_EQ(stage->ChannelModeOf(3), RowChannelMode::kModifyRows);
  EXPECT_EQ(stage->ChannelModeOf(4), RowChannelMode::kNotUsed);
  EXPECT_STREQ(stage->StageName(), "Cms");
  EXPECT_EQ(module.created, 0);  // nothing made before set-up
}

TEST(CmsStageTest, ConvertsRows) {
  struct Case {
    const char* name;
    bool cmyk, grey;
    size_t channels;
  };
  for (const Case& c : {Case{"rgb", false, false, 4},
                        Case{"cmyk", true, false, 5},
                        Case{"grey", false, true, 4}}) {
    TestModule module;
    OutputColorSetup s = ModuleSetup(&module);
    s.source_encoding.cmyk = c.cmyk;
    if (c.grey) {
      s.source_encoding.color_space = kGrey;
      s.output_encoding.color_space = kGrey;
    }
    auto stage = MakeCmsStage(s, false);
    ASSERT_NE(stage, nullptr) << c.name;
    const size_t xsize = 37;
    ASSERT_TRUE(stage->AcceptInputSizes(Sizes(c.channels, xsize)).ok());
    ASSERT_TRUE(stage->SetUpForThreads(2).ok());
    EXPECT_EQ(module.last_pixels, xsize);
    EXPECT_EQ(module.src_channels, c.cmyk ? 4u : (c.grey ? 1u : 3u));
    Rows rows(c.channels, xsize);
    const Rows before = rows;
    ASSERT_TRUE(stage->RenderRow(rows.set, {}, 0, 0, xsize, 0, 0, 1).ok());
    for (size_t x = 0; x < xsize; ++x) {
      for (size_t ch = 0; ch < 3; ++ch) {
        float want = 2 * before.at(ch, x) + ch;
        if (c.cmyk) want = before.at(ch, x) - before.at(3, x);
        if (c.grey) want = 2 * before.at(0, x);
        ASSERT_EQ(rows.at(ch, x), want) << c.name << " " << x << " " << ch;
      }
    }
    for (size_t ch = 3; ch < c.channels; ++ch) {
      EXPECT_EQ(rows.data[ch], before.data[ch]) << c.name;  // black kept
    }
  }
}

TEST(CmsStageTest, Failures) {
  TestModule module;
  auto stage = MakeCmsStage(ModuleSetup(&module), false);
  ASSERT_NE(stage, nullptr);
  EXPECT_FALSE(stage->AcceptInputSizes(Sizes(2, 16)).ok());
  ChannelSizes uneven = Sizes(4, 1024);
  uneven[3] = {512, 4};
  EXPECT_FALSE(stage->AcceptInputSizes(uneven).ok());
  ASSERT_TRUE(stage->AcceptInputSizes(Sizes(3, 1024)).ok());
  Rows rows(3, 1025);
  // No transform yet.
  EXPECT_FALSE(stage->RenderRow(rows.set, {}, 0, 0, 16, 0, 0, 0).ok());
  ASSERT_TRUE(stage->SetUpForThreads(1).ok());
  const Rows before = rows;
  EXPECT_FALSE(stage->RenderRow(rows.set, {}, 0, 0, 1025, 0, 0, 0).ok());
  EXPECT_FALSE(stage->RenderRow(rows.set, {}, 1, 0, 16, 0, 0, 0).ok());
  module.fail_run = true;
  EXPECT_FALSE(stage->RenderRow(rows.set, {}, 0, 0, 16, 0, 0, 0).ok());
  EXPECT_EQ(rows.data, before.data);
  module.fail_run = false;
  EXPECT_TRUE(stage->RenderRow(rows.set, {}, 0, 0, 1024, 0, 0, 0).ok());
  EXPECT_FALSE(module.overflow);
  // A failing initialisation.
  module.fail_create = true;
  EXPECT_FALSE(stage->SetUpForThreads(1).ok());
  // A CMYK output never reaches the module.
  TestModule other;
  OutputColorSetup cmyk_out = ModuleSetup(&other);
  cmyk_out.output_encoding.cmyk = true;
  auto cmyk_stage = MakeCmsStage(cmyk_out, false);
  ASSERT_NE(cmyk_stage, nullptr);
  ASSERT_TRUE(cmyk_stage->AcceptInputSizes(Sizes(3, 8)).ok());
  EXPECT_FALSE(cmyk_stage->SetUpForThreads(1).ok());
  EXPECT_EQ(other.created, 0);
}

// The transform is made for the width the rows will have, in the order of
// either pipeline, and made again (the old one destroyed) when it changes.
TEST(CmsStageTest, TransformSizedForRowWidth) {
  TestModule module;
  {
    auto stage = MakeCmsStage(ModuleSetup(&module), false);
    // Whole-frame order: threads first, sizes when the stage renders.
    ASSERT_TRUE(stage->SetUpForThreads(3).ok());
    EXPECT_EQ(module.created, 0);
    ASSERT_TRUE(stage->AcceptInputSizes(Sizes(3, 500)).ok());
    EXPECT_EQ(module.created, 1);
    EXPECT_EQ(module.last_pixels, 500u);
    EXPECT_EQ(module.last_threads, 3u);
    ASSERT_TRUE(stage->AcceptInputSizes(Sizes(3, 500)).ok());
    EXPECT_EQ(module.created, 1);  // same width: kept
    ASSERT_TRUE(stage->AcceptInputSizes(Sizes(3, 700)).ok());
    EXPECT_EQ(module.created, 2);
    EXPECT_EQ(module.destroyed, 1);
    Rows rows(3, 700);
    EXPECT_TRUE(stage->RenderRow(rows.set, {}, 0, 0, 700, 0, 0, 2).ok());
  }
  EXPECT_EQ(module.destroyed, 2);
  EXPECT_FALSE(module.overflow);
}

// Both pipelines end to end with the stage before a capturing stage.
TEST(CmsStageTest, RendersInBothPipelines) {
  for (bool simple : {true, false}) {
    TestModule module;
    const uint64_t xsize = 300, ysize = 20;
    RenderPipelineAssembler assembler(HeapMemoryManager(), 3, simple);
    ASSERT_TRUE(assembler.Append(MakeCmsStage(ModuleSetup(&module), false)).ok());
    auto capture = std::make_unique<test::CaptureStage>(3);
    test::CaptureStage* captured = capture.get();
    ASSERT_TRUE(assembler.Append(std::move(capture)).ok());
    auto pipeline = assembler.Assemble(test::MakeTestGeometry(xsize, ysize));
    ASSERT_TRUE(pipeline.ok());
    ASSERT_TRUE((*pipeline)->SetUpThreads(1, false).ok());
    const auto inputs = test::MakeInputs(
        test::InputSizes({}, 3, xsize, ysize), 7);
    ASSERT_TRUE(test::FeedGroups(pipeline->get(), inputs).ok()) << simple;
    EXPECT_FALSE(module.overflow) << simple;
    EXPECT_GE(module.last_pixels, 1u) << simple;
    ASSERT_TRUE(captured->AllWrittenOnce()) << simple;
    for (uint64_t y = 0; y < ysize; y += 7) {
      for (uint64_t x = 0; x < xsize; x += 13) {
        for (size_t c = 0; c < 3; ++c) {
          ASSERT_EQ(captured->planes[c].at(x, y),
                    2 * inputs[c].at(x, y) + c)
              << simple << " " << x << " " << y;
        }
      }
    }
  }
}

}  // namespace
}  // namespace qov
