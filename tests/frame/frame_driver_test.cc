// Frame driver: header and TOC reading under every input cut, the frame
// counters, the storage and reference masks, section ordering, progressive
// pauses and frame completion.
#include "lib/frame/frame_driver.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lib/frame/frame_decoding_state.h"
#include "lib/frame/image_bundle.h"
#include "tests/frame/frame_test_helpers.h"
#include "tests/support/bit_sequence.h"

namespace qov {
namespace {

using Outcomes = std::vector<SectionOutcome>;
constexpr SectionOutcome kDone = SectionOutcome::kDecoded;
constexpr SectionOutcome kSkip = SectionOutcome::kSkipped;
constexpr SectionOutcome kDup = SectionOutcome::kDuplicate;
constexpr SectionOutcome kPartial = SectionOutcome::kPartial;

// One image (its metadata, decoding state and decoded bundle) and the frame
// currently being driven.
class Image {
 public:
  explicit Image(std::unique_ptr<CodecMetadata> metadata)
      : metadata_(std::move(metadata)),
        state(std::make_unique<FrameDecodingState>(HeapMemoryManager())),
        bundle(HeapMemoryManager(), &metadata_->m) {}

  const CodecMetadata* metadata() const { return metadata_.get(); }
  CodecMetadata* mutable_metadata() { return metadata_.get(); }
  FrameHeader NewHeader() const { return FrameHeader(metadata_.get()); }

  // Writes the frame with sections and reads its header and TOC.
  Status Begin(const FrameHeader& header, bool is_preview = false) {
    bytes = WriteFrame(header, SomeSizes(header), /*sections=*/true);
    driver = std::make_unique<FrameDriver>(state.get(), &pool, metadata());
    driver->section_content = &content;
    BitReader reader(Span(bytes.data(), bytes.size()));
    const Status status = driver->BeginFrame(reader, &bundle, is_preview);
    toc_end = reader.Position() / 8;
    return status;
  }

  // Begin, PrepareFrameOutput and the section readers.
  void Prepare(const FrameHeader& header) {
    ASSERT_TRUE(Begin(header).ok());
    ASSERT_TRUE(driver->PrepareFrameOutput().ok());
    sections = std::make_unique<SectionSet>(bytes, toc_end, *driver);
  }

  // Hands the sections with these ids to the driver.
  Status Give(const std::vector<uint64_t>& ids, Outcomes* outcomes) {
    const std::vector<SectionInput> inputs = sections->Inputs(ids);
    outcomes->assign(ids.size(), SectionOutcome::kPartial);
    return driver->DecodeSections(inputs.data(), inputs.size(),
                                  outcomes->data());
  }
  Outcomes GiveOk(const std::vector<uint64_t>& ids) {
    Outcomes outcomes;
    EXPECT_TRUE(Give(ids, &outcomes).ok());
    return outcomes;
  }

 private:
  std::unique_ptr<CodecMetadata> metadata_;

