// End-to-end checks against the real sample files: what the decoder reports
// through its events and getters must match each file's .facts, and must not
// depend on how the input is chunked.
#include <dirent.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "qov/qov.h"
#include "tests/api/decoder_test_helpers.h"

namespace qov {
namespace {

const std::string kDir = QOV_TESTDATA_DIR;

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> names;
  DIR* dir = opendir((kDir + "/files").c_str());
  if (dir == nullptr) return names;
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".jxl") == 0) {
      names.push_back(name);
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// key -> value of one .facts file ("frame[3]" and the like are keys too).
std::map<std::string, std::string> ReadFacts(const std::string& file) {
  std::map<std::string, std::string> facts;
  const std::string stem = file.substr(0, file.size() - 4);
  const Bytes bytes = ReadFileBytes(kDir + "/facts/" + stem + ".facts");
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  std::string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    facts[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return facts;
}

// Value of `key=` inside a facts line ("" when absent); quoted values keep
// their content without the quotes.
std::string Field(const std::string& line, const std::string& key) {
  const std::string probe = key + "=";
  size_t pos = 0;
  while ((pos = line.find(probe, pos)) != std::string::npos) {
    if (pos == 0 || line[pos - 1] == ' ') break;
    pos += probe.size();
  }
  if (pos == std::string::npos) return "";
  pos += probe.size();
  if (line[pos] == '"') {
    // The closing quote is the one followed by a space or the end.
    size_t end = pos + 1;
    while ((end = line.find('"', end)) != std::string::npos &&
           end + 1 < line.size() && line[end + 1] != ' ') {
      ++end;
    }
    if (end == std::string::npos) end = line.size();
    return line.substr(pos + 1, end - pos - 1);
  }
  const size_t end = line.find(' ', pos);
  return line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
}

// The events a report tool subscribes to, with box output for every box.
DriveOptions ToolOptions(size_t chunk) {
  DriveOptions o;
  o.keep_orientation = true;
  o.coalescing = false;
  o.chunk = chunk;
  return o;
}

// Decoder events decoded from the log of a Drive run.
struct Observed {
  std::vector<std::string> boxes;   // "'type':size" or "'brob'('Exif'):size"
  std::vector<std::string> frames;  // frame lines
  std::string basic;
  std::string color;
};

Observed Parse(const DriveResult& r) {
  Observed o;
  for (const std::string& line : r.log) {
    char type[5] = {}, inner[5] = {};
    unsigned long long size = 0, contents = 0;
    if (std::sscanf(line.c_str(), "box '%4c' inner '%4c' size=%llu contents=%llu", type,
                    inner, &size, &contents) == 4) {
      std::string box(1, '\'');
      box.append(type, 4).push_back('\'');
      if (std::strcmp(type, "brob") == 0) box.append("('").append(inner, 4).append("')");
      box.append(":").append(std::to_string(size));
      o.boxes.push_back(box);
    } else if (line.rfind("frame ", 0) == 0) {
      o.frames.push_back(line);
    } else if (line.rfind("basic ", 0) == 0) {
      o.basic = line;
    } else if (line.rfind("color ", 0) == 0) {
      o.color = line;
    }
  }
  return o;
}

uint32_t SpaceValue(const std::string& s) {
  if (s == "Rgb") return 0;
  if (s == "Grey") return 1;
  if (s == "Xyb") return 2;
  return 3;
}
uint32_t WhiteValue(const std::string& s) {
  if (s == "D65") return 1;
  if (s == "E") return 10;
  if (s == "Dci") return 11;
  return 2;
}
uint32_t PrimariesValue(const std::string& s) {
  if (s == "Srgb") return 1;
  if (s == "Bt2100") return 9;
  if (s == "P3") return 11;
  return 2;
}
uint32_t TransferValue(const std::string& s) {
  static const std::map<std::string, uint32_t> kNames = {
      {"Bt709", 1}, {"Unknown", 2}, {"Linear", 8}, {"Srgb", 13},
      {"Pq", 16},   {"Dci", 17},    {"Hlg", 18}};
  auto it = kNames.find(s);
  return it != kNames.end() ? it->second : 65535;
}
uint32_t IntentValue(const std::string& s) {
  if (s == "Perceptual") return 0;
  if (s == "Relative") return 1;
  if (s == "Saturation") return 2;
  return 3;
}

class CorpusTest : public ::testing::TestWithParam<std::string> {};

TEST_P(CorpusTest, MatchesFacts) {
  const std::string file = GetParam();
  const Bytes bytes = ReadFileBytes(kDir + "/files/" + file);
  ASSERT_FALSE(bytes.empty());
  auto facts = ReadFacts(file);
  const DriveResult run = Drive(bytes, ToolOptions(2048));
  const Observed seen = Parse(run);
  SCOPED_TRACE(file);

  // Box sequence, as far as the decoder walks it: with box events it reports
  // every box up to a second image or the end.
  if (facts.count("boxes")) {
    std::string boxes;
    for (const std::string& b : seen.boxes) boxes += (boxes.empty() ? "" : " ") + b;
    EXPECT_EQ(facts["boxes"], boxes);
  } else {
    EXPECT_TRUE(seen.boxes.empty());
  }

  if (facts.count("oracle_error")) {
    EXPECT_EQ(QOV_DEC_FAILED, run.last) << "an unreadable file must fail";
    return;
  }
  EXPECT_EQ(QOV_DEC_OK, run.last) << run.log.back();

  // Basic information (stored orientation is kept).
  unsigned w = 0, h = 0;
  ASSERT_EQ(2, std::sscanf(facts["stored_size"].c_str(), "%ux%u", &w, &h));
  unsigned bits = 0, exp_bits = 0;
  std::sscanf(facts["bits_per_sample"].c_str(), "%u float_exponent_bits: %u", &bits,
              &exp_bits);
  const bool xyb = facts["xyb"] == "1";
  QovBasicInfo expect{};
  unsigned got_w = 0, got_h = 0, got_bits = 0, got_exp = 0, got_orient = 0, got_color = 0,
           got_extra = 0;
  int got_orig = -1;
  ASSERT_EQ(8, std::sscanf(seen.basic.c_str(),
                           "basic %ux%u bits=%u exp=%u orient=%u color_ch=%u extra=%u "
                           "alpha=%*u/%*u/%*d orig=%d",
                           &got_w, &got_h, &got_bits, &got_exp, &got_orient, &got_color,
                           &got_extra, &got_orig))
      << seen.basic;
  (void)expect;
  EXPECT_EQ(w, got_w);
  EXPECT_EQ(h, got_h);
  EXPECT_EQ(bits, got_bits);
  EXPECT_EQ(exp_bits, got_exp);
  EXPECT_EQ(static_cast<unsigned>(std::stoul(facts["orientation"])), got_orient);
  EXPECT_EQ(xyb ? 0 : 1, got_orig);

  // Extra channels with names.
  unsigned extra = 0;
  while (facts.count("extra_channel[" + std::to_string(extra) + "]")) ++extra;
  EXPECT_EQ(extra, got_extra);
  static const std::map<std::string, unsigned> kKinds = {
      {"Alpha", 0}, {"Depth", 1}, {"SpotColor", 2}, {"Selection", 3},
      {"Black", 4}, {"Cfa", 5},   {"Thermal", 6},   {"Optional", 16}};
  for (unsigned i = 0; i < extra; ++i) {
    const std::string line = facts["extra_channel[" + std::to_string(i) + "]"];
    const std::string tag = " ec[" + std::to_string(i) + "]=";
    const size_t at = seen.basic.find(tag);
    ASSERT_NE(std::string::npos, at) << seen.basic;
    const std::string ours = seen.basic.substr(at + tag.size());
    unsigned type = 99, ebits = 0, eexp = 0, shift = 0;
    int premul = 0;
    ASSERT_EQ(5, std::sscanf(ours.c_str(), "type%u bits=%u exp=%u shift=%u premul=%d",
                             &type, &ebits, &eexp, &shift, &premul));
    EXPECT_EQ(kKinds.at(Field(line, "type")), type) << line;
    EXPECT_EQ(std::stoul(Field(line, "bits")), ebits) << line;
    const std::string fe = Field(line, "float_exponent_bits");
    EXPECT_EQ(fe.empty() ? 0u : std::stoul(fe), eexp) << line;
    EXPECT_EQ(std::stoul(Field(line, "dim_shift")), shift) << line;
    if (!Field(line, "premultiplied").empty()) {
      EXPECT_EQ(std::stoi(Field(line, "premultiplied")), premul) << line;
    }
    EXPECT_EQ(Field(line, "name"), Field(ours, "name")) << ours;
  }

  // Animation and intrinsic size.
  if (facts.count("animation")) {
    unsigned num = 0, den = 0, loops = 0;
    ASSERT_EQ(3, std::sscanf(facts["animation"].c_str(), "tps=%u/%u loops=%u", &num, &den,
                             &loops));
    char expect_anim[96];
    std::snprintf(expect_anim, sizeof(expect_anim), "anim=1(%u/%u loops=%u tc=0)", num, den,
                  loops);
    EXPECT_NE(std::string::npos, seen.basic.find(expect_anim)) << seen.basic;
  } else {
    EXPECT_NE(std::string::npos, seen.basic.find("anim=0")) << seen.basic;
  }
  if (facts.count("intrinsic_size")) {
    EXPECT_NE(std::string::npos, seen.basic.find("intrinsic=" + facts["intrinsic_size"]))
        << seen.basic;
  }

  // Colour encoding or ICC profile size.
  const std::string colour = facts["colour"];
  if (colour.rfind("icc ", 0) == 0) {
    EXPECT_EQ("color icc " + facts["icc_bytes"] + " bytes",
              seen.color.substr(0, seen.color.find(" sum=")));
    EXPECT_EQ(colour == "icc Grey" ? 1u : 3u, got_color);
  } else {
    unsigned space = 0, white = 0, prim = 0, tf = 0, intent = 0;
    double gamma = 0;
    ASSERT_EQ(6, std::sscanf(seen.color.c_str(),
                             "color enum space=%u white=%u prim=%u tf=%u gamma=%lf "
                             "intent=%u",
                             &space, &white, &prim, &tf, &gamma, &intent))
        << seen.color;
    EXPECT_EQ(SpaceValue(Field(colour, "space")), space);
    EXPECT_EQ(WhiteValue(Field(colour, "white")), white);
    if (space == 0) {
      const std::string p = Field(colour, "primaries");
      EXPECT_EQ(PrimariesValue(p.substr(0, p.find('('))), prim);
    }
    const std::string t = Field(colour, "transfer");
    if (t.rfind("gamma(", 0) == 0) {
      EXPECT_EQ(65535u, tf);
      EXPECT_NEAR(std::stod(t.substr(6)), gamma, 1e-6);
    } else {
      EXPECT_EQ(TransferValue(t), tf) << t;
    }
    EXPECT_EQ(IntentValue(Field(colour, "intent")), intent);
  }

  // Frames: without coalescing every regular frame is reported, and so is
  // any frame that is last or has a duration.
  const bool animated = facts.count("animation") != 0;
  std::vector<std::string> expected;
  for (size_t i = 0; facts.count("frame[" + std::to_string(i) + "]"); ++i) {
    const std::string line = facts["frame[" + std::to_string(i) + "]"];
    const bool last = Field(line, "last") == "1";
    const unsigned duration = std::stoul(Field(line, "duration"));
    if (!last && duration == 0 && Field(line, "type") != "RegularFrame") continue;
    expected.push_back(line);
  }
  ASSERT_EQ(expected.size(), seen.frames.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const std::string& line = expected[i];
    const std::string& ours = seen.frames[i];
    SCOPED_TRACE(line + " vs " + ours);
    unsigned dur = 0, fw = 0, fh = 0;
    int last = 0, crop = 0, x0 = 0, y0 = 0;
    ASSERT_EQ(7, std::sscanf(ours.c_str(), "frame dur=%u tc=%*u last=%d crop=%d(%d,%d) %ux%u",
                             &dur, &last, &crop, &x0, &y0, &fw, &fh));
    EXPECT_EQ(animated ? std::stoul(Field(line, "duration")) : 0u, dur);
    EXPECT_EQ(Field(line, "last") == "1" ? 1 : 0, last);
    unsigned ew = 0, eh = 0;
    int ex = 0, ey = 0;
    ASSERT_EQ(2, std::sscanf(Field(line, "size").c_str(), "%ux%u", &ew, &eh));
    ASSERT_EQ(2, std::sscanf(Field(line, "origin").c_str(), "%d,%d", &ex, &ey));
    EXPECT_EQ(ew, fw);
    EXPECT_EQ(eh, fh);
    if (crop) {
      EXPECT_EQ(ex, x0);
      EXPECT_EQ(ey, y0);
    } else {
      EXPECT_EQ(0, ex);
      EXPECT_EQ(0, ey);
    }
    EXPECT_EQ(Field(line, "name"), Field(ours, "name"));
  }
}

// With the defaults (layers coalesced, orientation applied) only displayed
// frames are reported, each at the full displayed image size.
TEST_P(CorpusTest, CoalescedFramesMatchFacts) {
  const std::string file = GetParam();
  auto facts = ReadFacts(file);
  if (facts.count("oracle_error")) return;
  DriveOptions o;
  o.events = QOV_DEC_HEADER_INFO | QOV_DEC_FRAME_START;
  o.chunk = 2048;
  const DriveResult run = Drive(ReadFileBytes(kDir + "/files/" + file), o);
  SCOPED_TRACE(file);
  EXPECT_EQ(QOV_DEC_OK, run.last);
  unsigned w = 0, h = 0;
  ASSERT_EQ(2, std::sscanf(facts["stored_size"].c_str(), "%ux%u", &w, &h));
  if (std::stoul(facts["orientation"]) >= 5) std::swap(w, h);
  const Observed seen = Parse(run);
  unsigned got_w = 0, got_h = 0, got_orient = 0;
  ASSERT_EQ(3, std::sscanf(seen.basic.c_str(), "basic %ux%u bits=%*u exp=%*u orient=%u",
                           &got_w, &got_h, &got_orient));
  EXPECT_EQ(w, got_w);
  EXPECT_EQ(h, got_h);
  EXPECT_EQ(1u, got_orient);
  std::vector<std::string> names;
  for (size_t i = 0; facts.count("frame[" + std::to_string(i) + "]"); ++i) {
    const std::string line = facts["frame[" + std::to_string(i) + "]"];
    if (Field(line, "last") == "1" || Field(line, "duration") != "0") {
      names.push_back(Field(line, "name"));
    }
  }
  ASSERT_EQ(names.size(), seen.frames.size());
  for (size_t i = 0; i < names.size(); ++i) {
    char expected[64];
    std::snprintf(expected, sizeof(expected), "crop=0(0,0) %ux%u blend=0/0/0/0 ref=0", w, h);
    EXPECT_NE(std::string::npos, seen.frames[i].find(expected)) << seen.frames[i];
    EXPECT_EQ(names[i], Field(seen.frames[i], "name"));
  }
}

// The box lines of a log (box starts and completions), or all the others.
std::vector<std::string> BoxLines(const std::vector<std::string>& log, bool boxes) {
  std::vector<std::string> out;
  for (const std::string& line : log) {
    if ((line.rfind("box ", 0) == 0) == boxes) out.push_back(line);
  }
  return out;
}

// Feeding a file whole or in chunks of any size gives the same events and
// the same getter answers, box contents included.
TEST_P(CorpusTest, ChunkingInvariance) {
  const std::string file = GetParam();
  const Bytes bytes = ReadFileBytes(kDir + "/files/" + file);
  ASSERT_FALSE(bytes.empty());
  for (const bool box_buffers : {false, true}) {
    DriveOptions whole = ToolOptions(0);
    whole.box_buffers = box_buffers;
    const DriveResult reference = Drive(bytes, whole);
    for (const size_t chunk : {size_t{2048}, size_t{7}, size_t{2}, size_t{1}}) {
      DriveOptions o = whole;
      o.chunk = chunk;
      const DriveResult r = Drive(bytes, o);
      if (!box_buffers) {
        EXPECT_EQ(reference.log, r.log) << file << " chunk " << chunk;
      } else {
        // A codestream box is complete only once its last byte has arrived,
        // while codestream events come as soon as their bytes are there: the
        // two streams interleave by chunking, each keeps its own order.
        EXPECT_EQ(BoxLines(reference.log, true), BoxLines(r.log, true))
            << file << " chunk " << chunk;
        EXPECT_EQ(BoxLines(reference.log, false), BoxLines(r.log, false))
            << file << " chunk " << chunk;
      }
      EXPECT_EQ(reference.last, r.last);
    }
  }
}

std::string Name(const ::testing::TestParamInfo<std::string>& info) {
  std::string s;
  for (char c : info.param) s += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return s;
}

INSTANTIATE_TEST_SUITE_P(Files, CorpusTest, ::testing::ValuesIn(CorpusFiles()), Name);

TEST(CorpusListTest, FolderIsNotEmpty) { EXPECT_GT(CorpusFiles().size(), 100u); }

}  // namespace
}  // namespace qov
