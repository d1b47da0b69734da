// Reads the size header, image metadata and (where nothing but fixed-size
// headers precede it) the first frame header of every real sample file and
// compares them with the file's .facts record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/color/color_enums.h"

namespace qov {
namespace {

namespace fs = std::filesystem;

const fs::path kTestdata = QOV_TESTDATA_DIR;

struct FactsFile {
  std::string stem;  // file name without .facts
  std::map<std::string, std::string> values;

  bool Has(const std::string& key) const { return values.count(key) != 0; }
  const std::string& Get(const std::string& key) const {
    static const std::string kEmpty;
    auto it = values.find(key);
    return it == values.end() ? kEmpty : it->second;
  }
};

FactsFile ReadFacts(const fs::path& path) {
  FactsFile facts;
  facts.stem = path.stem().string();
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    facts.values[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return facts;
}

std::vector<fs::path> AllFactsFiles() {
  std::vector<fs::path> paths;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kTestdata / "facts", ec)) {
    if (entry.path().extension() == ".facts") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint64_t LoadBE(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// The codestream of a container file: the contents of its 'jxlc' box, or
// its 'jxlp' parts (each without its 4-byte index) joined in file order.
// A box that runs past the end of the file contributes what is there.
std::vector<uint8_t> ExtractCodestream(const std::vector<uint8_t>& file) {
  std::vector<uint8_t> codestream;
  size_t pos = 0;
  while (pos + 8 <= file.size()) {
    uint64_t size = LoadBE(&file[pos], 4);
    const std::string type(reinterpret_cast<const char*>(&file[pos + 4]), 4);
    size_t header = 8;
    if (size == 1) {
      if (pos + 16 > file.size()) break;
      size = LoadBE(&file[pos + 8], 8);
      header = 16;
    } else if (size == 0) {
      size = file.size() - pos;
    }
    if (size < header) break;
    const size_t end =
        static_cast<size_t>(std::min<uint64_t>(pos + size, file.size()));
    const size_t body = pos + header;
    if (type == "jxlc") {
      codestream.insert(codestream.end(), file.begin() + body,
                        file.begin() + end);
    } else if (type == "jxlp" && end >= body + 4) {
      codestream.insert(codestream.end(), file.begin() + body + 4,
                        file.begin() + end);
    }
    if (size > file.size() - pos) break;  // the box runs past the file
    pos = end;
  }
  return codestream;
}

// "key=value" tokens; a value in double quotes may hold spaces.
std::map<std::string, std::string> ParseTokens(const std::string& text) {
  std::map<std::string, std::string> tokens;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    const size_t eq = text.find('=', i);
    if (eq == std::string::npos) break;
    const std::string key = text.substr(i, eq - i);
    size_t end;
    std::string value;
    if (eq + 1 < text.size() && text[eq + 1] == '"') {
      end = text.find('"', eq + 2);
      if (end == std::string::npos) end = text.size();
      value = text.substr(eq + 2, end - eq - 2);
      ++end;
    } else {
      end = text.find(' ', eq + 1);
      if (end == std::string::npos) end = text.size();
      value = text.substr(eq + 1, end - eq - 1);
    }
    tokens[key] = value;
    i = end;
  }
  return tokens;
}

int Lookup(const std::map<std::string, int>& table, const std::string& name) {
  auto it = table.find(name);
  return it == table.end() ? -1 : it->second;
}

const std::map<std::string, int> kSpaces = {
    {"Rgb", 0}, {"Grey", 1}, {"Xyb", 2}, {"Unknown", 3}};
const std::map<std::string, int> kWhitePoints = {
    {"D65", 1}, {"Custom", 2}, {"E", 10}, {"Dci", 11}};
const std::map<std::string, int> kPrimaries = {
    {"Srgb", 1}, {"Custom", 2}, {"Bt2100", 9}, {"P3", 11}};
const std::map<std::string, int> kTransfers = {
    {"Bt709", 1}, {"Unknown", 2}, {"Linear", 8}, {"Srgb", 13},
    {"Pq", 16},   {"Dci", 17},    {"Hlg", 18}};
const std::map<std::string, int> kIntents = {
    {"Perceptual", 0}, {"Relative", 1}, {"Saturation", 2}, {"Absolute", 3}};
const std::map<std::string, int> kChannelTypes = {
    {"Alpha", 0},   {"Depth", 1},   {"SpotColor", 2}, {"SelectionMask", 3},
    {"Black", 4},   {"CFA", 5},     {"Thermal", 6},   {"Unknown", 15},
    {"Optional", 16}};
const std::map<std::string, int> kFrameTypes = {{"RegularFrame", 0},
                                                {"DcFrame", 1},
                                                {"ReferenceOnly", 2},
                                                {"SkipProgressive", 3}};
const std::map<std::string, int> kBlendModes = {
    {"Replace", 0}, {"Add", 1}, {"Blend", 2}, {"AlphaWeightedAdd", 3},
    {"Mul", 4},     {"Multiply", 4}};

// "(x,y)" pairs in a "custom(...)(...)" value, in millionths.
std::vector<int32_t> ParsePairs(const std::string& text) {
  std::vector<int32_t> values;
  size_t i = 0;
  while ((i = text.find_first_of("(,", i)) != std::string::npos) {
    ++i;
    values.push_back(
        static_cast<int32_t>(std::lround(std::strtod(&text[i], nullptr) * 1e6)));
  }
  return values;
}

void ExpectColour(const std::string& facts, const ColorEncoding& c) {
  if (facts.rfind("icc ", 0) == 0) {
    EXPECT_TRUE(c.want_icc);
    EXPECT_EQ(static_cast<int>(c.color_space), Lookup(kSpaces, facts.substr(4)));
    return;
  }
  ASSERT_EQ(facts.rfind("enum ", 0), 0u) << facts;
  EXPECT_FALSE(c.want_icc);
  auto t = ParseTokens(facts.substr(5));
  EXPECT_EQ(static_cast<int>(c.color_space), Lookup(kSpaces, t["space"]));
  if (t["white"].rfind("custom", 0) == 0) {
    EXPECT_EQ(c.white_point, Raw(WhitePoint::kCustom));
    const std::vector<int32_t> xy = ParsePairs(t["white"]);
    ASSERT_EQ(xy.size(), 2u);
    EXPECT_NEAR(c.white_x, xy[0], 1);
    EXPECT_NEAR(c.white_y, xy[1], 1);
  } else {
    EXPECT_EQ(static_cast<int>(c.white_point), Lookup(kWhitePoints, t["white"]));
  }
  if (!c.IsGray() && !c.IsXyb()) {
    if (t["primaries"].rfind("custom", 0) == 0) {
      EXPECT_EQ(c.primaries, Raw(Primaries::kCustom));
      const std::vector<int32_t> xy = ParsePairs(t["primaries"]);
      ASSERT_EQ(xy.size(), 6u);
      EXPECT_NEAR(c.red_x, xy[0], 1);
      EXPECT_NEAR(c.red_y, xy[1], 1);
      EXPECT_NEAR(c.green_x, xy[2], 1);
      EXPECT_NEAR(c.green_y, xy[3], 1);
      EXPECT_NEAR(c.blue_x, xy[4], 1);
      EXPECT_NEAR(c.blue_y, xy[5], 1);
    } else {
      EXPECT_EQ(static_cast<int>(c.primaries),
                Lookup(kPrimaries, t["primaries"]));
    }
  }
  const std::string& transfer = t["transfer"];
  if (transfer.rfind("gamma(", 0) == 0) {
    EXPECT_TRUE(c.have_gamma);
    const double gamma = std::strtod(transfer.c_str() + 6, nullptr);
    EXPECT_NEAR(c.gamma, gamma * 1e7, 1.0);
  } else {
    EXPECT_FALSE(c.have_gamma);
    EXPECT_EQ(static_cast<int>(c.transfer_function),
              Lookup(kTransfers, transfer));
  }
  EXPECT_EQ(static_cast<int>(c.rendering_intent), Lookup(kIntents, t["intent"]));
}

void ExpectExtraChannel(const std::string& facts, const ExtraChannelInfo& e) {
  auto t = ParseTokens(facts);
  EXPECT_EQ(static_cast<int>(e.type), Lookup(kChannelTypes, t["type"]));
  EXPECT_EQ(std::to_string(e.bit_depth.bits_per_sample), t["bits"]);
  if (t.count("float_exponent_bits")) {
    EXPECT_TRUE(e.bit_depth.floating_point_sample);
    EXPECT_EQ(std::to_string(e.bit_depth.exponent_bits_per_sample),
              t["float_exponent_bits"]);
  } else {
    EXPECT_FALSE(e.bit_depth.floating_point_sample);
  }
  EXPECT_EQ(std::to_string(e.dim_shift), t["dim_shift"]);
  EXPECT_EQ(e.name, t["name"]);
  if (t.count("premultiplied")) {
    EXPECT_EQ(e.alpha_associated, t["premultiplied"] == "1");
  }
}

std::string SizeText(uint64_t w, uint64_t h) {
  return std::to_string(w) + "x" + std::to_string(h);
}

void ExpectFrame(const std::string& facts, const FrameHeader& f) {
  auto t = ParseTokens(facts);
  EXPECT_EQ(static_cast<int>(f.frame_type), Lookup(kFrameTypes, t["type"]));
  EXPECT_EQ(f.encoding == static_cast<uint32_t>(FrameCoding::kModular),
            t["coding"] == "Modular");
  const FrameGeometry g = f.ComputeGeometry();
  EXPECT_EQ(SizeText(g.xsize_upsampled, g.ysize_upsampled), t["size"]);
  EXPECT_EQ(std::to_string(f.x0) + "," + std::to_string(f.y0), t["origin"]);
  EXPECT_EQ(std::to_string(f.animation_frame.duration), t["duration"]);
  std::ostringstream timecode;
  timecode << "0x" << std::hex << f.animation_frame.timecode;
  EXPECT_EQ(timecode.str(), t["timecode"]);
  EXPECT_EQ(static_cast<int>(f.blending_info.mode),
            Lookup(kBlendModes, t["blend"]));
  EXPECT_EQ(f.is_last ? "1" : "0", t["last"]);
  EXPECT_EQ(f.name, t["name"]);
}

std::string TestName(const fs::path& path) {
  std::string name = path.stem().string();
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
}

class HeaderTestdataTest : public ::testing::TestWithParam<fs::path> {};

TEST_P(HeaderTestdataTest, HeadersAgreeWithFacts) {
  const FactsFile facts = ReadFacts(GetParam());
  const std::vector<uint8_t> file = ReadFile(kTestdata / "files" /
                                             facts.Get("file"));
  ASSERT_FALSE(file.empty()) << facts.Get("file");
  const bool container = facts.Get("container") == "yes";
  const std::vector<uint8_t> codestream =
      container ? ExtractCodestream(file) : file;

  CodecMetadata metadata;
  BitReader reader(Span(codestream.data(), codestream.size()));
  const bool has_signature =
      codestream.size() >= 2 && reader.Read(16) == 0x0AFF;
  Status status = NeedMoreBytesStatus();
  if (has_signature) {
    status = Bundle::Decode(reader, metadata.size);
    if (status.ok()) status = Bundle::Decode(reader, metadata.m);
  }
  if (facts.Has("oracle_error")) {
    // The file ends inside its headers.
    EXPECT_TRUE(status.need_more_bytes()) << facts.Get("oracle_error");
    return;
  }
  ASSERT_TRUE(has_signature);
  ASSERT_TRUE(status.ok()) << "status " << status.raw();
  const ImageMetadata& m = metadata.m;

  EXPECT_EQ(SizeText(metadata.size.Width(), metadata.size.Height()),
            facts.Get("stored_size"));
  EXPECT_EQ(std::to_string(m.orientation), facts.Get("orientation"));
  std::string depth = std::to_string(m.bit_depth.bits_per_sample);
  if (m.bit_depth.floating_point_sample) {
    depth += " float_exponent_bits: " +
             std::to_string(m.bit_depth.exponent_bits_per_sample);
  }
  EXPECT_EQ(depth, facts.Get("bits_per_sample"));
  EXPECT_EQ(m.xyb_encoded ? "1" : "0", facts.Get("xyb"));
  {
    SCOPED_TRACE("colour");
    ExpectColour(facts.Get("colour"), m.color_encoding);
  }

  size_t facts_channels = 0;
  while (facts.Has("extra_channel[" + std::to_string(facts_channels) + "]")) {
    ++facts_channels;
  }
  EXPECT_EQ(m.num_extra_channels, facts_channels);
  ASSERT_EQ(m.extra_channel_info.size(), m.num_extra_channels);
  for (size_t i = 0; i < std::min<size_t>(facts_channels,
                                          m.extra_channel_info.size());
       ++i) {
    SCOPED_TRACE("extra channel " + std::to_string(i));
    ExpectExtraChannel(facts.Get("extra_channel[" + std::to_string(i) + "]"),
                       m.extra_channel_info[i]);
  }

  EXPECT_EQ(m.have_intrinsic_size, facts.Has("intrinsic_size"));
  if (m.have_intrinsic_size) {
    EXPECT_EQ(SizeText(m.intrinsic_size.Width(), m.intrinsic_size.Height()),
              facts.Get("intrinsic_size"));
  }

  auto tone = ParseTokens(facts.Get("tone_mapping"));
  EXPECT_FLOAT_EQ(m.tone_mapping.intensity_target,
                  std::strtof(tone["intensity_target"].c_str(), nullptr));
  EXPECT_FLOAT_EQ(m.tone_mapping.min_nits,
                  std::strtof(tone["min_nits"].c_str(), nullptr));
  EXPECT_EQ(m.tone_mapping.relative_to_max_display ? "true" : "false",
            tone["relative_to_max_display"]);
  EXPECT_FLOAT_EQ(m.tone_mapping.linear_below,
                  std::strtof(tone["linear_below"].c_str(), nullptr));

  EXPECT_EQ(m.have_animation, facts.Has("animation"));
  if (m.have_animation) {
    auto a = ParseTokens(facts.Get("animation"));
    EXPECT_EQ(std::to_string(m.animation.tps_numerator) + "/" +
                  std::to_string(m.animation.tps_denominator),
              a["tps"]);
    EXPECT_EQ(std::to_string(m.animation.num_loops), a["loops"]);
    EXPECT_EQ(m.animation.have_timecodes ? "1" : "0", a["timecodes"]);
  }

  // The transform data follows; then, unless an ICC stream or a preview
  // frame comes first, zero padding and the first frame header.
  metadata.transform_data.xyb = m.xyb_encoded;
  ASSERT_TRUE(Bundle::Decode(reader, metadata.transform_data).ok());
  if (m.color_encoding.want_icc || m.have_preview) return;
  ASSERT_TRUE(reader.AlignToByte().ok());
  FrameHeader frame(&metadata);
  ASSERT_TRUE(DecodeFrameHeaderFields(reader, frame).ok());
  ASSERT_TRUE(facts.Has("frame[0]"));
  SCOPED_TRACE("frame 0");
  ExpectFrame(facts.Get("frame[0]"), frame);
}

INSTANTIATE_TEST_SUITE_P(
    RealFiles, HeaderTestdataTest, ::testing::ValuesIn(AllFactsFiles()),
    [](const ::testing::TestParamInfo<fs::path>& info) {
      return TestName(info.param);
    });

// Guards against a silently empty corpus (a wrong QOV_TESTDATA_DIR).
TEST(HeaderTestdataCorpusTest, FindsTheSampleFiles) {
  size_t bare = 0;
  for (const fs::path& path : AllFactsFiles()) {
    if (ReadFacts(path).Get("container") == "no") ++bare;
  }
  EXPECT_GE(bare, 60u);
}

}  // namespace
}  // namespace qov
