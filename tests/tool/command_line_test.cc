// qovinfo's command line: options, file order, messages and exit codes.
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/tool/tool_run_helpers.h"

namespace qov {
namespace {

std::string Usage() {
  return "Usage: " + ToolPath() +
         " [-v] [-h] INPUT\n"
         "  INPUT                  input JPEG XL image filename(s)\n"
         "  -v (or --verbose)      more verbose output\n"
         "  -h (or --help or -?)   this help)\n";
}

std::string TestFile(const char* name) {
  return std::string(QOV_TESTDATA_DIR) + "/files/" + name;
}

// A grey still image with orientation 6 and a bare codestream.
const char kOrientName[] = "alistair7__jxltk__contrib__jxlazy__testfiles__orient.jxl";
const char kOrientReport[] =
    "JPEG XL image, 1x2, (possibly) lossless, 8-bit Grayscale\n"
    "Orientation: 6 (90 degrees clockwise)\n"
    "Color space: Grayscale\n"
    "White point: D65\n"
    "Transfer function: sRGB\n"
    "Rendering intent: Relative\n";
const char kOrientVerboseReport[] =
    "JPEG XL image, 1x2, (possibly) lossless, 8-bit Grayscale\n"
    "Number of color channels: 1\n"
    "Number of extra channels: 0\n"
    "Have preview: 0\n"
    "Have animation: 0\n"
    "Intrinsic dimensions: 1x2\n"
    "Orientation: 6 (90 degrees clockwise)\n"
    "Color space: Grayscale\n"
    "White point: D65\n"
    "Transfer function: sRGB\n"
    "Rendering intent: Relative\n";

// A looping two-frame animation at 100 ticks per second.
const char kAnimationName[] = "andrinbr__xl-view__tests__fixtures__animation.jxl";
const char kAnimationReport[] =
    "JPEG XL animation, 2x2, (possibly) lossless, 8-bit RGB\n"
    "Color space: RGB\n"
    "White point: D65\n"
    "Primaries: sRGB\n"
    "Transfer function: sRGB\n"
    "Rendering intent: Perceptual\n"
    "Layer: Full image size, duration: 0.0 ms\n"
    "Frame: Full image size, duration: 100.0 ms\n"
    "Animation length: 0.100 seconds (looping)\n";

struct CommandLineCase {
  const char* name;
  std::vector<std::string> args;
  std::string out;
  std::string err;
  int exit_code;
};

TEST(CommandLineTest, MessagesAndExitCodes) {
  const std::string orient = TestFile(kOrientName);
  const std::string animation = TestFile(kAnimationName);
  const std::string missing = TestFile("no_such_file.jxl");
  const CommandLineCase cases[] = {
      {"no arguments", {}, "", Usage(), 2},
      {"-v alone reads nothing", {"-v"}, "", "", 0},
      {"--verbose alone", {"--verbose"}, "", "", 0},
      {"-h after a file: the file is not read", {missing, "-h"}, "", Usage(), 0},
      {"--help before a file", {"--help", orient}, "", Usage(), 0},
      {"-? among files", {orient, "-?", animation}, "", Usage(), 0},
      {"-h wins over -v", {"-v", "-h"}, "", Usage(), 0},
      {"one file", {orient}, kOrientReport, "", 0},
      {"-v after the file still applies", {orient, "-v"}, kOrientVerboseReport, "", 0},
      {"--verbose", {"--verbose", orient}, kOrientVerboseReport, "", 0},
      {"several files in order",
       {animation, orient},
       std::string(kAnimationReport) + kOrientReport,
       "",
       0},
      {"a missing file among others",
       {orient, missing, animation},
       std::string(kOrientReport) + kAnimationReport,
       "Failed to read file: " + missing + "\n",
       1},
      {"the same file twice", {orient, orient}, std::string(kOrientReport) + kOrientReport, "", 0},
      {"only a missing file", {missing}, "", "Failed to read file: " + missing + "\n", 1},
  };
  for (const CommandLineCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolResult r = RunTool(c.args);
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(c.exit_code, r.exit_code);
  }
}

// An argument starting with '-' that is no option is a file name.
TEST(CommandLineTest, DashArgumentIsAFileName) {
  TempDir dir;
  {
    const ToolResult r = RunTool({"-x"}, dir.path());
    EXPECT_EQ("", r.out);
    EXPECT_EQ("Failed to read file: -x\n", r.err);
    EXPECT_EQ(1, r.exit_code);
  }
  dir.Write("-x", ReadFileBytes(TestFile(kOrientName)));
  {
    const ToolResult r = RunTool({"-x"}, dir.path());
    EXPECT_EQ(kOrientReport, r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(0, r.exit_code);
  }
}

// Files that open but do not decode: messages only, the exit code stays 0.
// A read error (a folder opens but cannot be read) fails the file instead of
// being retried without end.
TEST(CommandLineTest, UnreadableAndUndecodableFiles) {
  TempDir dir;
  const std::string empty = dir.Write("empty.jxl", {});
  const std::string garbage = dir.Write("garbage.jxl", {'G', 'I', 'F', '8', '9', 'a'});
  const std::string bare_start = dir.Write("cut.jxl", {0xFF});
  const std::string folder = dir.path();
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string err;
    int exit_code;
  } const cases[] = {
      {"empty file", {empty}, "Decoder error\nError reading file: " + empty + "\n", 0},
      {"not a JPEG XL file",
       {garbage},
       "Decoder error\nError reading file: " + garbage + "\n",
       0},
      {"signature cut short",
       {bare_start},
       "Decoder error\nError reading file: " + bare_start + "\n",
       0},
      {"a folder",
       {folder},
       "Failed to read file: " + folder + "\nError reading file: " + folder + "\n",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolResult r = RunTool(c.args);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(c.exit_code, r.exit_code);
  }
}

}  // namespace
}  // namespace qov