 public:
  std::unique_ptr<FrameDecodingState> state;
  ImageBundle bundle;
  TaskPool pool;
  RecordingContent content;
  std::vector<uint8_t> bytes;
  uint64_t toc_end = 0;
  std::unique_ptr<FrameDriver> driver;
  std::unique_ptr<SectionSet> sections;
};

// 300 x 300 VarDCT: 2 x 2 groups of 256, one DC group.
// One pass: 0 DC global, 1 DC group, 2 AC global, 3..6 AC groups.
// Two passes: then 3..6 pass 0 and 7..10 pass 1.
constexpr uint32_t kSide = 300;

std::vector<uint64_t> Range(uint64_t begin, uint64_t end) {
  std::vector<uint64_t> ids;
  for (uint64_t i = begin; i < end; ++i) ids.push_back(i);
  return ids;
}

TEST(FrameStorageMaskTest, SlotsAFrameOverwrites) {
  auto metadata = MakeMetadata(kSide, kSide);
  metadata->m.have_animation = true;
  struct Case {
    const char* name;
    std::function<void(FrameHeader&)> set;
    int32_t mask;
  };
  const Case cases[] = {
      {"DC frame level 1",
       [](FrameHeader& h) {
         h.frame_type = 1;
         h.dc_level = 1;
         h.is_last = false;
       },
       16},
      {"DC frame level 2",
       [](FrameHeader& h) {
         h.frame_type = 1;
         h.dc_level = 2;
         h.is_last = false;
       },
       32},
      {"DC frame level 4",
       [](FrameHeader& h) {
         h.frame_type = 1;
         h.dc_level = 4;
         h.is_last = false;
       },
       128},
      {"last frame",
       [](FrameHeader& h) {
         h.is_last = true;
         h.save_as_reference = 2;
       },
       0},
      {"shown, not saved",
       [](FrameHeader& h) {
         h.is_last = false;
         h.animation_frame.duration = 5;
       },
       0},
      {"shown and saved",
       [](FrameHeader& h) {
         h.is_last = false;
         h.animation_frame.duration = 5;
         h.save_as_reference = 3;
       },
       8},
      {"duration 0, slot 0", [](FrameHeader& h) { h.is_last = false; }, 1},
      {"saved to slot 2",
       [](FrameHeader& h) {
         h.is_last = false;
         h.save_as_reference = 2;
       },
       4},
      {"reference only",
       [](FrameHeader& h) {
         h.frame_type = 2;
         h.is_last = false;
         h.save_as_reference = 1;
       },
       2},
  };
  for (const Case& c : cases) {
    FrameHeader header(metadata.get());
    c.set(header);
    EXPECT_EQ(FrameStorageMask(header), c.mask) << c.name;
  }
}

TEST(BeginFrameTest, ReadsHeaderAndTableOfContents) {
  Image image(MakeMetadata(kSide, kSide));
  FrameHeader header = image.NewHeader();
  header.name = "frame";
  ASSERT_TRUE(Image3F::Create(HeapMemoryManager(), 4, 4).ok());
  image.bundle.color =
      std::move(Image3F::Create(HeapMemoryManager(), 4, 4).value());
  image.bundle.extra_channels.emplace_back(2, 2);

  ASSERT_TRUE(image.Begin(header).ok());
  const FrameDriver& d = *image.driver;
  EXPECT_EQ(d.frame_header.name, "frame");
  EXPECT_EQ(d.frame_geometry.num_groups, 4u);
  EXPECT_EQ(d.frame_geometry.num_dc_groups, 1u);
  ASSERT_EQ(d.toc.size(), 7u);
  uint64_t total = 0;
  for (size_t k = 0; k < d.toc.size(); ++k) {
    EXPECT_EQ(d.toc[k].id, k);
    EXPECT_EQ(d.toc[k].size, k + 3);
    total += k + 3;
  }
  EXPECT_EQ(d.section_sizes_total, total);
  // The reader stops at the first section byte; the bundle is reset.
  EXPECT_EQ(image.toc_end + total, image.bytes.size());
  EXPECT_EQ(image.bytes[image.toc_end], 1);
  EXPECT_FALSE(image.bundle.HasColor());
  EXPECT_TRUE(image.bundle.extra_channels.empty());
}

// The fields of a header that a stale partial read could leave behind.
std::string Summary(const FrameHeader& h) {
  std::string s;
  for (uint64_t v :
       {uint64_t{h.frame_type}, uint64_t{h.encoding}, h.flags,
        uint64_t{h.x_qm_scale}, uint64_t{h.passes.num_passes},
        uint64_t{h.custom_size_or_origin}, uint64_t{h.custom_xsize},
        uint64_t{h.custom_ysize}, static_cast<uint64_t>(h.x0),
        static_cast<uint64_t>(h.y0), uint64_t{h.blending_info.mode},
        uint64_t{h.blending_info.source}, uint64_t{h.animation_frame.duration},
        uint64_t{h.is_last}, uint64_t{h.save_as_reference},
        uint64_t{h.save_before_color_transform}, uint64_t{h.loop_filter.gab},
        uint64_t{h.loop_filter.epf_iters}}) {
    s += std::to_string(v);
    s += ',';
  }
  return s + h.name;
}

// Every cut of the header and TOC asks for more input without counting the
// frame; the complete frame then counts once and reads the same header, on
// a fresh driver as on the one that saw the cut input.
TEST(BeginFrameTest, CountsAFrameOnceWhateverTheInputCut) {
  auto metadata = MakeMetadata(kSide, kSide);
  metadata->m.have_animation = true;
  struct Case {
    const char* name;
    std::function<void(FrameHeader&)> set;
    uint64_t visible, hidden;
  };
  const Case cases[] = {
      {"default, last", [](FrameHeader&) {}, 1, 0},
      {"cropped animation frame",
       [](FrameHeader& h) {
         h.is_last = false;
         h.animation_frame.duration = 7;
         h.save_as_reference = 2;
         h.name = "abc";
         h.custom_size_or_origin = true;
         h.x0 = -3;
         h.y0 = 5;
         h.custom_xsize = 200;
         h.custom_ysize = 100;
         h.blending_info.mode = 1;
         h.blending_info.source = 1;
         h.passes.num_passes = 2;
         h.loop_filter.gab = false;
         h.loop_filter.epf_iters = 1;
       },
       1, 0},
      {"hidden modular frame",
       [](FrameHeader& h) {
         h.encoding = 1;
         h.x_qm_scale = 2;  // what a modular frame reads back
         h.is_last = false;
         h.flags = FrameFlags::kNoise;
       },
       0, 1},
  };
  for (const Case& c : cases) {
    FrameHeader header(metadata.get());
    c.set(header);
    const std::vector<uint8_t> bytes = WriteFrame(header, SomeSizes(header));
    std::string expected;
    for (bool same_driver : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (same_driver ? ", same driver" : ""));
      FrameDecodingState state(HeapMemoryManager());
      ImageBundle bundle(HeapMemoryManager(), &metadata->m);
      TaskPool pool;
      auto driver =
          std::make_unique<FrameDriver>(&state, &pool, metadata.get());
      for (size_t cut = 0; cut < bytes.size(); ++cut) {
        if (!same_driver) {
          driver = std::make_unique<FrameDriver>(&state, &pool, metadata.get());
        }
        BitReader reader(Span(bytes.data(), cut));
        EXPECT_EQ(driver->BeginFrame(reader, &bundle, false),
                  NeedMoreBytesStatus())
            << "cut " << cut;
        EXPECT_EQ(state.visible_frame_index, 0u) << "cut " << cut;
        EXPECT_EQ(state.nonvisible_frame_index, 0u) << "cut " << cut;
      }
      BitReader reader(Span(bytes.data(), bytes.size()));
      ASSERT_TRUE(driver->BeginFrame(reader, &bundle, false).ok());
      EXPECT_EQ(state.visible_frame_index, c.visible);
      EXPECT_EQ(state.nonvisible_frame_index, c.hidden);
      EXPECT_EQ(reader.Position(), bytes.size() * 8);
      if (expected.empty()) expected = Summary(driver->frame_header);
      EXPECT_EQ(Summary(driver->frame_header), expected);
    }
    EXPECT_EQ(expected, Summary(header));
  }
}

TEST(BeginFrameTest, CountsDisplayedAndHiddenFramesSeparately) {
  auto metadata = MakeMetadata(kSide, kSide);
  metadata->m.have_animation = true;
  metadata->m.have_preview = true;
  metadata->m.preview_size.xsize = 64;
  metadata->m.preview_size.ysize = 64;
  Image image(std::move(metadata));
  struct Step {
    const char* name;
    std::function<void(FrameHeader&)> set;
    bool is_preview;
    uint64_t visible, hidden;
  };
  const Step steps[] = {
      {"preview", [](FrameHeader&) {}, true, 0, 1},
      {"reference only",
       [](FrameHeader& h) {
         h.frame_type = 2;
         h.is_last = false;
       },
       false, 0, 2},
      {"duration 0, not last", [](FrameHeader& h) { h.is_last = false; }, false,
       0, 3},
      {"DC frame",
       [](FrameHeader& h) {
         h.frame_type = 1;
         h.dc_level = 1;
         h.is_last = false;
       },
       false, 0, 4},
      {"shown",
       [](FrameHeader& h) {
         h.is_last = false;
         h.animation_frame.duration = 5;
       },
       false, 1, 0},
      {"skip progressive, shown",
       [](FrameHeader& h) {
         h.frame_type = 3;
         h.is_last = false;
         h.animation_frame.duration = 1;
       },
       false, 2, 0},
      {"hidden again", [](FrameHeader& h) { h.is_last = false; }, false, 2, 1},
      {"last, duration 0", [](FrameHeader&) {}, false, 3, 0},
  };
  for (const Step& step : steps) {
    FrameHeader header = image.NewHeader();
    header.is_preview = step.is_preview;
    step.set(header);
    ASSERT_TRUE(image.Begin(header, step.is_preview).ok()) << step.name;
    EXPECT_EQ(image.state->visible_frame_index, step.visible) << step.name;
    EXPECT_EQ(image.state->nonvisible_frame_index, step.hidden) << step.name;
  }
}

TEST(BeginFrameTest, RejectsMalformedFrames) {
  auto plain = MakeMetadata(kSide, kSide, /*xyb=*/false);
  struct Case {
    const char* name;
    std::function<void(FrameHeader&)> set;
    bool bad_padding;
    Status expected;
  };
  auto subsampled = [](FrameHeader& h) {
    h.color_transform = 2;
    h.chroma_subsampling.channel_mode[0] = 1;
  };
  const Case cases[] = {
      {"non-zero TOC padding", [](FrameHeader&) {}, true, FailedStatus()},
      {"single section, non-zero padding",
       [](FrameHeader& h) {
         h.custom_size_or_origin = true;
         h.custom_xsize = 64;
         h.custom_ysize = 64;
       },
       true, FailedStatus()},
      {"subsampled VarDCT with smoothing", subsampled, false, FailedStatus()},
      {"subsampled VarDCT without smoothing",
       [&](FrameHeader& h) {
         subsampled(h);
         h.flags = FrameFlags::kSkipAdaptiveDcSmoothing;
       },
       false, OkStatus()},
      {"subsampled modular",
       [&](FrameHeader& h) {
         subsampled(h);
         h.encoding = 1;
       },
       false, OkStatus()},
  };
  for (const Case& c : cases) {
    Image image(MakeMetadata(kSide, kSide, /*xyb=*/false));
    FrameHeader header = image.NewHeader();
    c.set(header);
    const std::vector<uint8_t> bytes =
        WriteFrame(header, SomeSizes(header), false, c.bad_padding);
    FrameDriver driver(image.state.get(), &image.pool, image.metadata());
    BitReader reader(Span(bytes.data(), bytes.size()));
    EXPECT_EQ(driver.BeginFrame(reader, &image.bundle, false), c.expected)
        << c.name;
  }
}

// A driver starts another frame only once the open one is completed, and
// then reads the new header from scratch.
TEST(BeginFrameTest, NeedsTheOpenFrameCompletedFirst) {
  Image image(MakeMetadata(kSide, kSide));
  FrameHeader named = image.NewHeader();
  named.name = "first";
  image.Prepare(named);
  BitReader reader(Span(image.bytes.data(), image.bytes.size()));
  EXPECT_EQ(image.driver->BeginFrame(reader, &image.bundle, false),
            FailedStatus());
  image.GiveOk(Range(0, 7));
  ASSERT_TRUE(image.driver->CompleteFrame().ok());
  EXPECT_EQ(image.driver->CompleteFrame(), FailedStatus());
  // The next frame's header is all default: it has no name.
  const std::vector<uint8_t> next =
      WriteFrame(image.NewHeader(), SomeSizes(image.NewHeader()));
  BitReader again(Span(next.data(), next.size()));
  ASSERT_TRUE(image.driver->BeginFrame(again, &image.bundle, false).ok());
  EXPECT_EQ(image.driver->frame_header.name, "");
}

TEST(BeginFrameTest, PausesBelongToOneFrame) {
  Image image(MakeMetadata(kSide, kSide));
  FrameHeader header = image.NewHeader();
  header.passes.num_passes = 3;
  image.Prepare(header);
  ASSERT_EQ(image.driver->SetProgressivePause(3), 3);
  image.GiveOk(AllIds(*image.driver));
  image.GiveOk(AllIds(*image.driver));
  image.GiveOk(AllIds(*image.driver));
  image.GiveOk(AllIds(*image.driver));
  ASSERT_EQ(image.driver->sections_done, image.driver->toc.size());
  ASSERT_TRUE(image.driver->CompleteFrame().ok());
  BitReader again(Span(image.bytes.data(), image.bytes.size()));
  ASSERT_TRUE(image.driver->BeginFrame(again, &image.bundle, false).ok());
  EXPECT_EQ(image.driver->progressive_detail, 0);
  EXPECT_TRUE(image.driver->pause_points.empty());
}

TEST(PrepareFrameOutputTest, SizesTheWorkListsAndOpensTheFrame) {
  Image image(MakeMetadata(kSide, kSide));
  FrameHeader header = image.NewHeader();
  header.passes.num_passes = 2;
  image.Prepare(header);
  const FrameDriver& d = *image.driver;
  EXPECT_FALSE(d.completed);
  EXPECT_FALSE(d.dc_finalised);
  EXPECT_EQ(d.decoded_dc_groups.size(), 1u);
  EXPECT_EQ(d.decoded_passes.size(), 4u);
  EXPECT_EQ(d.section_processed.size(), 11u);
  EXPECT_EQ(d.sections_done, 0u);
  EXPECT_EQ(image.state->metadata, image.metadata());
  EXPECT_EQ(image.state->dc, &image.state->dc_image);
  EXPECT_EQ(image.state->dc_image.xsize(), 38u);
}

class TestJpegData : public jpeg::JPEGData {};

TEST(PrepareFrameOutputTest, LaysOutJpegComponents) {
  // 4:2:0 as JPEG stores it: luma (channel 1) at twice the chroma size.
  Image image(MakeMetadata(kSide, kSide, /*xyb=*/false));
  image.bundle.jpeg_data = std::make_unique<TestJpegData>();
  image.bundle.jpeg_data->component_list.resize(3);
  FrameHeader header = image.NewHeader();
  header.color_transform = 2;
  header.chroma_subsampling.channel_mode[1] = 1;
  header.flags = FrameFlags::kSkipAdaptiveDcSmoothing;
  image.Prepare(header);
  const jpeg::JPEGData& jpeg = *image.bundle.jpeg_data;
  EXPECT_EQ(jpeg.width, kSide);
  EXPECT_EQ(jpeg.height, kSide);
  // Components: 0 luma, 1 and 2 chroma (channels 1, 0, 2).
  const uint32_t expected[3][3] = {{38, 38, 2}, {19, 19, 1}, {19, 19, 1}};
  for (size_t k = 0; k < 3; ++k) {
    const jpeg::JpegComponentData& c = jpeg.component_list[k];
    EXPECT_EQ(c.width_in_blocks, expected[k][0]) << k;
    EXPECT_EQ(c.height_in_blocks, expected[k][1]) << k;
    EXPECT_EQ(c.h_sampling, expected[k][2]) << k;
    EXPECT_EQ(c.v_sampling, expected[k][2]) << k;
    EXPECT_EQ(c.coefficients.size(), size_t{expected[k][0]} * expected[k][1] * 64)
        << k;
  }
}

TEST(PrepareFrameOutputTest, RefusesJpegDataItCannotCarry) {
  struct Case {
    const char* name;
    bool xyb;
    size_t components;
    uint32_t encoding;
  };
  const Case cases[] = {
      {"XYB image", true, 3, 0},
      {"two components", false, 2, 0},
      {"modular frame", false, 3, 1},
  };
  for (const Case& c : cases) {
    Image image(MakeMetadata(kSide, kSide, c.xyb));
    image.bundle.jpeg_data = std::make_unique<TestJpegData>();
    image.bundle.jpeg_data->component_list.resize(c.components);
    FrameHeader header = image.NewHeader();
    header.encoding = c.encoding;
    ASSERT_TRUE(image.Begin(header).ok()) << c.name;
    EXPECT_EQ(image.driver->PrepareFrameOutput(), FailedStatus()) << c.name;
  }
}

// Hands out a fixed raw table (any number of values) for every raw spec.
class FixedRawTable final : public RawQuantMatrixReader {
 public:
  FixedRawTable(std::vector<int32_t> values, float denominator)
      : values_(std::move(values)), denominator_(denominator) {}
  Status ReadRawQuantMatrix(const QovMemoryManagerStruct*, size_t, size_t,
                            BitReader*, DequantTableSpec* spec,
                            uint32_t) override {
    return SetRawQuantTable(denominator_, values_.data(), values_.size(), spec);
  }

