// Image metadata of megabytes (thousands of extra channels with long names)
// fed in pieces of every size: the header event comes at the same byte as
// when the header is read at once, and the decoder's reading work stays
// linear in the header's size (counted by its probe, not timed).
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "lib/api/decoder_state.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"
#include "lib/bitstream/image_metadata.h"
#include "qov/qov.h"
#include "tests/api/decoder_test_helpers.h"

namespace qov {
namespace {

constexpr uint32_t kChannels = 2000;
constexpr size_t kNameBytes = 1071;  // the longest name the format states

struct LargeHeaderFile {
  Bytes file;
  uint64_t header_end = 0;  // bytes up to the last bit of the image metadata
};

const LargeHeaderFile& MakeLargeHeaderFile() {
  static const LargeHeaderFile made = [] {
    CodestreamWriter w;
    for (uint32_t i = 0; i < kChannels; ++i) {
      ExtraChannelInfo ec;
      ec.all_default = false;
      ec.name = std::string(kNameBytes, static_cast<char>('a' + i % 26));
      ec.name += std::to_string(i);
      ec.name.resize(kNameBytes - (i % 3));  // not all of one length
      w.metadata.m.extra_channel_info.push_back(ec);
    }
    w.AddFrame(w.NewFrame(), Bytes(4, 0));
    LargeHeaderFile f;
    f.file = w.Write();
    BitReader reader(Span(f.file.data(), f.file.size()));
    reader.SkipLong(16);
    CodecMetadata m;
    EXPECT_TRUE(Bundle::Decode(reader, m.size).ok());
    EXPECT_TRUE(Bundle::Decode(reader, m.m).ok());
    EXPECT_EQ(kChannels, m.m.num_extra_channels);
    f.header_end = (reader.Position() + 7) / 8;
    return f;
  }();
  return made;
}

struct ChunkRun {
  std::vector<std::string> events;  // event, with the bytes handed in by then
  uint64_t header_at = 0;           // bytes handed in when HEADER_INFO came
  uint64_t probe_reads = 0;
  uint64_t probe_bits = 0;
  QovDecoderStatus last = QOV_DEC_FAILED;
};

// Feeds `file` in pieces of `chunk` bytes (0: whole), keeping the tail the
// decoder hands back, until the end or a failure.
ChunkRun FeedInChunks(const Bytes& file, size_t chunk) {
  ChunkRun run;
  Decoder d;
  EXPECT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(
                            d.dec, QOV_DEC_HEADER_INFO | QOV_DEC_COLOR_INFO));
  Bytes input;
  size_t offset = 0;
  for (;;) {
    const QovDecoderStatus s = QovDecoderAdvance(d.dec);
    if (s == QOV_DEC_WANT_INPUT) {
      const uint64_t tail = QovDecoderReclaimInput(d.dec);
      input.erase(input.begin(), input.end() - static_cast<ptrdiff_t>(tail));
      if (offset >= file.size()) {
        run.last = s;
        break;
      }
      const size_t step =
          chunk == 0 ? file.size() - offset : std::min(chunk, file.size() - offset);
      input.insert(input.end(), file.begin() + offset, file.begin() + offset + step);
      offset += step;
      QovDecoderProvideInput(d.dec, input.data(), input.size());
      if (offset == file.size()) QovDecoderEndInput(d.dec);
      continue;
    }
    if (s == QOV_DEC_HEADER_INFO) {
      run.header_at = offset;
      const DecoderState* state = d.dec;
      run.probe_reads = state->metadata_probe.reads();
      run.probe_bits = state->metadata_probe.bits_read();
      QovBasicInfo info;
      EXPECT_EQ(QOV_DEC_OK, QovDecoderGetBasicInfo(d.dec, &info));
      run.events.push_back("header " + std::to_string(info.num_extra_channels));
      continue;
    }
    if (s == QOV_DEC_COLOR_INFO) {
      run.events.push_back(std::to_string(s));
      continue;
    }
    run.last = s;
    break;
  }
  return run;
}

TEST(LargeHeaderTest, HeaderEventAtTheSameByteWithLinearWork) {
  const LargeHeaderFile& f = MakeLargeHeaderFile();
  ASSERT_GT(f.header_end, uint64_t{kChannels} * (kNameBytes - 2));
  const ChunkRun whole = FeedInChunks(f.file, 0);
  ASSERT_EQ(QOV_DEC_OK, whole.last);
  ASSERT_FALSE(whole.events.empty());
  EXPECT_EQ("header " + std::to_string(kChannels), whole.events[0]);
  const uint64_t header_bits = f.header_end * 8;
  for (const size_t chunk : {size_t{1}, size_t{7}, size_t{2048}}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    const ChunkRun r = FeedInChunks(f.file, chunk);
    EXPECT_EQ(whole.last, r.last);
    EXPECT_EQ(whole.events, r.events);
    // The first piece boundary at or after the header's last byte.
    const uint64_t expected =
        std::min<uint64_t>(f.file.size(), (f.header_end + chunk - 1) / chunk * chunk);
    EXPECT_EQ(expected, r.header_at);
    // Linear work: every bit of the header read about once, a handful of
    // reads per channel (a name is waited for whole), whatever the piece.
    EXPECT_LE(r.probe_bits, 2 * header_bits) << r.probe_reads << " reads";
    EXPECT_LE(r.probe_reads, uint64_t{16} * kChannels);
  }
}

// The same header cut one byte short never comes out, at any piece size.
TEST(LargeHeaderTest, OneByteShortWaitsForInput) {
  const LargeHeaderFile& f = MakeLargeHeaderFile();
  const Bytes cut(f.file.begin(), f.file.begin() + f.header_end - 1);
  for (const size_t chunk : {size_t{0}, size_t{7}, size_t{2048}}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    const ChunkRun r = FeedInChunks(cut, chunk);
    EXPECT_TRUE(r.events.empty());
    EXPECT_NE(QOV_DEC_HEADER_INFO, r.last);
  }
}

}  // namespace
}  // namespace qov
