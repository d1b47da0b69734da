// Renders of the sample corpus against the reference renders, through
// qov_render, for every keyframe of every file:
// - tier `exact` (integer samples at the file's bit depth) and `float` (the
//   float32 samples' SHA-256) must give exactly the reference;
// - tier `close` (lossy, XYB, frame features, blending; 8-bit references)
//   must come within a PSNR of 45 dB, or 30 dB where the reference says it
//   mapped colours into the sRGB gamut first. One CTest case per file, so
//   ctest runs them in parallel.
// Files that cannot match yet are listed with the reason; each file's result
// is logged.
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

namespace fs = std::filesystem;

// Files expected not to render exactly yet, and why. A listed file that
// renders exactly is reported so its entry can go.
struct ExpectedFailure {
  const char* file;
  const char* reason;
};
const ExpectedFailure kExpectedFailures[] = {
    // These files hold no subnormal float16 sample. The reference turns every
    // coded +0 (0x0000) into 2^-15, as a half-to-float conversion that only
    // rebiases the exponent does; binary16 zero is zero. With each 0 of our
    // render replaced by 2^-15 the float32 bytes hash to the reference digest.
    {"KDE__kimageformats__autotests__write__format__jxl__Format_RGBA16FPx4_"
     "Premultiplied.jxl",
     "the reference decodes float16 +0 as 2^-15; every other sample matches"},
    {"KDE__kimageformats__autotests__write__format__jxl__Format_RGBX16FPx4.jxl",
     "the reference decodes float16 +0 as 2^-15; every other sample matches"},
};

const char* ExpectedFailureReason(const std::string& file) {
  for (const ExpectedFailure& e : kExpectedFailures) {
    if (file == e.file) return e.reason;
  }
  return nullptr;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                              std::istreambuf_iterator<char>());
}

std::map<std::string, std::string> ReadFacts(const std::string& path) {
  std::map<std::string, std::string> facts;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(": ");
    if (colon != std::string::npos) facts[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return facts;
}

// ---- SHA-256 ----

std::string Sha256Hex(const std::vector<uint8_t>& data) {
  static const uint32_t k[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
      0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
      0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
      0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
      0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
      0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
      0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
      0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
      0xc67178f2};
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::vector<uint8_t> msg = data;
  const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
  msg.push_back(0x80);
  while (msg.size() % 64 != 56) msg.push_back(0);
  for (int i = 7; i >= 0; --i) msg.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  for (size_t off = 0; off < msg.size(); off += 64) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      w[i] = uint32_t{msg[off + 4 * i]} << 24 | uint32_t{msg[off + 4 * i + 1]} << 16 |
             uint32_t{msg[off + 4 * i + 2]} << 8 | msg[off + 4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
      const uint32_t ch = (e & f) ^ (~e & g);
      const uint32_t t1 = hh + s1 + ch + k[i] + w[i];
      const uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
      const uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
      const uint32_t t2 = s0 + maj;
      hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
    }
    h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
  }
  char hex[65];
  for (int i = 0; i < 8; ++i) std::snprintf(hex + 8 * i, 9, "%08x", h[i]);
  return std::string(hex, 64);
}

