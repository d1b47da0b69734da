// qovinfo's report on every real file of the test corpus, checked against the
// file's facts: basic line, colour, orientation, intrinsic size, tone
// mapping, boxes, frames and layers, animation length.
#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "gtest/gtest.h"
#include "tests/tool/tool_run_helpers.h"

namespace qov {
namespace {

namespace fs = std::filesystem;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buf[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof(buf), format, args);
  va_end(args);
  return buf;
}

// One report line: an exact text, or a pattern where the facts do not fix
// every character (the ICC header fields).
struct ExpectedLine {
  std::string text;
  bool is_pattern = false;
  bool Matches(const std::string& line) const {
    return is_pattern ? std::regex_match(line, std::regex(text)) : line == text;
  }
};

struct Facts {
  std::map<std::string, std::string> values;        // single keys
  std::vector<std::string> extra_channels;          // extra_channel[i]
  std::vector<std::map<std::string, std::string>> frames;  // frame[i] fields
  bool Has(const std::string& key) const { return values.count(key) != 0; }
  const std::string& Get(const std::string& key) const { return values.at(key); }
};

// Splits "a=1 b=two name=\"x y\"" into fields (a quoted value may hold spaces).
std::map<std::string, std::string> ParseFields(const std::string& text) {
  std::map<std::string, std::string> fields;
  static const std::regex kField(R"re((\w+)=("[^"]*"|\S+))re");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), kField);
       it != std::sregex_iterator(); ++it) {
    std::string value = (*it)[2];
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    fields[(*it)[1]] = value;
  }
  return fields;
}

Facts ReadFacts(const fs::path& path) {
  Facts facts;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    const std::string key = line.substr(0, colon);
    const std::string value = line.substr(colon + 2);
    if (key.rfind("extra_channel[", 0) == 0) {
      facts.extra_channels.push_back(value);
    } else if (key.rfind("frame[", 0) == 0) {
      facts.frames.push_back(ParseFields(value));
    } else {
      facts.values[key] = value;
    }
  }
  return facts;
}

std::string EscapeRegex(const std::string& text) {
  static const std::regex kSpecial(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, kSpecial, R"(\$&)");
}

bool ParseSize(const std::string& text, uint32_t* w, uint32_t* h) {
  return std::sscanf(text.c_str(), "%ux%u", w, h) == 2;
}

std::string ExtraChannelTypeName(const std::string& facts_name) {
  static const std::map<std::string, std::string> kNames = {
      {"Alpha", "Alpha"},         {"Depth", "Depth"},     {"SpotColor", "Spotcolor"},
      {"SelectionMask", "Selection"}, {"Black", "Black"}, {"Cfa", "CFA"},
      {"Thermal", "Thermal"},     {"Unknown", "Unknown"}, {"Optional", "Optional"}};
  auto it = kNames.find(facts_name);
  return it == kNames.end() ? "?" + facts_name : it->second;
}

// Compares printed lines with expected ones, line by line.
void ExpectLines(const std::vector<ExpectedLine>& expected,
                 const std::vector<std::string>& printed) {
  const size_t n = std::max(expected.size(), printed.size());
  for (size_t i = 0; i < n; ++i) {
    if (i >= expected.size()) {
      ADD_FAILURE() << "unexpected line: " << printed[i];
    } else if (i >= printed.size()) {
      ADD_FAILURE() << "missing line: " << expected[i].text;
    } else {
      EXPECT_TRUE(expected[i].Matches(printed[i]))
          << "line " << i << "\n  expected: " << expected[i].text
          << "\n  printed:  " << printed[i];
    }
  }
}

// The box lines in file order; verbose adds each box's header.
std::vector<ExpectedLine> ExpectedBoxLines(const Facts& facts, bool verbose) {
  std::vector<ExpectedLine> lines;
  if (!facts.Has("boxes")) return lines;
  const std::string& boxes = facts.Get("boxes");
  static const std::regex kBox(R"re('(.{4})'(?:\('(.{4})'\))?:(\d+))re");
  for (auto it = std::sregex_iterator(boxes.begin(), boxes.end(), kBox);
       it != std::sregex_iterator(); ++it) {
    const std::string type = (*it)[1];
    const std::string inner = (*it)[2];
    const std::string size = (*it)[3];
    if (verbose) {
      // The facts do not tell an 8-byte header from a 16-byte one.
      lines.push_back({"Box:"});
      lines.push_back({"  type: \"" + type + "\""});
      lines.push_back({"  size: " + size});
      lines.push_back({"  contents size: (" + std::to_string(std::stoull(size) - 8) + "|" +
                           std::to_string(std::stoull(size) - 16) + ")",
                       true});
    }
    if (type == "JXL ") {
      lines.push_back({"JPEG XL file format container (ISO/IEC 18181-2)"});
    } else if (type == "jxlc" || type == "jxll" || type == "jxlp" || type == "ftyp") {
    } else if (type == "jxli") {
      lines.push_back({"Frame index box present"});
    } else if (type == "jbrd") {
      lines.push_back({"JPEG bitstream reconstruction data available"});
    } else if (type == "Exif" || type == "xml " || type == "jumb") {
      lines.push_back({"Uncompressed " + type + " metadata: " + size + " bytes"});
    } else if (type == "brob") {
      lines.push_back({"Brotli-compressed " + inner + " metadata: " + size +
                       " compressed bytes"});
    } else {
      lines.push_back({"Unknown box:"});
      lines.push_back({"  type: \"" + type + "\""});
      lines.push_back({"  size: " + size});
    }
  }
  return lines;
}

