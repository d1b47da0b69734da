// Modular channels and images: creation limits, numbering, deep copies,
// moves and channel resizing.
#include "lib/modular/modular_image.h"

#include <cstdint>
#include <utility>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "tests/modular/modular_test_helpers.h"
#include "tests/support/counting_manager.h"

namespace qov {
namespace {

using test::ChannelShape;

TEST(ModularChannelTest, CreateSizesAndLimits) {
  struct Case {
    uint64_t width, height;
    bool ok;
  };
  const Case kCases[] = {
      {3, 2, true},
      {0, 5, true},
      {5, 0, true},
      {uint64_t{1} << 32, 0, false},  // refused before allocating
      {0, uint64_t{1} << 32, false},
  };
  for (const Case& c : kCases) {
    test::CountingManager counting;
    StatusOr<ModularChannel> ch =
        ModularChannel::Create(&counting.manager, c.width, c.height, 1, 2);
    EXPECT_EQ(ch.ok(), c.ok) << c.width << "x" << c.height;
    if (!c.ok) {
      EXPECT_EQ(counting.allocs, 0);
      continue;
    }
    EXPECT_EQ(ch->width, c.width);
    EXPECT_EQ(ch->height, c.height);
    EXPECT_EQ(ch->plane.xsize(), c.width);
    EXPECT_EQ(ch->plane.ysize(), c.height);
    EXPECT_EQ(ch->hshift, 1);
    EXPECT_EQ(ch->vshift, 2);
    EXPECT_EQ(ch->component, -1);
    // An empty channel holds no sample storage.
    EXPECT_EQ(ch->plane.allocated(), c.width != 0 && c.height != 0);
  }
}

TEST(ModularChannelTest, CreatePassesAllocationFailure) {
  test::CountingManager counting;
  counting.refuse = true;
  EXPECT_FALSE(ModularChannel::Create(&counting.manager, 4, 4, 0, 0).ok());
}

TEST(ModularImageTest, EmptyAndCreated) {
  ModularImage empty(HeapMemoryManager());
  EXPECT_TRUE(empty.error);
  EXPECT_EQ(empty.bit_depth, 8);
  EXPECT_TRUE(empty.channels.empty());

  StatusOr<ModularImage> image =
      ModularImage::Create(HeapMemoryManager(), 5, 3, 10, 3);
  ASSERT_TRUE(image.ok());
  EXPECT_FALSE(image->error);
  EXPECT_EQ(image->bit_depth, 10);
  EXPECT_EQ(image->meta_channel_count, 0u);
  ASSERT_EQ(image->channels.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(image->channels[i].component, i);
    EXPECT_EQ(image->channels[i].width, 5u);
    EXPECT_EQ(image->channels[i].height, 3u);
  }
  for (int32_t count : {0, -4}) {
    StatusOr<ModularImage> none =
        ModularImage::Create(HeapMemoryManager(), 5, 3, 8, count);
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->channels.empty());
  }
}

TEST(ModularImageTest, CreateReleasesChannelsOnFailure) {
  test::CountingManager counting;
  counting.refuse_from = 2;
  EXPECT_FALSE(ModularImage::Create(&counting.manager, 4, 4, 8, 3).ok());
  EXPECT_EQ(counting.live, 0);
  EXPECT_FALSE(ModularImage::Create(HeapMemoryManager(), uint64_t{1} << 32, 1,
                                    8, 1)
                   .ok());
}

TEST(ModularImageTest, CloneIsDeep) {
  ModularImage image = test::MakeImage({{3, 2, -1, -1}, {4, 3}, {0, 7}}, 1);
  test::Fill(image, 0, {1, 2, 3, 4, 5, 6});
  test::FillRandom(image, 1, 7, -1000, 1000);
  image.channels[1].component = 9;
  image.bit_depth = 12;
  image.error = true;  // a failed image still clones
  Transform squeeze;
  squeeze.kind = TransformKind::Squeeze;
  squeeze.steps.resize(2);
  squeeze.steps[1].horizontal = true;
  image.transforms.push_back(squeeze);

  StatusOr<ModularImage> copy = image.Clone();
  ASSERT_TRUE(copy.ok());
  EXPECT_EQ(test::Shapes(*copy), test::Shapes(image));
  EXPECT_EQ(test::Samples(*copy, 0), test::Samples(image, 0));
  EXPECT_EQ(test::Samples(*copy, 1), test::Samples(image, 1));
  EXPECT_EQ(copy->channels[1].component, 9);
  EXPECT_EQ(copy->bit_depth, 12);
  EXPECT_EQ(copy->meta_channel_count, 1u);
  EXPECT_TRUE(copy->error);
  ASSERT_EQ(copy->transforms.size(), 1u);
  EXPECT_EQ(copy->transforms[0].steps.size(), 2u);
  EXPECT_TRUE(copy->transforms[0].steps[1].horizontal);
  // Separate storage.
  copy->channels[0].Row(0)[0] = 77;
  EXPECT_EQ(image.channels[0].Row(0)[0], 1);
}

TEST(ModularImageTest, CloneFailsCleanly) {
  test::CountingManager counting;
  StatusOr<ModularImage> image =
      ModularImage::Create(&counting.manager, 4, 4, 8, 3);
  ASSERT_TRUE(image.ok());
  const int live = counting.live;
  counting.refuse_from = counting.allocs + 1;
  EXPECT_FALSE(image->Clone().ok());
  EXPECT_EQ(counting.live, live);
}

TEST(ModularImageTest, MoveAssignment) {
  ModularImage a = test::MakeImage({{2, 2}, {2, 2}});
  a.transforms.emplace_back();
  a.bit_depth = 9;
  ModularImage b(nullptr);
  b = std::move(a);
  EXPECT_EQ(b.channels.size(), 2u);
  EXPECT_EQ(b.transforms.size(), 1u);
  EXPECT_EQ(b.bit_depth, 9);
  EXPECT_FALSE(b.error);
  EXPECT_EQ(b.memory_manager, nullptr);  // the target keeps its manager
  EXPECT_TRUE(a.channels.empty());
  EXPECT_TRUE(a.transforms.empty());

  // Into itself: channels and transforms stay.
  ModularImage& same = b;
  b = std::move(same);
  EXPECT_EQ(b.channels.size(), 2u);
  EXPECT_EQ(b.transforms.size(), 1u);
}

TEST(ModularChannelTest, Resize) {
  StatusOr<ModularChannel> ch =
      ModularChannel::Create(HeapMemoryManager(), 8, 4, 0, 0);
  ASSERT_TRUE(ch.ok());
  const int32_t* before = ch->Row(0);
  ASSERT_TRUE(ResizeModularChannel(HeapMemoryManager(), *ch).ok());
  EXPECT_EQ(ch->Row(0), before);  // same size: same plane
  ch->width = 3;
  ASSERT_TRUE(ResizeModularChannel(HeapMemoryManager(), *ch).ok());
  EXPECT_EQ(ch->plane.xsize(), 3u);
  EXPECT_EQ(ch->plane.ysize(), 4u);
  ch->height = uint64_t{1} << 32;
  EXPECT_FALSE(ResizeModularChannel(HeapMemoryManager(), *ch).ok());
}

}  // namespace
}  // namespace qov