TEST(Sha256Test, KnownDigests) {
  EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string abc = "abc";
  EXPECT_EQ(Sha256Hex(std::vector<uint8_t>(abc.begin(), abc.end())),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// ---- images ----

// Samples as integers, interleaved, rows top to bottom.
struct Samples {
  uint64_t width = 0, height = 0, channels = 0;
  uint32_t maxval = 0;  // the sample value of full scale
  std::vector<uint32_t> values;
};

bool ReadPng(const std::string& path, Samples* out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  bool ok = false;
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    png_read_png(png, info, PNG_TRANSFORM_PACKING, nullptr);
    const png_uint_32 w = png_get_image_width(png, info);
    const png_uint_32 h = png_get_image_height(png, info);
    const int depth = png_get_bit_depth(png, info);
    const int channels = png_get_channels(png, info);
    png_bytepp rows = png_get_rows(png, info);
    out->width = w;
    out->height = h;
    out->channels = static_cast<uint64_t>(channels);
    out->maxval = depth == 16 ? 65535 : (1u << depth) - 1;
    out->values.clear();
    out->values.reserve(static_cast<size_t>(w) * h * channels);
    for (png_uint_32 y = 0; y < h; ++y) {
      for (size_t i = 0; i < static_cast<size_t>(w) * channels; ++i) {
        out->values.push_back(depth == 16 ? (uint32_t{rows[y][2 * i]} << 8 | rows[y][2 * i + 1])
                                          : rows[y][i]);
      }
    }
    ok = true;
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return ok;
}

bool ParsePam(const std::vector<uint8_t>& pam, Samples* out) {
  const std::string text(pam.begin(), pam.end());
  const size_t end = text.find("ENDHDR\n");
  if (end == std::string::npos) return false;
  std::istringstream header(text.substr(0, end));
  std::string key;
  uint64_t maxval = 0;
  header >> key;
  if (key != "P7") return false;
  while (header >> key) {
    if (key == "WIDTH") header >> out->width;
    else if (key == "HEIGHT") header >> out->height;
    else if (key == "DEPTH") header >> out->channels;
    else if (key == "MAXVAL") header >> maxval;
    else header >> key;
  }
  if (maxval == 0 || maxval > 65535) return false;
  out->maxval = static_cast<uint32_t>(maxval);
  const size_t bytes = maxval > 255 ? 2 : 1;
  const size_t count = out->width * out->height * out->channels;
  if (pam.size() != end + 7 + count * bytes) return false;
  const uint8_t* p = pam.data() + end + 7;
  out->values.resize(count);
  for (size_t i = 0; i < count; ++i) {
    out->values[i] = bytes == 2 ? (uint32_t{p[2 * i]} << 8 | p[2 * i + 1]) : p[i];
  }
  return true;
}

struct RenderResult {
  int code = -1;
  std::string err;
  std::vector<uint8_t> bytes;
};

// Output names unique to this process and call: the corpus suites run in
// parallel, and other checkouts on the machine may run them at the same time.
std::string TempPath(const char* suffix) {
  static std::atomic<uint64_t> counter{0};
  return ::testing::TempDir() + "qov_corpus_" + std::to_string(getpid()) + "_" +
         std::to_string(counter.fetch_add(1)) + suffix;
}

RenderResult Render(const std::string& file, size_t frame, bool f32) {
  const std::string out = TempPath(".out");
  const std::string err = TempPath(".err");
  std::remove(out.c_str());
  const std::string command = std::string(QOV_RENDER_PATH) + " --frame " +
                              std::to_string(frame) + (f32 ? " --f32 " : " ") + "'" + file +
                              "' '" + out + "' 2>'" + err + "'";
  const int status = std::system(command.c_str());
  RenderResult r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const std::vector<uint8_t> e = ReadAll(err);
  r.err.assign(e.begin(), e.end());
  while (!r.err.empty() && r.err.back() == '\n') r.err.pop_back();
  if (r.code == 0) r.bytes = ReadAll(out);
  std::remove(out.c_str());
  std::remove(err.c_str());
  return r;
}

// "" when frame k of the file renders exactly as the reference, else why not.
std::string CompareKeyframe(const std::string& file, const std::string& render_base,
                            const std::map<std::string, std::string>& facts, size_t k) {
  const bool is_float = facts.at("tier") == "float";
  const RenderResult r = Render(file, k, is_float);
  if (r.code != 0) return "does not render: " + r.err;
  if (is_float) {
    const auto it = facts.find("float_sha256[" + std::to_string(k) + "]");
    if (it == facts.end()) return "no float digest for keyframe " + std::to_string(k);
    const std::string got = Sha256Hex(r.bytes);
    return got == it->second ? "" : "float samples differ (sha256 " + got + ")";
  }
  Samples want, got;
  const std::string png = render_base + (k == 0 ? "" : "." + std::to_string(k)) + ".png";
  if (!ReadPng(png, &want)) return "cannot read " + png;
  if (!ParsePam(r.bytes, &got)) return "malformed PAM";
  // CMYK references hold the black extra channel fourth; the PAM has the
  // colour channels only (cmyk_render_test.cc checks the black channel).
  const auto channels = facts.find("channels");
  if (channels != facts.end() && channels->second == "CMYK" && want.channels == 4) {
    Samples colour = want;
    colour.channels = 3;
    colour.values.clear();
    for (size_t i = 0; i < want.values.size(); ++i) {
      if (i % 4 != 3) colour.values.push_back(want.values[i]);
    }
    want = colour;
  }
  if (got.width != want.width || got.height != want.height || got.channels != want.channels) {
    return "size or channels differ: got " + std::to_string(got.width) + "x" +
           std::to_string(got.height) + "x" + std::to_string(got.channels) + ", want " +
           std::to_string(want.width) + "x" + std::to_string(want.height) + "x" +
           std::to_string(want.channels);
  }
  for (size_t i = 0; i < got.values.size(); ++i) {
    if (got.values[i] != want.values[i]) {
      const size_t pixel = i / got.channels;
      return "sample differs at (" + std::to_string(pixel % got.width) + ", " +
             std::to_string(pixel / got.width) + ") channel " +
             std::to_string(i % got.channels) + ": got " + std::to_string(got.values[i]) +
             ", want " + std::to_string(want.values[i]);
    }
  }
  return "";
}

TEST(RenderCorpusTest, ExactAndFloatTiersMatchTheReferences) {
  const fs::path renders = fs::path(QOV_TESTDATA_DIR) / "renders";
  const fs::path files = fs::path(QOV_TESTDATA_DIR) / "files";
  ASSERT_TRUE(fs::is_directory(renders));
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(renders)) {
    if (entry.path().extension() == ".render") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  size_t checked = 0, passed = 0, expected = 0;
  for (const std::string& name : names) {
    const auto facts = ReadFacts((renders / (name + ".render")).string());
    const auto tier = facts.find("tier");
    if (tier == facts.end() || (tier->second != "exact" && tier->second != "float")) continue;
    ++checked;
    const size_t keyframes = std::stoul(facts.at("keyframes"));
    std::string failure;
    for (size_t k = 0; k < keyframes && failure.empty(); ++k) {
      failure = CompareKeyframe((files / name).string(), (renders / name).string(), facts, k);
      if (!failure.empty()) failure = "keyframe " + std::to_string(k) + ": " + failure;
    }
    const char* reason = ExpectedFailureReason(name);
    if (failure.empty()) {
      ++passed;
      std::printf("[render] PASS %s (%s, %zu keyframes)%s\n", name.c_str(),
                  tier->second.c_str(), keyframes,
                  reason != nullptr ? " -- listed as expected failure, remove it" : "");
    } else if (reason != nullptr) {
      ++expected;
      std::printf("[render] XFAIL %s: %s (expected: %s)\n", name.c_str(), failure.c_str(),
                  reason);
    } else {
      ADD_FAILURE() << name << ": " << failure;
      std::printf("[render] FAIL %s: %s\n", name.c_str(), failure.c_str());
    }
  }
  std::printf("[render] %zu files: %zu exact, %zu expected failures, %zu failed\n", checked,
              passed, expected, checked - passed - expected);
  EXPECT_GT(checked, 0u);
}


// ---- tier `close` ----

// Close-tier files expected to miss their threshold, and why.
//
// wb-rainbow: its first frame (1024x576 coded, 2x upsampling, one
// 1024-pixel group) has noise. We upsample first and then add the noise at
// the upsampled resolution, in four 1024x1024 tiles seeded with their
// upsampled positions (0,0), (1024,0), (0,1024), (1024,1024). The reference
// adds the noise before upsampling, at the coded resolution, and uses there
// the values of our tile (0,0) alone (a 1024x1024 tile, so its second and
// third planes start after 1024 rows, not 576), coded pixel (x, y) taking
// the tile's value (x, y); the grain is then upsampled with the colours.
// Measured: as decoded 32.2 dB; without noise 36.9 dB (block means agree to
// 0.3/255 rms, so colours, splines, upsampling and the Add/Blend layers
// with their origins and alpha are right); the reference's grain minus our
// noise-free render, averaged per 2x2, correlates 0.85 with the convolved
// third plane of that tile (frame counters visible 0, non-visible 1, as
// ours) and about 0 with what we add; a decoder changed to the reference's
// order renders it at 62.1 dB. We keep our order on purpose: the stage
// order puts noise after upsampling, on planes at the upsampled resolution.
const ExpectedFailure kCloseExpectedFailures[] = {
    {"Traneptora__jxlatte__samples__wb-rainbow.jxl",
     "noise in a 2x upsampled frame: the reference adds it before upsampling, "
     "at the coded resolution; we add it after, at the upsampled resolution "
     "(PSNR 32.2 dB; 62.1 dB with the reference's order)"},
};

const char* CloseExpectedFailureReason(const std::string& file) {
  for (const ExpectedFailure& e : kCloseExpectedFailures) {
    if (file == e.file) return e.reason;
  }
  return nullptr;
}

// The sanitizer builds compare only small images, to keep CI short.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kReducedCorpus = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
constexpr bool kReducedCorpus = true;
#else
constexpr bool kReducedCorpus = false;
#endif
#else
constexpr bool kReducedCorpus = false;
#endif
constexpr uint64_t kReducedMaxPixels = 512 * 512;

// Close-tier files in name order (all of them, or the small ones in a
// sanitizer build).
std::vector<std::string> CloseTierFiles() {
  std::vector<std::string> names;
  const fs::path renders = fs::path(QOV_TESTDATA_DIR) / "renders";
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(renders, ec)) {
    if (entry.path().extension() != ".render") continue;
    const auto facts = ReadFacts(entry.path().string());
    const auto tier = facts.find("tier");
    if (tier == facts.end() || tier->second != "close") continue;
    if (kReducedCorpus) {
      uint64_t w = 0, h = 0;
      const auto size = facts.find("size");
      if (size == facts.end() ||
          std::sscanf(size->second.c_str(), "%" SCNu64 "x%" SCNu64, &w, &h) != 2 ||
          w * h > kReducedMaxPixels) {
        continue;
      }
    }
    names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct Closeness {
  double psnr = 0;         // dB; infinity when equal
  double max_error = 0;    // in units of full scale
  uint64_t x = 0, y = 0, channel = 0;  // where the largest error is
};

// PSNR over all samples of `got` (float32, interleaved, clamped to 0..1 here)
// against the integer reference.
Closeness Compare(const std::vector<float>& got, const Samples& want) {
  Closeness r;
  double sum = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    const double v = std::clamp(static_cast<double>(got[i]), 0.0, 1.0);
    const double e = v - static_cast<double>(want.values[i]) / want.maxval;
    sum += e * e;
    if (std::fabs(e) > r.max_error) {
      r.max_error = std::fabs(e);
      const size_t pixel = i / want.channels;
      r.x = pixel % want.width;
      r.y = pixel / want.width;
      r.channel = i % want.channels;
    }
  }
  const double mse = got.empty() ? 0 : sum / static_cast<double>(got.size());
  r.psnr = mse == 0 ? INFINITY : 10 * std::log10(1 / mse);
  return r;
}

TEST(CloseComparisonTest, PsnrAndLargestError) {
  Samples want;
  want.width = 2;
  want.height = 1;
  want.channels = 2;
  want.maxval = 4;
  want.values = {0, 4, 1, 4};
  // Out-of-range values are clamped first: -0.5 counts as 0, 1.5 as 1.
  Closeness c = Compare({-0.5f, 1.5f, 0.25f, 1.0f}, want);
  EXPECT_EQ(c.psnr, INFINITY);
  EXPECT_EQ(c.max_error, 0);
  // One sample of four off by 1/8: MSE 1/256, 24.08 dB; found at (1, 0).
  c = Compare({0.0f, 1.0f, 0.375f, 1.0f}, want);
  EXPECT_NEAR(c.psnr, 10 * std::log10(256.0), 1e-9);
  EXPECT_EQ(c.max_error, 0.125);
  EXPECT_EQ(c.x, 1u);
  EXPECT_EQ(c.y, 0u);
  EXPECT_EQ(c.channel, 0u);
}

double ThresholdOf(const std::map<std::string, std::string>& facts) {
  const auto note = facts.find("note");
  return note != facts.end() && note->second.find("gamut") != std::string::npos ? 30.0
                                                                                 : 45.0;
}

// "" when keyframe k is close enough to the reference, else why not; `line`
// gets the log line of the comparison.
std::string CompareCloseKeyframe(const std::string& name, size_t k, double threshold,
                                 std::string* line) {
  const fs::path dir = fs::path(QOV_TESTDATA_DIR);
  const std::string png = (dir / "renders" / name).string() +
                          (k == 0 ? "" : "." + std::to_string(k)) + ".png";
  Samples want;
  if (!ReadPng(png, &want)) return "cannot read " + png;
  const RenderResult r = Render((dir / "files" / name).string(), k, /*f32=*/true);
  if (r.code != 0) return "does not render: " + r.err;
  const size_t count = want.width * want.height * want.channels;
  if (r.bytes.size() != count * sizeof(float)) {
    return "got " + std::to_string(r.bytes.size()) + " bytes of float samples, want " +
           std::to_string(count * sizeof(float)) + " (" + std::to_string(want.width) +
           "x" + std::to_string(want.height) + "x" + std::to_string(want.channels) + ")";
  }
  std::vector<float> got(count);
  std::memcpy(got.data(), r.bytes.data(), r.bytes.size());
  const Closeness c = Compare(got, want);
  char text[256];
  std::snprintf(text, sizeof(text),
                "keyframe %zu: PSNR %.2f dB (threshold %.0f), largest error %.4f "
                "(%.1f/255) at (%" PRIu64 ", %" PRIu64 ") channel %" PRIu64,
                k, c.psnr, threshold, c.max_error, c.max_error * 255, c.x, c.y,
                c.channel);
  *line = text;
  return c.psnr >= threshold ? "" : "PSNR below the threshold";
}

class CloseTierTest : public ::testing::TestWithParam<std::string> {};

TEST_P(CloseTierTest, WithinThePsnrThreshold) {
  const std::string& name = GetParam();
  const fs::path render = fs::path(QOV_TESTDATA_DIR) / "renders" / (name + ".render");
  const auto facts = ReadFacts(render.string());
  ASSERT_EQ(facts.count("keyframes"), 1u) << render;
  const size_t keyframes = std::stoul(facts.at("keyframes"));
  const double threshold = ThresholdOf(facts);
  const char* reason = CloseExpectedFailureReason(name);
  bool all_close = true;
  for (size_t k = 0; k < keyframes; ++k) {
    std::string line;
    const std::string failure = CompareCloseKeyframe(name, k, threshold, &line);
    const char* verdict = failure.empty() ? "PASS" : reason != nullptr ? "XFAIL" : "FAIL";
    std::printf("[render] %s %s %s%s%s\n", verdict, name.c_str(),
                line.empty() ? "" : line.c_str(), line.empty() || failure.empty() ? "" : ": ",
                failure.c_str());
    if (!failure.empty()) {
      all_close = false;
      if (reason == nullptr) ADD_FAILURE() << name << " keyframe " << k << ": " << failure << " " << line;
    }
  }
  if (reason != nullptr) {
    std::printf(all_close ? "[render] %s passes: remove it from the expected failures (%s)\n"
                          : "[render] %s: expected failure: %s\n",
                name.c_str(), reason);
  }
}

std::string TestNameOf(const ::testing::TestParamInfo<std::string>& info) {
  std::string out;
  for (char c : info.param) {
    out += (std::isalnum(static_cast<unsigned char>(c)) != 0) ? c : '_';
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Corpus, CloseTierTest, ::testing::ValuesIn(CloseTierFiles()),
                         TestNameOf);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CloseTierTest);

}  // namespace
