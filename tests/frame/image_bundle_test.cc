// Image bundles: installing a colour image, moves and releasing every plane.
#include "lib/frame/image_bundle.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>

#include "lib/color/color_enums.h"
#include "tests/frame/frame_test_helpers.h"
#include "tests/support/counting_manager.h"

namespace qov {
namespace {

Image3F SomeImage(uint64_t xsize, uint64_t ysize) {
  return std::move(Image3F::Create(HeapMemoryManager(), xsize, ysize).value());
}

PlaneF SomePlane(uint64_t xsize, uint64_t ysize) {
  return std::move(PlaneF::Create(HeapMemoryManager(), xsize, ysize).value());
}

ColorEncoding Encoding(ColorSpace space) {
  ColorEncoding encoding;
  encoding.color_space = Raw(space);
  encoding.transfer_function = Raw(TransferFunction::kLinear);
  return encoding;
}

class CountedJpegData : public jpeg::JPEGData {
 public:
  explicit CountedJpegData(int* destroyed) : destroyed_(destroyed) {}
  ~CountedJpegData() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST(SetColorImageTest, ChecksGreynessAndExtraChannelSizes) {
  struct Case {
    const char* name;
    ColorSpace metadata_space;  // kUnknown: no metadata
    ColorSpace encoding_space;
    uint64_t xsize, ysize;
    std::vector<std::pair<uint64_t, uint64_t>> extra;
    int jpeg_side;  // -1: no JPEG data
    bool ok;
    bool stored;  // the image and encoding are in the bundle afterwards
  };
  using CS = ColorSpace;
  const Case cases[] = {
      {"colour", CS::kRgb, CS::kRgb, 8, 6, {}, -1, true, true},
      {"grey", CS::kGray, CS::kGray, 8, 6, {}, -1, true, true},
      {"grey into colour", CS::kRgb, CS::kGray, 8, 6, {}, -1, false, false},
      {"colour into grey", CS::kGray, CS::kRgb, 8, 6, {}, -1, false, false},
      {"XYB counts as colour", CS::kRgb, CS::kXyb, 8, 6, {}, -1, true, true},
      {"no metadata to match",
       CS::kUnknown,
       CS::kGray,
       8,
       6,
       {},
       -1,
       true,
       true},
      {"empty width", CS::kRgb, CS::kRgb, 0, 6, {}, -1, false, false},
      {"empty height", CS::kRgb, CS::kRgb, 8, 0, {}, -1, false, false},
      {"extra channels of the size",
       CS::kRgb,
       CS::kRgb,
       8,
       6,
       {{8, 6}, {8, 6}},
       -1,
       true,
       true},
      {"extra channel narrower",
       CS::kRgb,
       CS::kRgb,
       8,
       6,
       {{8, 6}, {4, 6}},
       -1,
       false,
       true},
      {"extra channel shorter",
       CS::kRgb,
       CS::kRgb,
       8,
       6,
       {{8, 3}},
       -1,
       false,
       true},
      {"JPEG size rules", CS::kRgb, CS::kRgb, 8, 6, {{16, 16}}, 16, true, true},
      {"JPEG size mismatch",
       CS::kRgb,
       CS::kRgb,
       8,
       6,
       {{8, 6}},
       16,
       false,
       true},
      {"JPEG size 0", CS::kRgb, CS::kRgb, 8, 6, {{8, 6}}, 0, false, true},
  };
  for (const Case& c : cases) {
    auto metadata = MakeMetadata(8, 6);
    metadata->m.color_encoding = Encoding(c.metadata_space);
    ImageBundle bundle(HeapMemoryManager(), c.metadata_space == CS::kUnknown
                                              ? nullptr
                                              : &metadata->m);
    for (const auto& size : c.extra) {
      bundle.extra_channels.push_back(SomePlane(size.first, size.second));
    }
    if (c.jpeg_side >= 0) {
      bundle.jpeg_data = std::make_unique<jpeg::JPEGData>();
      bundle.jpeg_data->width = bundle.jpeg_data->height = c.jpeg_side;
    }
    Image3F image =
        c.xsize && c.ysize ? SomeImage(c.xsize, c.ysize) : Image3F();
    EXPECT_EQ(
        bundle.SetColorImage(std::move(image), Encoding(c.encoding_space)).ok(),
        c.ok)
        << c.name;
    EXPECT_EQ(bundle.HasColor(), c.stored) << c.name;
    EXPECT_EQ(bundle.color_encoding.color_space,
              Raw(c.stored ? c.encoding_space : CS::kRgb))
        << c.name;
    if (c.stored) {
      EXPECT_EQ(bundle.xsize(), c.xsize) << c.name;
      EXPECT_EQ(bundle.ysize(), c.ysize) << c.name;
    }
  }
}

TEST(SetColorImageTest, AcceptsItsOwnEncoding) {
  auto metadata = MakeMetadata(8, 6);
  ImageBundle bundle(HeapMemoryManager(), &metadata->m);
  const size_t profile_size = bundle.color_encoding.icc.size();
  ASSERT_GT(profile_size, 0u);
  ASSERT_TRUE(
      bundle.SetColorImage(SomeImage(8, 6), bundle.color_encoding).ok());
  EXPECT_EQ(bundle.color_encoding.icc.size(), profile_size);
}

TEST(ImageBundleMoveTest, TakesEverythingAndDropsTheTargetsJpegData) {
  int destroyed = 0;
  auto metadata = MakeMetadata(8, 6);
  ImageBundle source(HeapMemoryManager(), &metadata->m);
  source.jpeg_data = std::make_unique<CountedJpegData>(&destroyed);
  source.color_transform = 2;
  source.origin_x0 = -3;
  source.origin_y0 = 7;
  source.duration = 11;
  source.carried_bytes[1] = 1;
  source.carried_value = 9;
  source.carried_wide = 12;
  source.name = "source";
  source.color = SomeImage(8, 6);
  source.extra_channels.push_back(SomePlane(8, 6));
  source.color_encoding.icc.assign(5, 0xAB);
  const jpeg::JPEGData* jpeg = source.jpeg_data.get();
  const uint8_t* plane0 = source.color.Plane(0).bytes();
  const uint8_t* extra0 = source.extra_channels[0].bytes();

  ImageBundle target(nullptr);
  target.jpeg_data = std::make_unique<CountedJpegData>(&destroyed);
  target.name = "target";
  target.extra_channels.push_back(SomePlane(2, 2));
  target = std::move(source);

  EXPECT_EQ(destroyed, 1);  // the target's own JPEG data
  EXPECT_EQ(target.jpeg_data.get(), jpeg);
  EXPECT_EQ(target.memory_manager, HeapMemoryManager());
  EXPECT_EQ(target.metadata, &metadata->m);
  EXPECT_EQ(target.color_transform, 2u);
  EXPECT_EQ(target.origin_x0, -3);
  EXPECT_EQ(target.origin_y0, 7);
  EXPECT_EQ(target.duration, 11u);
  EXPECT_EQ(target.carried_bytes[1], 1);
  EXPECT_EQ(target.carried_value, 9u);
  EXPECT_EQ(target.carried_wide, 12u);
  EXPECT_EQ(target.name, "source");
  EXPECT_EQ(target.color.Plane(0).bytes(), plane0);
  EXPECT_EQ(target.color.xsize(), 8u);
  ASSERT_EQ(target.extra_channels.size(), 1u);
  EXPECT_EQ(target.extra_channels[0].bytes(), extra0);
  EXPECT_EQ(target.color_encoding.icc, std::vector<uint8_t>(5, 0xAB));

  EXPECT_EQ(source.jpeg_data, nullptr);
  EXPECT_TRUE(source.name.empty());
  EXPECT_TRUE(source.extra_channels.empty());
  EXPECT_TRUE(source.color_encoding.icc.empty());
  EXPECT_EQ(source.color.Plane(0).bytes(), nullptr);

  ImageBundle& alias = target;
  target = std::move(alias);
  EXPECT_EQ(target.jpeg_data.get(), jpeg);
  EXPECT_EQ(target.name, "source");
  EXPECT_EQ(target.color.Plane(0).bytes(), plane0);
  EXPECT_EQ(target.extra_channels.size(), 1u);
  EXPECT_EQ(destroyed, 1);
}

using test::CountingManager;

TEST(ImageBundleTest, ReleasesEveryPlane) {
  CountingManager counter;
  int destroyed = 0;
  auto owner = std::make_unique<ImageBundle>(&counter.manager);
  owner->color = std::move(Image3F::Create(&counter.manager, 16, 16).value());
  owner->extra_channels.push_back(
      std::move(PlaneF::Create(&counter.manager, 16, 16).value()));
  owner->jpeg_data = std::make_unique<CountedJpegData>(&destroyed);
  EXPECT_EQ(counter.live, 4);
  owner->ClearPlanes();
  EXPECT_EQ(counter.live, 0);
  owner->color = std::move(Image3F::Create(&counter.manager, 16, 16).value());
  DestroyImageBundle(owner);
  EXPECT_EQ(owner, nullptr);
  EXPECT_EQ(counter.live, 0);
  EXPECT_EQ(destroyed, 1);
  DestroyImageBundle(owner);  // an empty owner is fine
}

}  // namespace
}  // namespace qov
