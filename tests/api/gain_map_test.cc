// The stand-alone helpers: the gain-map record parser and the compressed-ICC
// decompressor.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"
#include "lib/bitstream/image_metadata.h"
#include "qov/qov.h"
#include "tests/api/decoder_test_helpers.h"
#include "tests/support/counting_manager.h"

namespace qov {
namespace {

struct GainMapCase {
  const char* name;
  Bytes bytes;
  bool ok;
  uint16_t metadata_size;
  int32_t has_color;
  uint32_t icc_size;
  uint32_t gain_map_size;
};

TEST(GainMapParseTest, Table) {
  // version 2, metadata "abc", no colour, ICC "xy", gain map "12345"
  const Bytes full = {2, 0, 3, 'a', 'b', 'c', 0, 0, 0, 0, 2, 'x', 'y', '1', '2', '3', '4', '5'};
  const GainMapCase cases[] = {
      {"C byte missing", {0, 0, 0}, false, 0, 0, 0, 0},
      {"all sizes zero", Bytes(8, 0), true, 0, 0, 0, 0},
      {"parts", full, true, 3, 0, 2, 5},
      {"metadata longer than the data", {1, 0, 9, 'a'}, false, 0, 0, 0, 0},
      {"ICC size missing", {0, 0, 0, 0, 0, 0}, false, 0, 0, 0, 0},
      {"ICC longer than the data", {0, 0, 0, 0, 0, 0, 0, 5, 1, 2}, false, 0, 0, 0, 0},
      {"colour encoding asking for more bits", {0, 0, 0, 1, 0x00, 0, 0, 0, 0}, false, 0, 0, 0, 0},
      {"colour encoding beyond the data", {0, 0, 0, 4, 0x01}, false, 0, 0, 0, 0},
      {"all-default colour encoding", {0, 0, 0, 1, 0x01, 0, 0, 0, 0, 7}, true, 0, 1, 0, 1},
  };
  for (const GainMapCase& c : cases) {
    QovGainMapRecord record;
    std::memset(&record, 0, sizeof(record));
    uint64_t consumed = 12345;
    const bool ok = QovGainMapParse(&record, c.bytes.data(), c.bytes.size(), &consumed);
    EXPECT_EQ(c.ok, ok) << c.name;
    if (!c.ok) {
      EXPECT_EQ(12345u, consumed) << c.name;
      continue;
    }
    EXPECT_EQ(c.bytes.size(), consumed) << c.name;
    EXPECT_EQ(c.bytes[0], record.version) << c.name;
    EXPECT_EQ(c.metadata_size, record.metadata_size) << c.name;
    EXPECT_EQ(c.has_color, record.has_color_encoding) << c.name;
    EXPECT_EQ(c.icc_size, record.compressed_icc_size) << c.name;
    EXPECT_EQ(c.gain_map_size, record.gain_map_size) << c.name;
  }
}

TEST(GainMapParseTest, RecordPointsIntoTheBuffer) {
  const Bytes bytes = {2, 0, 3, 'a', 'b', 'c', 1, 0x01, 0, 0, 0, 2, 'x', 'y', '1', '2'};
  QovGainMapRecord record;
  ASSERT_TRUE(QovGainMapParse(&record, bytes.data(), bytes.size(), nullptr));
  EXPECT_EQ(bytes.data() + 3, record.metadata);
  EXPECT_EQ(bytes.data() + 12, record.compressed_icc);
  EXPECT_EQ(bytes.data() + 14, record.gain_map);
  EXPECT_EQ(1, record.has_color_encoding);
  // The all-default colour encoding is sRGB.
  EXPECT_EQ(0u, record.color_encoding.color_space);
  EXPECT_EQ(1u, record.color_encoding.white_point);
  EXPECT_EQ(13u, record.color_encoding.transfer_function);
  EXPECT_EQ(1u, record.color_encoding.rendering_intent);
}

TEST(GainMapParseTest, FailuresKeepEarlierFields) {
  QovGainMapRecord record;
  std::memset(&record, 0, sizeof(record));
  const Bytes bytes = {9, 0, 200, 1, 2};
  EXPECT_FALSE(QovGainMapParse(&record, bytes.data(), bytes.size(), nullptr));
  EXPECT_EQ(9, record.version);
  EXPECT_EQ(0, record.metadata_size);
  EXPECT_FALSE(QovGainMapParse(nullptr, bytes.data(), bytes.size(), nullptr));
  EXPECT_FALSE(QovGainMapParse(&record, nullptr, 5, nullptr));
  EXPECT_FALSE(QovGainMapParse(&record, bytes.data(), 0, nullptr));
}

// The compressed ICC stream of a real file, cut out of its codestream (it
// starts after the headers, at any bit) and shifted to a byte boundary.
Bytes IccStreamOf(const Bytes& codestream) {
  BitReader reader(Span(codestream.data(), codestream.size()));
  reader.SkipLong(16);  // FF 0A
  CodecMetadata metadata;
  if (!Bundle::Decode(reader, metadata.size).ok()) return {};
  if (!Bundle::Decode(reader, metadata.m).ok()) return {};
  metadata.transform_data.xyb = metadata.m.xyb_encoded;
  if (!Bundle::Decode(reader, metadata.transform_data).ok()) return {};
  if (!metadata.m.color_encoding.want_icc) return {};
  Bytes out;
  while (reader.RemainingBits() >= 8) out.push_back(static_cast<uint8_t>(reader.Read(8)));
  return out;
}

TEST(DecompressIccTest, MatchesTheDecoder) {
  const Bytes file = ReadFileBytes(std::string(QOV_TESTDATA_DIR) +
                                   "/files/KDE__kimageformats__autotests__read__jxl__framenumbers.jxl");
  ASSERT_FALSE(file.empty());
  const Bytes stream = IccStreamOf(file);  // a bare codestream
  ASSERT_FALSE(stream.empty());
  // What the decoder reads from the file.
  QovDecoder dec = QovDecoderCreate(nullptr);
  ASSERT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(dec, QOV_DEC_COLOR_INFO));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(dec, file.data(), file.size()));
  ASSERT_EQ(QOV_DEC_COLOR_INFO, QovDecoderAdvance(dec));
  uint64_t size = 0;
  ASSERT_EQ(QOV_DEC_OK, QovDecoderGetICCProfileSize(dec, QOV_COLOR_SOURCE_CODESTREAM, &size));
  Bytes expected(size);
  ASSERT_EQ(QOV_DEC_OK, QovDecoderGetColorAsICCProfile(dec, QOV_COLOR_SOURCE_CODESTREAM,
                                                       expected.data(), size));
  QovDecoderDelete(dec);

