// MD5 against the RFC 1321 test suite and the padding boundaries.
#include "lib/color/md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace qov {
namespace {

std::string Hex(const std::array<uint8_t, 16>& d) {
  std::string s;
  char buf[3];
  for (uint8_t b : d) {
    std::snprintf(buf, sizeof(buf), "%02x", b);
    s += buf;
  }
  return s;
}

std::string DigestOf(const std::string& text) {
  return Hex(Md5Digest(reinterpret_cast<const uint8_t*>(text.data()),
                       text.size()));
}

TEST(Md5Test, Rfc1321Suite) {
  struct Case {
    const char* input;
    const char* digest;
  };
  const Case kCases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890"
       "1234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(DigestOf(c.input), c.digest) << '"' << c.input << '"';
  }
}

// Lengths around the 56-byte padding limit and the 64-byte block size, where
// the length field spills into an extra block.
TEST(Md5Test, PaddingBoundaries) {
  struct Case {
    size_t length;
    const char* digest;
  };
  const Case kCases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65"},
      {56, "3b0c8ac703f828b04c6c197006d17218"},
      {63, "b06521f39153d618550606be297466d5"},
      {64, "014842d480b571495a4a0363793f7367"},
      {65, "c743a45e0d2e6a95cb859adae0248435"},
      {119, "8a7bd0732ed6a28ce75f6dabc90e1613"},
      {120, "5f61c0ccad4cac44c75ff505e1f1e537"},
      {1000, "cabe45dcc9ae5b66ba86600cca6b8ba8"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(DigestOf(std::string(c.length, 'a')), c.digest)
        << c.length << " bytes";
  }
}

}  // namespace
}  // namespace qov
