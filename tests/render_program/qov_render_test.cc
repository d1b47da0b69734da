// qov_render's command line: usage errors, files that do not decode, a
// well-formed PAM for a file that does, and the JPEG file rebuilt with
// --jpeg.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

struct Result {
  int code = -1;
  std::string err;
};

// CTest runs the tests of this file as parallel processes, and other builds'
// test runs may share the temporary folder: each test process gets names of
// its own.
std::string TempPath(const std::string& name) {
  const ::testing::TestInfo* test =
      ::testing::UnitTest::GetInstance()->current_test_info();
  return ::testing::TempDir() + "qov_render_" + std::to_string(getpid()) + "_" +
         test->name() + "_" + name;
}

Result RunRender(const std::string& args) {
  const std::string err_path = TempPath("stderr.txt");
  const std::string command =
      std::string(QOV_RENDER_PATH) + " " + args + " 2>" + err_path;
  const int status = std::system(command.c_str());
  Result r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(err_path);
  r.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return r;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                              std::istreambuf_iterator<char>());
}

TEST(QovRenderTest, UsageErrorsExitTwo) {
  const char* cases[] = {
      "",
      "only_one_file",
      "a b c",
      "--frame a.jxl out.pam",
      "--frame x a.jxl out.pam",
      "--frame -1 a.jxl out.pam",
      "--threads a.jxl out.pam",
      "--chunk 0 a.jxl out.pam",
      "--bogus a.jxl out.pam",
      "a.jxl out.pam --threads",
      "--jpeg a.jxl",
      "--jpeg --f32 a.jxl out.jpg",
      "--jpeg --frame 0 a.jxl out.jpg",
      "--jpeg --chunk 0 a.jxl out.jpg",
  };
  for (const char* args : cases) {
    const Result r = RunRender(args);
    EXPECT_EQ(r.code, 2) << "args: " << args;
    EXPECT_NE(r.err.find("usage: qov_render"), std::string::npos) << args;
  }
}

