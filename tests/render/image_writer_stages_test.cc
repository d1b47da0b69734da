// Image writer stages: image creation from the input sizes (with the noise
// planes kept out of bundles), row copies, and their refusals.
#include <memory>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/frame/image_bundle.h"
#include "lib/render/stage_factories.h"

namespace qov {
namespace {

const QovMemoryManagerStruct* Heap() {
  static const QovMemoryManagerStruct manager = {nullptr, DefaultAllocate,
                                                 DefaultRelease};
  return &manager;
}

// One row per channel, channel c holding 100 c + x.
struct Rows {
  std::vector<std::vector<float>> storage;
  ChannelRowSet set;
  Rows(size_t channels, size_t width) : storage(channels), set(channels) {
    for (size_t c = 0; c < channels; ++c) {
      storage[c].assign(kRowLeadSamples + width + 16, -1.0f);
      for (size_t x = 0; x < width; ++x) {
        storage[c][kRowLeadSamples + x] = static_cast<float>(100 * c + x);
      }
      set[c] = {storage[c].data()};
    }
  }
};

ChannelSizes Sizes(size_t channels, size_t w, size_t h) {
  return ChannelSizes(channels, {w, h});
}

TEST(WriteToImageBundleStageTest, ExtraChannelsFilledAndNoiseKeptOut) {
  ImageMetadata metadata;
  metadata.extra_channel_info.resize(2);
  ImageBundle bundle(Heap(), &metadata);
  ColorEncoding encoding;
  auto stage = MakeWriteToImageBundleStage(&bundle, encoding);
  EXPECT_STREQ(stage->StageName(), "WriteIB");
  EXPECT_EQ(stage->ChannelModeOf(7), RowChannelMode::kReadOnly);
  // Two extra channels, then three noise planes.
  ASSERT_TRUE(stage->AcceptInputSizes(Sizes(8, 6, 2)).ok());
  ASSERT_EQ(bundle.extra_channels.size(), 2u);
  EXPECT_EQ(bundle.xsize(), 6u);
  EXPECT_EQ(bundle.extra_channels[1].xsize(), 6u);
  Rows rows(8, 4);
  ASSERT_TRUE(stage->RenderRow(rows.set, {}, 0, 0, 4, 2, 1, 0).ok());
  EXPECT_EQ(bundle.color.PlaneRow(2, 1)[5], 203.0f);
  EXPECT_EQ(bundle.extra_channels[0].Row(1)[2], 300.0f);
  EXPECT_EQ(bundle.extra_channels[1].Row(1)[3], 401.0f);
  // A second render of the row overwrites.
  rows.storage[0][kRowLeadSamples] = 9.0f;
  ASSERT_TRUE(stage->RenderRow(rows.set, {}, 0, 0, 4, 2, 1, 0).ok());
  EXPECT_EQ(bundle.color.PlaneRow(0, 1)[2], 9.0f);
  EXPECT_FALSE(stage->RenderRow(rows.set, {}, 1, 0, 4, 2, 1, 0).ok());
  // Once more with the same size: everything recreated.
  ASSERT_TRUE(stage->AcceptInputSizes(Sizes(5, 6, 2)).ok());
  EXPECT_EQ(bundle.extra_channels.size(), 2u);
}

TEST(WriteToImageBundleStageTest, RefusedSizes) {
  ImageMetadata metadata;
  metadata.extra_channel_info.resize(1);
  ImageBundle bundle(Heap(), &metadata);
  auto stage = MakeWriteToImageBundleStage(&bundle, ColorEncoding());
  EXPECT_FALSE(stage->AcceptInputSizes(Sizes(2, 4, 4)).ok());
  ChannelSizes odd = Sizes(4, 4, 4);
  odd[3] = {2, 2};
  EXPECT_FALSE(stage->AcceptInputSizes(odd).ok());
  // A bundle still holding planes of another size refuses the new image.
  ASSERT_TRUE(stage->AcceptInputSizes(Sizes(4, 4, 4)).ok());
  EXPECT_FALSE(stage->AcceptInputSizes(Sizes(4, 8, 8)).ok());
}

TEST(WriteToImage3FStageTest, ColourOnly) {
  Image3F image;
  auto stage = MakeWriteToImage3FStage(Heap(), &image);
  EXPECT_STREQ(stage->StageName(), "WriteI3F");
  EXPECT_EQ(stage->ChannelModeOf(2), RowChannelMode::kReadOnly);
  EXPECT_EQ(stage->ChannelModeOf(3), RowChannelMode::kNotUsed);
  EXPECT_FALSE(stage->AcceptInputSizes(Sizes(2, 4, 4)).ok());
  ChannelSizes sizes = Sizes(4, 5, 3);
  sizes[3] = {1, 1};  // extra channels are not looked at
  ASSERT_TRUE(stage->AcceptInputSizes(sizes).ok());
  EXPECT_EQ(image.xsize(), 5u);
  EXPECT_EQ(image.ysize(), 3u);
  Rows rows(4, 5);
  ASSERT_TRUE(stage->RenderRow(rows.set, {}, 0, 0, 5, 0, 2, 0).ok());
  EXPECT_EQ(image.PlaneRow(1, 2)[4], 104.0f);
  EXPECT_FALSE(stage->RenderRow(rows.set, {}, 0, 2, 3, 0, 2, 0).ok());
  sizes[1] = {4, 3};
  EXPECT_FALSE(stage->AcceptInputSizes(sizes).ok());
}

}  // namespace
}  // namespace qov
