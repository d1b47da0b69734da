#include <cstdio>
#include <cstdlib>
#include "gtest/gtest.h"
#include "tests/api/decoder_test_helpers.h"
namespace qov {
TEST(DebugTest, Dump) {
  const char* f = std::getenv("QOV_DEBUG_FILE");
  if (!f) GTEST_SKIP();
  DriveOptions o; o.keep_orientation = true; o.coalescing = false;
  o.chunk = std::atoi(std::getenv("QOV_DEBUG_CHUNK"));
  o.box_buffers = std::getenv("QOV_DEBUG_BOX") != nullptr;
  DriveResult r = Drive(ReadFileBytes(f), o);
  for (auto& l : r.log) std::printf("%s\n", l.c_str());
}
}
