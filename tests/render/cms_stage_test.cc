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
#include "tests/support/cms_test_module.h"

namespace qov {
namespace {

using TestModule = test::CmsTestModule;

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