  struct Counter {
    int allocs = 0, frees = 0;
  } counter;
  QovMemoryManager m{};
  m.opaque = &counter;
  m.alloc = [](void* o, uint64_t n) {
    ++static_cast<Counter*>(o)->allocs;
    return std::malloc(n);
  };
  m.free = [](void* o, void* p) {
    ++static_cast<Counter*>(o)->frees;
    std::free(p);
  };
  uint8_t* profile = nullptr;
  uint64_t profile_size = 0;
  ASSERT_TRUE(QovDecompressICCProfile(&m, stream.data(), stream.size(), &profile,
                                      &profile_size));
  ASSERT_EQ(expected.size(), profile_size);
  EXPECT_EQ(expected, Bytes(profile, profile + profile_size));
  // Everything but the profile is released; the profile is the caller's.
  EXPECT_EQ(counter.allocs, counter.frees + 1);
  m.free(m.opaque, profile);

  // The same stream cut short fails, although the reader would ask for more.
  profile = nullptr;
  EXPECT_FALSE(QovDecompressICCProfile(nullptr, stream.data(), 40, &profile, &profile_size));
  EXPECT_EQ(nullptr, profile);
  // A manager with only an alloc callback is refused before decoding.
  QovMemoryManager half{};
  half.alloc = m.alloc;
  EXPECT_FALSE(QovDecompressICCProfile(&half, stream.data(), stream.size(), &profile,
                                       &profile_size));
  // Garbage.
  const Bytes junk(64, 0xFF);
  EXPECT_FALSE(QovDecompressICCProfile(nullptr, junk.data(), junk.size(), &profile,
                                       &profile_size));

  // The profile's own allocation (the last one) refused: false, the size is
  // written, the out pointer is null (never a stale value the caller could
  // release) and nothing is left allocated.
  {
    test::CountingManager refusing;
    refusing.refuse_from = counter.allocs - 1;
    uint8_t stale = 0;
    profile = &stale;
    profile_size = 0;
    EXPECT_FALSE(QovDecompressICCProfile(&refusing.manager, stream.data(), stream.size(),
                                         &profile, &profile_size));
    EXPECT_EQ(expected.size(), profile_size);
    EXPECT_EQ(nullptr, profile);
    EXPECT_EQ(0, refusing.live);
  }
}

}  // namespace
}  // namespace qov
