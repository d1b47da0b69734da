// Information getters: orientation handling, extra channels, colour sources,
// frame placement and the buffer-size rules.
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "qov/qov.h"
#include "tests/api/decoder_test_helpers.h"

namespace qov {
namespace {

// A decoder that has read `file` up to the first event in `stop_at`.
class Session {
 public:
  Session(const Bytes& file, int32_t events, bool keep_orientation = false,
          bool coalescing = true)
      : file_(file), dec_(QovDecoderCreate(nullptr)) {
    QovDecoderKeepOrientation(dec_, keep_orientation);
    QovDecoderEnableCoalescing(dec_, coalescing);
    QovDecoderSubscribeEvents(dec_, events);
    QovDecoderProvideInput(dec_, file_.data(), file_.size());
    QovDecoderEndInput(dec_);
  }
  ~Session() { QovDecoderDelete(dec_); }
  QovDecoderStatus Next() { return QovDecoderAdvance(dec_); }
  QovDecoder dec() const { return dec_; }

 private:
  Bytes file_;
  QovDecoder dec_;
};

Bytes OrientedImage(uint32_t orientation, bool intrinsic) {
  CodestreamWriter w;
  w.SetSize(100, 50);
  w.metadata.m.orientation = orientation;
  if (intrinsic) {
    w.metadata.m.have_intrinsic_size = true;
    w.metadata.m.intrinsic_size.xsize = 30;
    w.metadata.m.intrinsic_size.ysize = 20;
  }
  w.AddFrame(w.NewFrame(), Bytes(4, 0));
  return w.Write();
}

TEST(BasicInfoTest, Orientation) {
  struct Case {
    uint32_t orientation;
    bool keep;
    bool intrinsic;
    uint32_t xsize, ysize, reported, ixsize, iysize;
  };
  const Case cases[] = {
      {6, false, false, 50, 100, 1, 50, 100},
      {6, true, false, 100, 50, 6, 100, 50},
      {6, false, true, 50, 100, 1, 30, 20},  // intrinsic size as stored
      {4, false, false, 100, 50, 1, 100, 50},
      {4, true, false, 100, 50, 4, 100, 50},
      {8, false, false, 50, 100, 1, 50, 100},
  };
  for (const Case& c : cases) {
    Session s(OrientedImage(c.orientation, c.intrinsic), QOV_DEC_HEADER_INFO, c.keep);
    QovBasicInfo info;
    std::memset(&info, 0xFF, sizeof(info));
    EXPECT_EQ(QOV_DEC_WANT_INPUT, QovDecoderGetBasicInfo(s.dec(), &info));
    ASSERT_EQ(QOV_DEC_HEADER_INFO, s.Next());
    ASSERT_EQ(QOV_DEC_OK, QovDecoderGetBasicInfo(s.dec(), &info));
    SCOPED_TRACE(c.orientation * 10 + c.keep);
    EXPECT_EQ(c.xsize, info.xsize);
    EXPECT_EQ(c.ysize, info.ysize);
    EXPECT_EQ(c.reported, info.orientation);
    EXPECT_EQ(c.ixsize, info.intrinsic_xsize);
    EXPECT_EQ(c.iysize, info.intrinsic_ysize);
    EXPECT_EQ(0, info.have_container);
    for (uint8_t b : info.reserved) ASSERT_EQ(0, b);
  }
}

TEST(BasicInfoTest, ExtraChannels) {
  CodestreamWriter w;
  ExtraChannelInfo depth;
  depth.all_default = false;
  depth.type = 1;
  depth.bit_depth.bits_per_sample = 12;
  depth.name = "depth";
  ExtraChannelInfo alpha;
  alpha.all_default = false;
  alpha.type = 0;
  alpha.bit_depth.bits_per_sample = 10;
  alpha.alpha_associated = true;
  ExtraChannelInfo spot;
  spot.all_default = false;
  spot.type = 2;
  spot.bit_depth.floating_point_sample = true;
  spot.bit_depth.bits_per_sample = 16;
  spot.bit_depth.exponent_bits_per_sample = 5;
  spot.spot_color[0] = 0.5f;
  spot.spot_color[3] = 1.0f;
  w.metadata.m.extra_channel_info = {depth, alpha, spot};
  w.AddFrame(w.NewFrame(), Bytes(4, 0));
  Session s(w.Write(), QOV_DEC_HEADER_INFO);
  QovExtraChannelInfo ec;
  EXPECT_EQ(QOV_DEC_WANT_INPUT, QovDecoderGetExtraChannelInfo(s.dec(), 0, &ec));
  ASSERT_EQ(QOV_DEC_HEADER_INFO, s.Next());
  QovBasicInfo info;
  ASSERT_EQ(QOV_DEC_OK, QovDecoderGetBasicInfo(s.dec(), &info));
  EXPECT_EQ(3u, info.num_extra_channels);
  // The first alpha channel is the second extra channel.
  EXPECT_EQ(10u, info.alpha_bits);
  EXPECT_EQ(0u, info.alpha_exponent_bits);
  EXPECT_EQ(1, info.alpha_premultiplied);

  ASSERT_EQ(QOV_DEC_OK, QovDecoderGetExtraChannelInfo(s.dec(), 0, &ec));
  EXPECT_EQ(1u, ec.type);
  EXPECT_EQ(12u, ec.bits_per_sample);
  EXPECT_EQ(0u, ec.exponent_bits_per_sample);
  EXPECT_EQ(5u, ec.name_length);
  ASSERT_EQ(QOV_DEC_OK, QovDecoderGetExtraChannelInfo(s.dec(), 2, &ec));
  EXPECT_EQ(2u, ec.type);
  EXPECT_EQ(5u, ec.exponent_bits_per_sample);
  EXPECT_FLOAT_EQ(0.5f, ec.spot_color[0]);
  EXPECT_FLOAT_EQ(1.0f, ec.spot_color[3]);
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderGetExtraChannelInfo(s.dec(), 3, &ec));