TEST(QovRenderTest, FilesThatDoNotDecodeExitOneWithOneLine) {
  const std::string text = TempPath("not_an_image.txt");
  {
    std::ofstream out(text);
    out << "this is not an image\n";
  }
  const std::string empty = TempPath("empty.jxl");
  { std::ofstream out(empty); }
  for (const std::string& file : {text, empty, TempPath("missing.jxl")}) {
    for (const char* options : {"", "--chunk 3 --threads 2 "}) {
      const Result r = RunRender(options + file + " " + TempPath("out.pam"));
      EXPECT_EQ(r.code, 1) << file;
      ASSERT_FALSE(r.err.empty()) << file;
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
  }
}

// A small 8-bit file of the sample corpus, given in 1000-byte chunks on two
// threads.
TEST(QovRenderTest, WritesAWellFormedPam) {
  const std::string file = std::string(QOV_TESTDATA_DIR) +
                           "/files/KDE__kimageformats__autotests__read__jxl__chicken8.jxl";
  const std::string out = TempPath("chicken.pam");
  std::remove(out.c_str());
  const Result r = RunRender("--chunk 1000 --threads 2 " + file + " " + out);
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<uint8_t> pam = ReadAll(out);
  const std::string text(pam.begin(), pam.end());
  const size_t end = text.find("ENDHDR\n");
  ASSERT_NE(end, std::string::npos);
  std::istringstream header(text.substr(0, end));
  std::string magic, key;
  header >> magic;
  EXPECT_EQ(magic, "P7");
  uint64_t width = 0, height = 0, depth = 0, maxval = 0;
  std::string tupltype;
  while (header >> key) {
    if (key == "WIDTH") header >> width;
    else if (key == "HEIGHT") header >> height;
    else if (key == "DEPTH") header >> depth;
    else if (key == "MAXVAL") header >> maxval;
    else if (key == "TUPLTYPE") header >> tupltype;
  }
  EXPECT_GT(width, 0u);
  EXPECT_GT(height, 0u);
  EXPECT_EQ(maxval, 255u);
  const char* kTypes[5] = {"", "GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};
  ASSERT_TRUE(depth >= 1 && depth <= 4);
  EXPECT_EQ(tupltype, kTypes[depth]);
  EXPECT_EQ(pam.size(), end + 7 + width * height * depth);
}

// --jpeg rebuilds the JPEG file exactly, in 7-byte chunks; files without
// reconstruction data (or not even a JPEG XL file) exit 1 with one line.
TEST(QovRenderTest, JpegMode) {
  const std::string dir = std::string(QOV_TESTDATA_DIR);
  const std::string name = "andrinbr__xl-view__tests__fixtures__exif-common.jxl";
  const std::string out = TempPath("rebuilt.jpg");
  std::remove(out.c_str());
  Result r = RunRender("--jpeg --chunk 7 " + dir + "/files/" + name + " " + out);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadAll(out), ReadAll(dir + "/renders/" + name + ".jpg"));

  const std::string text = TempPath("not_an_image.txt");
  {
    std::ofstream file(text);
    file << "this is not an image\n";
  }
  const struct {
    std::string file;
    const char* reason;
  } failures[] = {
      // A modular file with no 'jbrd' box.
      {dir + "/files/KDE__kimageformats__autotests__read__jxl__chicken8.jxl",
       "no JPEG reconstruction data"},
      {text, "no usable JPEG reconstruction data"},
  };
  for (const auto& f : failures) {
    std::remove(out.c_str());
    r = RunRender("--jpeg " + f.file + " " + out);
    EXPECT_EQ(r.code, 1) << f.file;
    ASSERT_FALSE(r.err.empty()) << f.file;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(f.reason), std::string::npos) << r.err;
    EXPECT_TRUE(ReadAll(out).empty()) << f.file;
  }
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QOV_RENDER_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QOV_RENDER_TEST_SANITIZED 1
#endif

// The large VarDCT files of the speed targets render to the same bytes with
// the decoder's loops inline and on eight workers (the smallest also on
// one): group scheduling, per-thread scratch and the lazily mapped output
// buffer leave no trace.
// Sanitized builds keep the smallest file, integer output, only.
TEST(QovRenderTest, VarDctRendersIdenticalForEveryThreadCount) {
  struct Case {
    const char* file;
    const char* options;
    bool large;
  };
  const Case cases[] = {
      {"Traneptora__jxlatte__samples__bbb.jxl", "", false},
      {"Traneptora__jxlatte__samples__bbb.jxl", "--f32 ", true},
      {"tirr-c__jxl-oxide-testdata__benchmark-data__nahida-motion.d1-e7.jxl", "", true},
      {"Traneptora__jxlatte__samples__sollevante-hdr.jxl", "", true},
      {"OxideAV__oxideav-jpegxl__tests__fixtures__progressive_ac_multipass.jxl",
       "--chunk 65536 ", true},
  };
  for (const Case& c : cases) {
#if defined(QOV_RENDER_TEST_SANITIZED)
    if (c.large) continue;
#endif
    SCOPED_TRACE(std::string(c.options) + c.file);
    const std::string file = std::string(QOV_TESTDATA_DIR) + "/files/" + c.file;
    std::vector<uint8_t> first;
    // The large files: inline against eight threads only (CI time).
    std::vector<const char*> thread_counts = {"0", "8"};
    if (!c.large) thread_counts.insert(thread_counts.begin() + 1, "1");
    for (const char* threads : thread_counts) {
      const std::string out = TempPath(std::string("threads") + threads + ".out");
      std::remove(out.c_str());
      const Result r = RunRender(std::string(c.options) + "--threads " + threads +
                                 " " + file + " " + out);
      ASSERT_EQ(r.code, 0) << r.err;
      std::vector<uint8_t> bytes = ReadAll(out);
      std::remove(out.c_str());
      ASSERT_FALSE(bytes.empty());
      if (first.empty()) {
        first = std::move(bytes);
      } else {
        EXPECT_TRUE(bytes == first) << "--threads " << threads;
      }
    }
  }
}

}  // namespace
