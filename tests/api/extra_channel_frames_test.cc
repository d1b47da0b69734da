// Frames of images with extra channels, written with CodestreamWriter: the
// frame headers carry one upsampling and one blending entry per channel, so
// frame events and header getters work past the colour information.
#include <string>

#include "gtest/gtest.h"
#include "tests/api/decoder_test_helpers.h"

namespace qov {
namespace {

TEST(ExtraChannelFramesTest, FrameStartFollowsColourWithExtraChannels) {
  for (const size_t channels : {size_t{1}, size_t{3}}) {
    CodestreamWriter w;
    for (size_t i = 0; i < channels; ++i) {
      ExtraChannelInfo ec;
      ec.all_default = false;
      ec.type = i == 0 ? 0 : 1;  // alpha, then depth
      ec.name = "ec" + std::to_string(i);
      w.metadata.m.extra_channel_info.push_back(ec);
    }
    FrameHeader first = w.NewFrame();
    first.is_last = false;
    first.name = "first";
    // A blending entry that differs from the default for the last channel.
    first.ec_blending_info.back().mode = 1;
    w.AddFrame(first, Bytes(4, 0));
    FrameHeader second = w.NewFrame();
    second.name = "second";
    w.AddFrame(second, Bytes(4, 0));
    const Bytes file = w.Write();

    Decoder d;
    ASSERT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(
                              d.dec, QOV_DEC_HEADER_INFO | QOV_DEC_COLOR_INFO |
                                         QOV_DEC_FRAME_START));
    ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(d.dec, file.data(), file.size()));
    QovDecoderEndInput(d.dec);
    SCOPED_TRACE(std::to_string(channels) + " extra channels");
    EXPECT_EQ(QOV_DEC_HEADER_INFO, QovDecoderAdvance(d.dec));
    QovBasicInfo info;
    ASSERT_EQ(QOV_DEC_OK, QovDecoderGetBasicInfo(d.dec, &info));
    EXPECT_EQ(channels, info.num_extra_channels);
    EXPECT_EQ(QOV_DEC_COLOR_INFO, QovDecoderAdvance(d.dec));
    // The first frame lasts no time: it is merged into the displayed one.
    ASSERT_EQ(QOV_DEC_FRAME_START, QovDecoderAdvance(d.dec));
    char got[16] = {};
    ASSERT_EQ(QOV_DEC_OK, QovDecoderGetFrameName(d.dec, got, sizeof(got)));
    EXPECT_STREQ("second", got);
    EXPECT_EQ(QOV_DEC_OK, QovDecoderAdvance(d.dec));
  }
}

}  // namespace
}  // namespace qov