  char name[8];
  std::memset(name, 'x', sizeof(name));
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderGetExtraChannelName(s.dec(), 0, name, 5));
  EXPECT_EQ('x', name[0]);  // nothing written
  ASSERT_EQ(QOV_DEC_OK, QovDecoderGetExtraChannelName(s.dec(), 0, name, 6));
  EXPECT_STREQ("depth", name);
  ASSERT_EQ(QOV_DEC_OK, QovDecoderGetExtraChannelName(s.dec(), 1, name, 1));
  EXPECT_STREQ("", name);
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderGetExtraChannelName(s.dec(), 3, name, 8));
}

TEST(ColorGetterTest, XybOutputEncoding) {
  CodestreamWriter w;
  w.metadata.m.xyb_encoded = true;
  ColorEncoding& c = w.metadata.m.color_encoding;
  c.all_default = false;
  c.color_space = 1;  // grey
  c.white_point = 11;  // DCI: not produced directly from XYB
  ASSERT_TRUE(c.BuildIccFromFields().ok());
  w.AddFrame(w.NewFrame(), Bytes(4, 0));
  Session s(w.Write(), QOV_DEC_COLOR_INFO);
  QovColorEncoding out;
  EXPECT_EQ(QOV_DEC_WANT_INPUT, QovDecoderGetColorAsFields(s.dec(), QOV_COLOR_SOURCE_CODESTREAM, &out));
  ASSERT_EQ(QOV_DEC_COLOR_INFO, s.Next());
  ASSERT_EQ(QOV_DEC_OK, QovDecoderGetColorAsFields(s.dec(), QOV_COLOR_SOURCE_CODESTREAM, &out));
  EXPECT_EQ(1u, out.color_space);
  EXPECT_EQ(11u, out.white_point);
  EXPECT_EQ(13u, out.transfer_function);
  ASSERT_EQ(QOV_DEC_OK, QovDecoderGetColorAsFields(s.dec(), QOV_COLOR_SOURCE_OUTPUT, &out));
  EXPECT_EQ(1u, out.color_space);
  EXPECT_EQ(1u, out.white_point);
  EXPECT_EQ(8u, out.transfer_function);  // linear grey sRGB
  uint64_t declared = 0, output = 0;
  ASSERT_EQ(QOV_DEC_OK, QovDecoderGetICCProfileSize(s.dec(), QOV_COLOR_SOURCE_CODESTREAM, &declared));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderGetICCProfileSize(s.dec(), QOV_COLOR_SOURCE_OUTPUT, &output));
  EXPECT_GT(declared, 0u);
  EXPECT_GT(output, 0u);
  std::vector<uint8_t> icc(declared);
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderGetColorAsICCProfile(s.dec(), QOV_COLOR_SOURCE_CODESTREAM,
                                                           icc.data(), declared - 1));
  EXPECT_EQ(QOV_DEC_OK, QovDecoderGetColorAsICCProfile(s.dec(), QOV_COLOR_SOURCE_CODESTREAM,
                                                       icc.data(), declared));
  EXPECT_EQ(QOV_DEC_OK, QovDecoderGetColorAsFields(s.dec(), QOV_COLOR_SOURCE_CODESTREAM, nullptr));
}