bool IsBoxLine(const std::vector<std::string>& lines, size_t i) {
  const std::string& l = lines[i];
  for (size_t back = 0; back < 4 && back <= i; ++back) {
    if (lines[i - back] == "Box:") return true;
  }
  return l == "JPEG XL file format container (ISO/IEC 18181-2)" ||
         l == "Frame index box present" ||
         l == "JPEG bitstream reconstruction data available" ||
         l.rfind("Uncompressed ", 0) == 0 || l.rfind("Brotli-compressed ", 0) == 0 ||
         l == "Unknown box:" ||
         (i > 0 && lines[i - 1] == "Unknown box:") ||
         (i > 1 && lines[i - 2] == "Unknown box:");
}

void AddColorLines(const Facts& facts, std::vector<ExpectedLine>* out) {
  const std::string& colour = facts.Get("colour");
  if (colour.rfind("icc", 0) == 0) {
    out->push_back({Format("%s-byte ICC profile, CMM type: \"[^\"]{0,4}\", Color space: "
                           "\"[^\"]{0,4}\", Rendering intent: [0-9]+",
                           facts.Get("icc_bytes").c_str()),
                    true});
    return;
  }
  const auto f = ParseFields(colour.substr(colour.find(' ') + 1));
  static const std::map<std::string, std::string> kSpace = {
      {"Rgb", "RGB"}, {"Grey", "Grayscale"}, {"Xyb", "XYB"}, {"Unknown", "Unknown"}};
  static const std::map<std::string, std::string> kWhite = {
      {"D65", "D65"}, {"E", "E"}, {"Dci", "P3"}};
  static const std::map<std::string, std::string> kPrimaries = {
      {"Srgb", "sRGB"}, {"Bt2100", "Rec.2100"}, {"P3", "P3"}};
  static const std::map<std::string, std::string> kTransfer = {
      {"Bt709", "709"}, {"Unknown", "Unknown"}, {"Linear", "Linear"}, {"Srgb", "sRGB"},
      {"Pq", "PQ"},     {"Dci", "DCI"},         {"Hlg", "HLG"}};
  static const std::map<std::string, std::string> kIntent = {
      {"Perceptual", "Perceptual"}, {"Relative", "Relative"},
      {"Saturation", "Saturation"}, {"Absolute", "Absolute"}};
  auto name = [](const std::map<std::string, std::string>& table, const std::string& v) {
    auto it = table.find(v);
    return it == table.end() ? "?" + v : it->second;
  };
  const std::string space = f.at("space");
  out->push_back({"Color space: " + name(kSpace, space)});
  std::string white = f.at("white");
  double x, y;
  if (std::sscanf(white.c_str(), "custom(%lf,%lf)", &x, &y) == 2) {
    out->push_back({Format("White point: Custom (x=%f,y=%f)", x, y)});
  } else {
    out->push_back({"White point: " + name(kWhite, white)});
  }
  if (space == "Rgb" || space == "Unknown") {
    const std::string& p = f.at("primaries");
    double rx, ry, gx, gy, bx, by;
    if (std::sscanf(p.c_str(), "custom(%lf,%lf)(%lf,%lf)(%lf,%lf)", &rx, &ry, &gx, &gy,
                    &bx, &by) == 6) {
      out->push_back({Format("Primaries: Custom - red(x=%f,y=%f), green(x=%f,y=%f), "
                             "blue(x=%f,y=%f)",
                             rx, ry, gx, gy, bx, by)});
    } else {
      out->push_back({"Primaries: " + name(kPrimaries, p)});
    }
  }
  const std::string& t = f.at("transfer");
  double gamma;
  if (std::sscanf(t.c_str(), "gamma(%lf)", &gamma) == 1) {
    out->push_back({Format("Transfer function: gamma(%f)", gamma)});
  } else {
    out->push_back({"Transfer function: " + name(kTransfer, t)});
  }
  out->push_back({"Rendering intent: " + name(kIntent, f.at("intent"))});
}

