// The ICC profiles of the real sample files: reached through the codestream
// headers, decoded whole and with the input arriving in small chunks.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "lib/base/byte_buffer.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/color/icc_reader.h"
#include "tests/bitstream/entropy_test_streams.h"

namespace qov {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

uint64_t BigEndian(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// The codestream of a file: the file itself, or the joined contents of its
// 'jxlc' box or 'jxlp' parts (in index order). Empty when malformed.
Bytes Codestream(const Bytes& file) {
  if (file.size() >= 2 && file[0] == 0xFF && file[1] == 0x0A) return file;
  std::map<uint32_t, Bytes> parts;
  size_t pos = 0;
  while (pos + 8 <= file.size()) {
    uint64_t size = BigEndian(&file[pos], 4);
    const std::string type(file.begin() + pos + 4, file.begin() + pos + 8);
    size_t header = 8;
    if (size == 1) {
      if (pos + 16 > file.size()) return {};
      size = BigEndian(&file[pos + 8], 8);
      header = 16;
    } else if (size == 0) {
      size = file.size() - pos;
    }
    if (size < header || size > file.size() - pos) return {};
    const uint8_t* content = &file[pos + header];
    const size_t length = size - header;
    if (type == "jxlc") return Bytes(content, content + length);
    if (type == "jxlp" && length >= 4) {
      const uint32_t index = static_cast<uint32_t>(BigEndian(content, 4)) & 0x7FFFFFFF;
      parts[index] = Bytes(content + 4, content + length);
    }
    pos += size;
  }
  Bytes joined;
  for (const auto& [index, part] : parts) {
    joined.insert(joined.end(), part.begin(), part.end());
  }
  return joined;
}

// Reads the headers; *icc_bit is the bit position of the ICC stream.
// False when the colour encoding has no ICC profile.
bool FindIccStream(const Bytes& codestream, uint64_t* icc_bit) {
  BitReader reader(Span(codestream.data(), codestream.size()));
  if (reader.Read(16) != 0x0AFF) return false;
  CodecMetadata metadata;
  EXPECT_TRUE(Bundle::Decode(reader, metadata.size).ok());
  EXPECT_TRUE(Bundle::Decode(reader, metadata.m).ok());
  metadata.transform_data.xyb = metadata.m.xyb_encoded;
  EXPECT_TRUE(Bundle::Decode(reader, metadata.transform_data).ok());
  *icc_bit = reader.Position();
  return metadata.m.color_encoding.want_icc;
}

// Decodes the ICC stream with the codestream arriving `chunk` bytes at a
// time from its first byte (0: all at once); every attempt starts a new bit
// reader at the ICC stream, as the decoder does.
Status DecodeIcc(const Bytes& codestream, uint64_t icc_bit, size_t chunk,
                 Bytes* profile) {
  CompressedIccReader icc(entropy_test::Heap());
  size_t avail =
      chunk == 0 ? codestream.size() : std::min(codestream.size(), chunk);
  while (true) {
    BitReader reader(Span(codestream.data(), avail));
    reader.SkipLong(icc_bit);
    ByteBuffer out(entropy_test::Heap());
    Status status = icc.Begin(reader);
    if (status.ok()) status = icc.Continue(reader, out);
    if (!status.need_more_bytes() || avail == codestream.size()) {
      profile->assign(out.data(), out.data() + out.size());
      return status;
    }
    avail = std::min(avail + chunk, codestream.size());
  }
}

struct Sample {
  std::string name;
  uint64_t icc_bytes;
};

std::vector<Sample> SamplesWithIcc() {
  std::vector<Sample> samples;
  const std::string facts_dir = std::string(QOV_TESTDATA_DIR) + "/facts";
  DIR* dir = opendir(facts_dir.c_str());
  if (dir == nullptr) return samples;
  while (dirent* entry = readdir(dir)) {
    const std::string file = entry->d_name;
    if (file.size() < 6 || file.substr(file.size() - 6) != ".facts") continue;
    std::ifstream in(facts_dir + "/" + file);
    std::string line;
    bool icc = false;
    uint64_t bytes = 0;
    while (std::getline(in, line)) {
      if (line.rfind("colour: icc", 0) == 0) icc = true;
      if (line.rfind("icc_bytes: ", 0) == 0) bytes = std::stoull(line.substr(11));
    }
    if (icc) samples.push_back({file.substr(0, file.size() - 6), bytes});
  }
  closedir(dir);
  std::sort(samples.begin(), samples.end(),
            [](const Sample& a, const Sample& b) { return a.name < b.name; });
  return samples;
}

void ExpectWellFormedHeader(const Bytes& profile, const std::string& name) {
  ASSERT_GE(profile.size(), 132u) << name;
  EXPECT_EQ(BigEndian(profile.data(), 4), profile.size()) << name;
  EXPECT_EQ(std::string(profile.begin() + 36, profile.begin() + 40), "acsp")
      << name;
  // The tag table fits inside the profile.
  const uint64_t tags = BigEndian(profile.data() + 128, 4);
  EXPECT_LE(132 + 12 * tags, profile.size()) << name;
}

TEST(IccTestdataTest, EveryIccSampleYieldsItsProfile) {
  const std::vector<Sample> samples = SamplesWithIcc();
  if (samples.empty()) GTEST_SKIP() << "no sample files in " << QOV_TESTDATA_DIR;
  EXPECT_GE(samples.size(), 40u);
  for (const Sample& s : samples) {
    const Bytes file =
        ReadFile(std::string(QOV_TESTDATA_DIR) + "/files/" + s.name + ".jxl");
    const Bytes codestream = Codestream(file);
    ASSERT_FALSE(codestream.empty()) << s.name;
    uint64_t icc_bit = 0;
    ASSERT_TRUE(FindIccStream(codestream, &icc_bit)) << s.name;
    Bytes whole;
    ASSERT_TRUE(DecodeIcc(codestream, icc_bit, 0, &whole).ok()) << s.name;
    EXPECT_EQ(whole.size(), s.icc_bytes) << s.name;
    ExpectWellFormedHeader(whole, s.name);
    for (size_t chunk : {1, 7, 2048}) {
      Bytes chunked;
      ASSERT_TRUE(DecodeIcc(codestream, icc_bit, chunk, &chunked).ok())
          << s.name << " chunk " << chunk;
      EXPECT_EQ(chunked, whole) << s.name << " chunk " << chunk;
    }
  }
}

}  // namespace
}  // namespace qov