TEST(ColorGetterTest, IccOnlyEncoding) {
  const Bytes file = ReadFileBytes(std::string(QOV_TESTDATA_DIR) +
                                   "/files/KDE__kimageformats__autotests__read__jxl__orientation6.jxl");
  ASSERT_FALSE(file.empty());
  Session s(file, QOV_DEC_COLOR_INFO);
  ASSERT_EQ(QOV_DEC_COLOR_INFO, s.Next());
  QovColorEncoding out;
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderGetColorAsFields(s.dec(), QOV_COLOR_SOURCE_CODESTREAM, &out));
  for (const QovColorSource source : {QOV_COLOR_SOURCE_CODESTREAM, QOV_COLOR_SOURCE_OUTPUT}) {
    uint64_t size = 0;
    ASSERT_EQ(QOV_DEC_OK, QovDecoderGetICCProfileSize(s.dec(), source, &size));
    EXPECT_EQ(672u, size);
    std::vector<uint8_t> icc(size);
    ASSERT_EQ(QOV_DEC_OK, QovDecoderGetColorAsICCProfile(s.dec(), source, icc.data(), size));
    EXPECT_EQ(0, std::memcmp(icc.data() + 36, "acsp", 4));
  }
}

// A frame with its own size and origin, in images of each orientation.
Bytes CroppedFrameImage(uint32_t orientation) {
  CodestreamWriter w;
  w.SetSize(100, 50);
  w.metadata.m.orientation = orientation;
  FrameHeader f = w.NewFrame();
  f.custom_size_or_origin = true;
  f.custom_xsize = 20;
  f.custom_ysize = 10;
  f.x0 = 10;
  f.y0 = 5;
  f.blending_info.mode = 1;  // add
  f.blending_info.source = 2;
  f.is_last = false;
  f.save_as_reference = 3;
  f.name = "crop";
  w.AddFrame(f, Bytes(4, 0));
  w.AddFrame(w.NewFrame(), Bytes(4, 0));
  return w.Write();
}

TEST(FrameGetterTest, Placement) {
  struct Case {
    uint32_t orientation;
    bool keep;
    bool coalescing;
    const char* expected;  // prefix of DescribeFrame's line after "last=0 "
  };
  const Case cases[] = {
      {1, false, false, "crop=1(10,5) 20x10 blend=1/2/0/0 ref=3"},
      {2, false, false, "crop=1(70,5) 20x10 blend=1/2/0/0 ref=3"},
      {3, false, false, "crop=1(70,35) 20x10"},
      {4, false, false, "crop=1(10,35) 20x10"},
      {5, false, false, "crop=1(5,10) 10x20"},
      {6, false, false, "crop=1(35,10) 10x20"},
      {7, false, false, "crop=1(35,70) 10x20"},
      {8, false, false, "crop=1(5,70) 10x20"},
      {6, true, false, "crop=1(10,5) 20x10"},
  };
  for (const Case& c : cases) {
    Session s(CroppedFrameImage(c.orientation), QOV_DEC_FRAME_START, c.keep, c.coalescing);
    ASSERT_EQ(QOV_DEC_FRAME_START, s.Next()) << c.orientation;
    const std::string line = DescribeFrame(s.dec());
    EXPECT_NE(std::string::npos, line.find(c.expected))
        << "orientation " << c.orientation << " keep " << c.keep << ": " << line;
  }
}

TEST(FrameGetterTest, CoalescedFramesAreFullSize) {
  CodestreamWriter w;
  w.SetSize(100, 50);
  w.metadata.m.have_animation = true;
  FrameHeader f = w.NewFrame();
  f.custom_size_or_origin = true;
  f.custom_xsize = 20;
  f.custom_ysize = 10;
  f.x0 = 10;
  f.blending_info.mode = 1;
  f.animation_frame.duration = 7;
  f.is_last = false;
  f.name = "a";
  w.AddFrame(f, Bytes(4, 0));
  w.AddFrame(w.NewFrame(), Bytes(4, 0));
  Session s(w.Write(), QOV_DEC_FRAME_START, false, true);
  QovFrameHeader h;
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderGetFrameHeader(s.dec(), &h));  // no frame yet
  char name[4];
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderGetFrameName(s.dec(), name, sizeof(name)));
  ASSERT_EQ(QOV_DEC_FRAME_START, s.Next());
  EXPECT_EQ("frame dur=7 tc=0 last=0 crop=0(0,0) 100x50 blend=0/0/0/0 ref=0 name=\"a\"",
            DescribeFrame(s.dec()));
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderGetFrameName(s.dec(), name, 1));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderGetFrameName(s.dec(), name, 2));
  EXPECT_STREQ("a", name);
  ASSERT_EQ(QOV_DEC_FRAME_START, s.Next());
  EXPECT_EQ(QOV_DEC_OK, s.Next());
}

}  // namespace
}  // namespace qov