 private:
  std::vector<int32_t> values_;
  float denominator_;
};

// The JPEG quantisation tables of a frame rebuilt as a JPEG file come from
// its raw 8x8 table, transposed, channel by channel through the component
// map; every refusal of a table set the rebuild cannot use.
TEST(FillJpegQuantTablesTest, CopiesTheRawTableOrRefuses) {
  // Raw values 1..192: channel c holds 64c + 1 .. 64c + 64 in raster order.
  std::vector<int32_t> raw(192);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<int32_t>(1 + i);
  // Natural-order table of channel c: the raw rows become columns.
  auto channel_table = [&](size_t c) {
    std::vector<int32_t> t(64);
    for (size_t x = 0; x < 8; ++x) {
      for (size_t y = 0; y < 8; ++y) t[x * 8 + y] = raw[64 * c + y * 8 + x];
    }
    return t;
  };
  constexpr float kDenominator = 1.0f / 2040;
  constexpr uint32_t kXyb = 0, kNone = 1, kYCbCr = 2;
  struct Case {
    const char* name;
    uint32_t transform;
    std::vector<uint32_t> quant_index;  // one per component
    size_t tables;
    // The channel each table takes, -1 when the call fails.
    std::vector<int> expected;
    bool raw_spec = true;  // else every spec from the library
    float denominator = kDenominator;
    size_t raw_values = 192;
  };
  const std::vector<Case> cases = {
      // YCbCr maps channels 0, 1, 2 to components 1, 0, 2.
      {"YCbCr, luma table and a shared chroma table", kYCbCr, {0, 1, 1}, 2,
       {1, 2}},
      {"no transform: channels in component order", kNone, {0, 1, 2}, 3,
       {0, 1, 2}},
      {"gray takes channel 1; an unused table repeats the one before", kNone,
       {0}, 2, {1, 1}},
      {"denominator 5e-9 off", kNone, {0, 0, 0}, 1, {2}, true,
       kDenominator + 5e-9f},
      {"8x8 spec not raw", kNone, {0, 0, 0}, 1, {-1}, false},
      {"denominator 2e-8 off", kNone, {0, 0, 0}, 1, {-1}, true,
       kDenominator + 2e-8f},
      {"XYB", kXyb, {0, 0, 0}, 1, {-1}},
      {"raw table of 191 values", kNone, {0, 0, 0}, 1, {-1}, true,
       kDenominator, 191},
      {"two components", kNone, {0, 0}, 1, {-1}},
      {"four components", kNone, {0, 0, 0, 0}, 1, {-1}},
      {"component names a missing table", kNone, {0, 1, 2}, 2, {-1}},
      {"table 0 unused", kYCbCr, {1, 1, 1}, 2, {-1}},
  };
  for (const Case& c : cases) {
    std::vector<int32_t> values = raw;
    values.resize(c.raw_values, 7);
    FixedRawTable raw_reader(values, c.denominator);
    test::BitSequence specs;
    if (c.raw_spec) {
      specs.Bits(1, 0).Bits(3, 7);  // the 8x8 spec raw, the others library
      for (int k = 1; k < 17; ++k) specs.Bits(3, 0);
    } else {
      specs.Bits(1, 1);
    }
    const std::vector<uint8_t> spec_bytes = specs.Bytes();
    BitReader reader(Span(spec_bytes.data(), spec_bytes.size()));
    DequantTableSet dequant;
    ASSERT_TRUE(
        dequant.ReadSpecs(HeapMemoryManager(), &reader, &raw_reader).ok())
        << c.name;
    EXPECT_TRUE(reader.Close().ok()) << c.name;

    Image image(MakeMetadata(kSide, kSide, /*xyb=*/false));
    image.bundle.jpeg_data = std::make_unique<TestJpegData>();
    jpeg::JPEGData& jpeg = *image.bundle.jpeg_data;
    jpeg.component_list.resize(c.quant_index.size());
    for (size_t k = 0; k < c.quant_index.size(); ++k) {
      jpeg.component_list[k].quant_index = c.quant_index[k];
    }
    jpeg.quant_tables.resize(c.tables);
    for (size_t q = 0; q < c.tables; ++q) {
      jpeg.quant_tables[q].table_id = static_cast<uint32_t>(3 - q);
      jpeg.quant_tables[q].precision = q % 2;
      jpeg.quant_tables[q].is_last = q + 1 == c.tables;
    }
    FrameHeader header = image.NewHeader();
    header.color_transform = c.transform;
    header.chroma_subsampling.channel_mode[2] = 3;
    const Status status = FillJpegQuantTables(header, dequant, &image.bundle);
    // The frame's transform and subsampling are recorded in any case.
    EXPECT_EQ(image.bundle.color_transform, c.transform) << c.name;
    EXPECT_EQ(image.bundle.chroma_subsampling.channel_mode[2], 3u) << c.name;
    if (c.expected[0] < 0) {
      EXPECT_EQ(status, FailedStatus()) << c.name;
      continue;
    }
    ASSERT_TRUE(status.ok()) << c.name;
    for (size_t q = 0; q < c.tables; ++q) {
      const jpeg::JpegQuantSpec& t = jpeg.quant_tables[q];
      EXPECT_EQ(std::vector<int32_t>(t.values, t.values + 64),
                channel_table(c.expected[q]))
          << c.name << ", table " << q;
      // Only the values change.
      EXPECT_EQ(t.table_id, 3 - q) << c.name << ", table " << q;
      EXPECT_EQ(t.precision, q % 2) << c.name << ", table " << q;
      EXPECT_EQ(t.is_last, q + 1 == c.tables) << c.name << ", table " << q;
    }
  }
}

TEST(DecodeSectionsTest, AllSectionsInOneCallDecodeTheFrame) {
  Image image(MakeMetadata(kSide, kSide));
  image.Prepare(image.NewHeader());
  EXPECT_EQ(image.GiveOk({6, 5, 4, 3, 2, 1, 0}), Outcomes(7, kDone));
  EXPECT_EQ(image.content.log,
            (std::vector<std::string>{"DG", "D0", "AG", "A0p0x1", "A1p0x1",
                                      "A2p0x1", "A3p0x1"}));
  EXPECT_EQ(image.content.wrong_reader, 0);
  EXPECT_EQ(image.driver->sections_done, 7u);
  EXPECT_TRUE(image.driver->dc_finalised);
  EXPECT_TRUE(image.driver->outputs_allocated);
  EXPECT_NE(image.state->render_pipeline, nullptr);
}

TEST(DecodeSectionsTest, SectionsBeforeTheirTurnAreSkippedUntilGivenAgain) {
  Image image(MakeMetadata(kSide, kSide));
  image.Prepare(image.NewHeader());
  struct Step {
    std::vector<uint64_t> ids;
    Outcomes outcomes;
    std::vector<std::string> new_log;
  };
  const Step steps[] = {
      {{3, 4, 5, 6}, {kSkip, kSkip, kSkip, kSkip}, {}},
      {{1}, {kSkip}, {}},
      {{0, 2}, {kDone, kSkip}, {"DG"}},
      {{2, 1, 3}, {kDone, kDone, kDone}, {"D0", "AG", "A0p0x1"}},
      {{4, 5, 6}, {kDone, kDone, kDone}, {"A1p0x1", "A2p0x1", "A3p0x1"}},
  };
  uint64_t done = 0;
  for (size_t s = 0; s < std::size(steps); ++s) {
    image.content.log.clear();
    EXPECT_EQ(image.GiveOk(steps[s].ids), steps[s].outcomes) << "step " << s;
    EXPECT_EQ(image.content.log, steps[s].new_log) << "step " << s;
    for (SectionOutcome o : steps[s].outcomes) done += (o == kDone);
    EXPECT_EQ(image.driver->sections_done, done) << "step " << s;
    for (size_t i = 0; i < steps[s].ids.size(); ++i) {
      EXPECT_EQ(image.driver->section_processed[steps[s].ids[i]],
                steps[s].outcomes[i] == kDone ? 1 : 0)
          << "step " << s;
    }
  }
  EXPECT_EQ(image.content.wrong_reader, 0);
}

TEST(DecodeSectionsTest, PassesOfAGroupDecodeInOrder) {
  Image image(MakeMetadata(kSide, kSide));
  FrameHeader header = image.NewHeader();
  header.passes.num_passes = 2;
  image.Prepare(header);
  // Everything but pass 0 of group 0 (id 3): its pass 1 (id 7) waits.
  std::vector<uint64_t> ids = {0, 1, 2, 4, 5, 6, 7, 8, 9, 10};
  Outcomes expected(ids.size(), kDone);
  expected[6] = kSkip;
  EXPECT_EQ(image.GiveOk(ids), expected);
  EXPECT_EQ(image.content.log,
            (std::vector<std::string>{"DG", "D0", "AG", "A1p0x2", "A2p0x2",
                                      "A3p0x2"}));
  image.content.log.clear();
  EXPECT_EQ(image.GiveOk({7, 3}), Outcomes(2, kDone));
  EXPECT_EQ(image.content.log, std::vector<std::string>{"A0p0x2"});
  EXPECT_EQ(image.driver->sections_done, 11u);
  EXPECT_EQ(image.content.wrong_reader, 0);
}

TEST(DecodeSectionsTest, DuplicatesAreAnsweredWithoutUndoingTheOriginal) {
  Image image(MakeMetadata(kSide, kSide));
  image.Prepare(image.NewHeader());
  EXPECT_EQ(image.GiveOk({0, 0}), (Outcomes{kDone, kDup}));
  EXPECT_EQ(image.driver->sections_done, 1u);
  EXPECT_EQ(image.driver->section_processed[0], 1);
  // A section decoded in an earlier call stays decoded when given again.
  EXPECT_EQ(image.GiveOk({0}), Outcomes{kDup});
  EXPECT_EQ(image.driver->section_processed[0], 1);
  EXPECT_EQ(image.driver->sections_done, 1u);
  EXPECT_EQ(image.GiveOk({0, 1}), (Outcomes{kDup, kDone}));
  EXPECT_EQ(image.content.log, (std::vector<std::string>{"DG", "D0"}));
}

TEST(DecodeSectionsTest, RejectsBadCalls) {
  struct Case {
    const char* name;
    uint32_t side;
    std::vector<uint64_t> ids;
  };
  const Case cases[] = {
      {"id past the TOC", kSide, {0, 7}},
      {"single section, two inputs", 64, {0, 0}},
      {"single section, id 1", 64, {1}},
  };
  for (const Case& c : cases) {
    Image image(MakeMetadata(c.side, c.side));
    image.Prepare(image.NewHeader());
    Outcomes outcomes;
    EXPECT_EQ(image.Give(c.ids, &outcomes), FailedStatus()) << c.name;
  }
}

// Sections are given whole, so a section decoder that runs out of bytes
// fails the call like any other failure (only the DC global may answer
// partial): the call never asks for more input.
TEST(DecodeSectionsTest, FailingSectionsFailTheCall) {
  struct Case {
    const char* name;
    std::function<void(RecordingContent&)> set;
  };
  const Case cases[] = {
      {"DC global",
       [](RecordingContent& r) { r.dc_global_answers = {FailedStatus()}; }},
      {"DC group", [](RecordingContent& r) { r.failing_dc_groups = {0}; }},
      {"DC group short of bytes",
       [](RecordingContent& r) {
         r.failing_dc_groups = {0};
         r.group_failure = NeedMoreBytesStatus();
       }},
      {"AC global", [](RecordingContent& r) { r.ac_global_answer = FailedStatus(); }},
      {"AC global short of bytes",
       [](RecordingContent& r) { r.ac_global_answer = NeedMoreBytesStatus(); }},
      {"AC group", [](RecordingContent& r) { r.failing_ac_groups = {2}; }},
      {"AC group short of bytes",
       [](RecordingContent& r) {
         r.failing_ac_groups = {2};
         r.group_failure = NeedMoreBytesStatus();
       }},
  };
  for (const Case& c : cases) {
    Image image(MakeMetadata(kSide, kSide));
    c.set(image.content);
    image.Prepare(image.NewHeader());
    Outcomes outcomes;
    EXPECT_EQ(image.Give(Range(0, 7), &outcomes), FailedStatus()) << c.name;
  }
}

TEST(DecodeSectionsTest, RealSectionDecodersRejectFillerBytes) {
  // Without a content seam the real section decoders read the sections;
  // the filler bytes of WriteFrame are no valid VarDCT frame.
  Image image(MakeMetadata(kSide, kSide));
  image.Prepare(image.NewHeader());
  image.driver->section_content = nullptr;
  Outcomes outcomes;
  EXPECT_EQ(image.Give(Range(0, 7), &outcomes), FailedStatus());
}

TEST(DecodeSectionsTest, PartialDcGlobalIsGivenAgain) {
  Image image(MakeMetadata(kSide, kSide));
  image.content.dc_global_answers = {NeedMoreBytesStatus()};
  image.Prepare(image.NewHeader());
  EXPECT_EQ(image.GiveOk({0, 1}), (Outcomes{kPartial, kSkip}));
  EXPECT_EQ(image.driver->section_processed[0], 0);
  EXPECT_EQ(image.driver->sections_done, 0u);
  EXPECT_EQ(image.GiveOk({0, 1}), (Outcomes{kDone, kDone}));
}

TEST(DecodeSectionsTest, SingleSectionFrameDecodesEverythingFromOneReader) {
  Image image(MakeMetadata(64, 64));
  image.Prepare(image.NewHeader());
  ASSERT_TRUE(image.driver->IsSingleSection());
  EXPECT_EQ(image.GiveOk({0}), Outcomes{kDone});
  EXPECT_EQ(image.content.log,
            (std::vector<std::string>{"DG", "D0", "AG", "A0p0x1"}));
  EXPECT_EQ(image.GiveOk({0}), Outcomes{kDup});
  EXPECT_EQ(image.driver->sections_done, 1u);
}

TEST(ProgressiveTest, EffectiveDetailAndPausePoints) {
  struct Case {
    const char* name;
    uint32_t side;
    std::function<void(CodecMetadata&, FrameHeader&)> set;
    int32_t requested;
    int32_t effective;
    std::vector<int32_t> points;
  };
  auto three_passes = [](CodecMetadata&, FrameHeader& h) {
    h.passes.num_passes = 3;
  };
  const Case cases[] = {
      {"every pass", kSide, three_passes, 3, 3, {1, 2}},
      {"above 3 acts as 3", kSide, three_passes, 7, 7, {1, 2}},
      {"after the DC", kSide, three_passes, 1, 1, {}},
      {"never", kSide, three_passes, 0, 0, {}},
      {"downsampling steps",
       kSide,
       [](CodecMetadata&, FrameHeader& h) {
         h.passes.num_passes = 4;
         h.passes.num_downsample = 2;
         h.passes.downsample[0] = 4;
         h.passes.downsample[1] = 2;
         h.passes.last_pass[0] = 0;
         h.passes.last_pass[1] = 2;
       },
       2,
       2,
       {1, 3}},
      {"modular",
       kSide,
       [](CodecMetadata&, FrameHeader& h) {
         h.encoding = 1;
         h.passes.num_passes = 3;
       },
       3,
       0,
       {}},
      {"skip progressive",
       kSide,
       [](CodecMetadata&, FrameHeader& h) {
         h.frame_type = 3;
         h.passes.num_passes = 3;
       },
       3,
       0,
       {}},
      {"single section", 64, [](CodecMetadata&, FrameHeader&) {}, 3, 0, {}},
      {"extra channel",
       kSide,
       [](CodecMetadata& m, FrameHeader& h) {
         m.m.num_extra_channels = 1;
         m.m.extra_channel_info.resize(1);
         h.passes.num_passes = 3;
       },
       3,
       0,
       {}},
  };
  for (const Case& c : cases) {
    Image image(MakeMetadata(c.side, c.side));
    FrameHeader header = image.NewHeader();
    c.set(*image.mutable_metadata(), header);
    header.ec_blending_info.resize(image.metadata()->m.num_extra_channels);
    header.ec_upsampling.resize(image.metadata()->m.num_extra_channels, 1);
    FrameDriver driver(image.state.get(), &image.pool, image.metadata());
    driver.frame_header = header;
    driver.frame_geometry = header.ComputeGeometry();
    EXPECT_EQ(driver.SetProgressivePause(c.requested), c.effective) << c.name;
    EXPECT_EQ(driver.pause_points, c.points) << c.name;
  }
}

TEST(ProgressiveTest, DetailOneStopsAfterTheDc) {
  Image image(MakeMetadata(kSide, kSide));
  image.Prepare(image.NewHeader());
  ASSERT_EQ(image.driver->SetProgressivePause(1), 1);
  Outcomes expected(7, kSkip);
  expected[0] = expected[1] = kDone;
  EXPECT_EQ(image.GiveOk(Range(0, 7)), expected);
  EXPECT_TRUE(image.driver->dc_finalised);
  EXPECT_EQ(image.driver->sections_done, 2u);
  EXPECT_EQ(image.GiveOk(Range(2, 7)), Outcomes(5, kDone));
}

TEST(ProgressiveTest, EveryPassPausesAtEachPassCount) {
  Image image(MakeMetadata(kSide, kSide));
  FrameHeader header = image.NewHeader();
  header.passes.num_passes = 3;
  image.Prepare(header);
  ASSERT_EQ(image.driver->SetProgressivePause(3), 3);
  image.GiveOk({0, 1});  // pauses after the DC
  // Passes: ids 3..6 pass 0, 7..10 pass 1, 11..14 pass 2.
  Outcomes outcomes = image.GiveOk(Range(2, 15));
  for (size_t i = 0; i < outcomes.size(); ++i) {
    EXPECT_EQ(outcomes[i], i < 5 ? kDone : kSkip) << i;
  }
  EXPECT_EQ(image.driver->PausePassLimit(), 2u);
  outcomes = image.GiveOk(Range(7, 15));
  for (size_t i = 0; i < outcomes.size(); ++i) {
    EXPECT_EQ(outcomes[i], i < 4 ? kDone : kSkip) << i;
  }
  EXPECT_EQ(image.driver->PausePassLimit(), UINT64_MAX);
  EXPECT_EQ(image.GiveOk(Range(11, 15)), Outcomes(4, kDone));
  EXPECT_EQ(image.driver->sections_done, 15u);
}

TEST(ReferencedSlotsMaskTest, SlotsACompleteFrameReads) {
  struct Case {
    const char* name;
    uint32_t extra_channels;
    std::function<void(FrameDecodingState&, FrameHeader&)> set;
    int32_t mask;
  };
  const Case cases[] = {
      {"replace, whole frame", 0, [](FrameDecodingState&, FrameHeader&) {}, 0},
      {"add onto slot 2", 0,
       [](FrameDecodingState&, FrameHeader& h) {
         h.blending_info.mode = 1;
         h.blending_info.source = 2;
       },
       4},
      {"cropped replace onto slot 3", 0,
       [](FrameDecodingState&, FrameHeader& h) {
         h.custom_size_or_origin = true;
         h.custom_xsize = 280;
         h.custom_ysize = 280;
         h.blending_info.source = 3;
       },
       8},
      {"extra channel blends onto slot 1", 1,
       [](FrameDecodingState&, FrameHeader& h) {
         h.ec_blending_info[0].mode = 1;
         h.ec_blending_info[0].source = 1;
       },
       2},
      {"DC from a DC frame", 0,
       [](FrameDecodingState& s, FrameHeader& h) {
         h.flags = FrameFlags::kUseDcFrame;
         s.dc_frames[0] =
             std::move(Image3F::Create(HeapMemoryManager(), 38, 38).value());
       },
       16},
  };
  for (const Case& c : cases) {
    auto metadata = MakeMetadata(kSide, kSide);
    metadata->m.num_extra_channels = c.extra_channels;
    metadata->m.extra_channel_info.resize(c.extra_channels);
    Image image(std::move(metadata));
    FrameHeader header = image.NewHeader();
    header.ec_blending_info.resize(c.extra_channels);
    header.ec_upsampling.resize(c.extra_channels, 1);
    c.set(*image.state, header);
    image.Prepare(header);
    const std::vector<uint64_t> ids = AllIds(*image.driver);
    image.GiveOk({ids.begin(), ids.end() - 1});
    EXPECT_EQ(image.driver->ReferencedSlotsMask(), 0)
        << c.name << ": incomplete";
    image.GiveOk({ids.back()});
    EXPECT_EQ(image.driver->ReferencedSlotsMask(), c.mask) << c.name;
    ASSERT_TRUE(image.driver->CompleteFrame().ok()) << c.name;
    EXPECT_EQ(image.driver->ReferencedSlotsMask(), 0)
        << c.name << ": completed";
  }
}

TEST(CompleteFrameTest, SavesReferableFramesIntoTheirSlot) {
  struct Case {
    const char* name;
    std::function<void(FrameHeader&)> set;
    int slot;  // -1: nowhere
  };
  const Case cases[] = {
      {"last frame", [](FrameHeader& h) { h.save_as_reference = 0; }, -1},
      {"hidden, slot 2",
       [](FrameHeader& h) {
         h.is_last = false;
         h.save_as_reference = 2;
         h.save_before_color_transform = true;
       },
       2},
      {"hidden, slot 0", [](FrameHeader& h) { h.is_last = false; }, 0},
      {"shown, not saved",
       [](FrameHeader& h) {
         h.is_last = false;
         h.animation_frame.duration = 3;
       },
       -1},
      {"shown, slot 1",
       [](FrameHeader& h) {
         h.is_last = false;
         h.animation_frame.duration = 3;
         h.save_as_reference = 1;
       },
       1},
      {"DC frame",
       [](FrameHeader& h) {
         h.frame_type = 1;
         h.dc_level = 1;
         h.is_last = false;
       },
       -1},
  };
  for (const Case& c : cases) {
    auto metadata = MakeMetadata(kSide, kSide);
    metadata->m.have_animation = true;
    Image image(std::move(metadata));
    FrameHeader header = image.NewHeader();
    c.set(header);
    image.Prepare(header);
    image.GiveOk(AllIds(*image.driver));
    image.state->reference_image.name = "kept";
    ASSERT_TRUE(image.driver->CompleteFrame().ok()) << c.name;
    for (int s = 0; s < 4; ++s) {
      const ReferenceFrameSlot& slot = image.state->reference_slots[s];
      ASSERT_NE(slot.frame, nullptr);
      EXPECT_EQ(slot.frame->name, s == c.slot ? "kept" : "")
          << c.name << " slot " << s;
      EXPECT_EQ(slot.saved_before_color_transform,
                s == c.slot && header.save_before_color_transform)
          << c.name << " slot " << s;
    }
  }
}

TEST(CompleteFrameTest, JpegFramesAreNotSaved) {
  Image image(MakeMetadata(kSide, kSide, /*xyb=*/false));
  image.bundle.jpeg_data = std::make_unique<TestJpegData>();
  image.bundle.jpeg_data->component_list.resize(1);
  FrameHeader header = image.NewHeader();
  header.is_last = false;
  image.Prepare(header);
  image.GiveOk(AllIds(*image.driver));
  image.state->reference_image.name = "kept";
  ASSERT_TRUE(image.driver->CompleteFrame().ok());
  EXPECT_EQ(image.state->reference_slots[0].frame->name, "");
}

}  // namespace
}  // namespace qov