// Everything but the box lines, in order.
std::vector<ExpectedLine> ExpectedReportLines(const Facts& facts, bool verbose) {
  std::vector<ExpectedLine> lines;
  uint32_t width = 0, height = 0;
  EXPECT_TRUE(ParseSize(facts.Get("stored_size"), &width, &height));
  const bool animation = facts.Has("animation");
  const bool grey = facts.Get("colour").find("Grey") != std::string::npos;

  unsigned bits = 0, exponent_bits = 0;
  std::sscanf(facts.Get("bits_per_sample").c_str(), "%u float_exponent_bits: %u", &bits,
              &exponent_bits);
  std::string basic = Format("JPEG XL %s, %ux%u, %s, %u-bit ",
                             animation ? "animation" : "image", width, height,
                             facts.Get("xyb") == "0" ? "(possibly) lossless" : "lossy", bits);
  if (exponent_bits != 0) basic += Format("float (%u exponent bits) ", exponent_bits);
  std::string channels;
  bool black = false;
  for (const std::string& ec : facts.extra_channels) {
    const std::string type = ParseFields(ec).at("type");
    if (type == "Black") black = true;
    channels += "+" + ExtraChannelTypeName(type);
  }
  basic += grey ? "Grayscale" : black ? "CMY" : "RGB";
  lines.push_back({basic + channels});
  if (verbose) {
    lines.push_back({Format("Number of color channels: %d", grey ? 1 : 3)});
    lines.push_back({Format("Number of extra channels: %zu", facts.extra_channels.size())});
    for (size_t i = 0; i < facts.extra_channels.size(); ++i) {
      const auto ec = ParseFields(facts.extra_channels[i]);
      const std::string type = ExtraChannelTypeName(ec.at("type"));
      lines.push_back({Format("Extra channel %zu:", i)});
      lines.push_back({"  type: " + type});
      lines.push_back({"  bits per sample: " + ec.at("bits")});
      if (ec.count("float_exponent_bits") != 0) {
        lines.push_back({"  float, with exponent_bits_per_sample: " +
                         ec.at("float_exponent_bits")});
      }
      const int dim_shift = std::stoi(ec.at("dim_shift"));
      if (dim_shift != 0) lines.push_back({Format("  upsampled %dx", 1 << dim_shift)});
      if (!ec.at("name").empty()) lines.push_back({"  name: " + ec.at("name")});
      if (type == "Alpha") {
        const bool premultiplied = ec.at("premultiplied") == "1";
        lines.push_back({Format("  alpha premultiplied: %d (%s)", premultiplied ? 1 : 0,
                                premultiplied ? "Premultiplied" : "Non-premultiplied")});
      }
    }
  }

  const auto tone = ParseFields(facts.Get("tone_mapping"));
  const float intensity = std::stof(tone.at("intensity_target"));
  const float min_nits = std::stof(tone.at("min_nits"));
  const bool relative = tone.at("relative_to_max_display") == "true";
  if (intensity != 255.0f || min_nits != 0.0f || relative) {
    lines.push_back({Format("Intensity target: %f nits", intensity)});
    lines.push_back({Format("Min nits: %f", min_nits)});
    lines.push_back({Format("Relative to max display: %d", relative ? 1 : 0)});
    lines.push_back({Format("Linear below: %f", std::stof(tone.at("linear_below")))});
  }
  unsigned tps_num = 1, tps_den = 1, loops = 0, timecodes = 0;
  if (animation) {
    EXPECT_EQ(4, std::sscanf(facts.Get("animation").c_str(), "tps=%u/%u loops=%u timecodes=%u",
                             &tps_num, &tps_den, &loops, &timecodes));
  }
  if (verbose) {
    lines.push_back({"Have preview: 0"});
    lines.push_back({Format("Have animation: %d", animation ? 1 : 0)});
    if (animation) {
      lines.push_back(
          {Format("Ticks per second (numerator / denominator): %u / %u", tps_num, tps_den)});
      lines.push_back({Format("Num loops: %u", loops)});
      lines.push_back({Format("Have timecodes: %u", timecodes)});
    }
  }
  uint32_t iw = width, ih = height;
  if (facts.Has("intrinsic_size")) {
    EXPECT_TRUE(ParseSize(facts.Get("intrinsic_size"), &iw, &ih));
  }
  if (iw != width || ih != height || verbose) {
    lines.push_back({Format("Intrinsic dimensions: %ux%u", iw, ih)});
  }
  static const char* const kOrientations[] = {
      "Normal",          "Flipped horizontally", "Upside down",
      "Flipped vertically", "Transposed",        "90 degrees clockwise",
      "Anti-Transposed", "90 degrees counter-clockwise"};
  const int orientation = std::stoi(facts.Get("orientation"));
  if (orientation != 1 || verbose) {
    lines.push_back({Format("Orientation: %d (%s)", orientation, kOrientations[orientation - 1])});
  }
  AddColorLines(facts, &lines);

  uint32_t printed = 0;
  float sum_ms = 0.0f;
  for (const auto& frame : facts.frames) {
    const bool last = frame.at("last") == "1";
    const uint32_t duration = std::stoul(frame.at("duration"));
    const std::string& name = frame.at("name");
    // Layers are reported one by one: regular frames, and the last frame.
    if (!(last || duration != 0 || frame.at("type") == "RegularFrame")) continue;
    std::string text;
    if (duration != 0) {
      text = "Frame: ";
    } else if (last && printed == 0 && name.empty()) {
      continue;
    } else {
      text = "Layer: ";
    }
    uint32_t fw = 0, fh = 0;
    EXPECT_TRUE(ParseSize(frame.at("size"), &fw, &fh));
    int x0 = 0, y0 = 0;
    EXPECT_EQ(2, std::sscanf(frame.at("origin").c_str(), "%d,%d", &x0, &y0));
    const std::string placed = Format("%ux%u at position (%i,%i)", fw, fh, x0, y0);
    const bool full = fw == width && fh == height && x0 == 0 && y0 == 0;
    std::string tail;
    if (animation) {
      const float ms = (static_cast<float>(duration) * 1000.0f) *
                       static_cast<float>(tps_den) / static_cast<float>(tps_num);
      sum_ms += ms;
      tail += Format(", duration: %.1f ms", ms);
      if (timecodes) {
        unsigned tc = 0;
        std::sscanf(frame.at("timecode").c_str(), "0x%x", &tc);
        tail += Format(", time code: %X", tc);
      }
    }
    if (!name.empty()) tail += ", name: \"" + name + "\"";
    ++printed;
    if (full) {
      // A full-size frame may still carry an explicit crop of the whole image.
      lines.push_back({EscapeRegex(text) + "(Full image size|" + EscapeRegex(placed) + ")" +
                           EscapeRegex(tail),
                       true});
    } else {
      lines.push_back({text + placed + tail});
    }
  }
  if (animation) {
    float total = sum_ms;
    if (loops >= 2) total *= static_cast<float>(loops);
    total *= 0.001f;
    lines.push_back({Format("Animation length: %.3f seconds%s", total,
                            loops == 0 ? " (looping)" : "")});
  }
  return lines;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::path(QOV_TESTDATA_DIR) / "facts", ec)) {
    if (entry.path().extension() == ".facts") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A row per file of the corpus, plain and verbose.
class FactsTest : public testing::TestWithParam<std::tuple<std::string, bool>> {};

TEST_P(FactsTest, ReportAgreesWithFacts) {
  const fs::path dir(QOV_TESTDATA_DIR);
  const auto& [name, verbose] = GetParam();
  const Facts facts = ReadFacts(dir / "facts" / (name + ".facts"));
  const std::string path = (dir / "files" / facts.Get("file")).string();
  const ToolResult r = verbose ? RunTool({"-v", path}) : RunTool({path});
  EXPECT_EQ(0, r.exit_code);

  const std::vector<std::string> out = SplitLines(r.out);
  std::vector<std::string> box_lines, report_lines;
  for (size_t i = 0; i < out.size(); ++i) {
    (IsBoxLine(out, i) ? box_lines : report_lines).push_back(out[i]);
  }
  {
    SCOPED_TRACE("box lines");
    ExpectLines(ExpectedBoxLines(facts, verbose), box_lines);
  }

  if (facts.Has("oracle_error")) {
    // The headers cannot be read: no report, only the messages.
    EXPECT_TRUE(report_lines.empty()) << r.out;
    const std::string tail = "Error reading file: " + path + "\n";
    EXPECT_TRUE(r.err.size() >= tail.size() &&
                r.err.compare(r.err.size() - tail.size(), tail.size(), tail) == 0)
        << r.err;
    return;
  }
  EXPECT_EQ("", r.err);
  SCOPED_TRACE("report lines");
  ExpectLines(ExpectedReportLines(facts, verbose), report_lines);
}

std::string RowName(const testing::TestParamInfo<std::tuple<std::string, bool>>& info) {
  std::string name = std::get<0>(info.param) + (std::get<1>(info.param) ? "_verbose" : "");
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Corpus, FactsTest,
                         testing::Combine(testing::ValuesIn(CorpusFiles()), testing::Bool()),
                         RowName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FactsTest);

}  // namespace
}  // namespace qov
