// Test helpers: well-formedness check and tag lookup for ICC profiles, and a
// builder for public colour records.
#ifndef QOV_TESTS_COLOR_ICC_TEST_UTIL_H_
#define QOV_TESTS_COLOR_ICC_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "lib/color/color_encoding.h"
#include "lib/color/md5.h"
#include "qov/qov.h"

namespace qov {
namespace test {

inline uint32_t BigEndian32(const std::vector<uint8_t>& b, size_t pos) {
  return (static_cast<uint32_t>(b[pos]) << 24) |
         (static_cast<uint32_t>(b[pos + 1]) << 16) |
         (static_cast<uint32_t>(b[pos + 2]) << 8) | b[pos + 3];
}

inline std::string Sig(const std::vector<uint8_t>& b, size_t pos) {
  return std::string(reinterpret_cast<const char*>(b.data() + pos), 4);
}

struct IccTag {
  std::string sig;
  uint32_t offset;
  uint32_t size;
};

inline std::vector<IccTag> IccTags(const std::vector<uint8_t>& p) {
  std::vector<IccTag> tags;
  if (p.size() < 132) return tags;
  const uint32_t n = BigEndian32(p, 128);
  for (uint32_t i = 0; i < n && 132 + 12 * (i + 1) <= p.size(); ++i) {
    const size_t e = 132 + 12 * i;
    tags.push_back({Sig(p, e), BigEndian32(p, e + 4), BigEndian32(p, e + 8)});
  }
  return tags;
}

inline std::vector<std::string> TagNames(const std::vector<uint8_t>& p) {
  std::vector<std::string> names;
  for (const IccTag& t : IccTags(p)) names.push_back(t.sig);
  return names;
}

// The body of the first tag with this signature (empty when absent).
inline std::vector<uint8_t> TagBody(const std::vector<uint8_t>& p,
                                    const std::string& sig) {
  for (const IccTag& t : IccTags(p)) {
    if (t.sig == sig) {
      return std::vector<uint8_t>(p.begin() + t.offset,
                                  p.begin() + t.offset + t.size);
    }
  }
  return {};
}

// The ASCII text of an 'mluc' tag.
inline std::string MlucText(const std::vector<uint8_t>& body) {
  if (body.size() < 28) return "<short>";
  const uint32_t length = BigEndian32(body, 20);
  std::string text;
  for (uint32_t i = 0; i + 1 < length && 28 + i + 1 < body.size(); i += 2) {
    text += static_cast<char>(body[28 + i + 1]);
  }
  return text;
}

// Size field, 'acsp', version, a tag table inside the profile with aligned
// tags inside the profile, and the MD5 identifier.
inline ::testing::AssertionResult IsWellFormedIcc(
    const std::vector<uint8_t>& p) {
  if (p.size() < 132) return ::testing::AssertionFailure() << "too short";
  if (BigEndian32(p, 0) != p.size()) {
    return ::testing::AssertionFailure()
           << "size field " << BigEndian32(p, 0) << " vs " << p.size();
  }
  if (Sig(p, 36) != "acsp") return ::testing::AssertionFailure() << "no acsp";
  if (BigEndian32(p, 8) != 0x04400000u) {
    return ::testing::AssertionFailure() << "version not 4.4";
  }
  const uint32_t n = BigEndian32(p, 128);
  const uint64_t table_end = 132 + 12ull * n;
  if (table_end > p.size()) {
    return ::testing::AssertionFailure() << "tag table past the end";
  }
  for (const IccTag& t : IccTags(p)) {
    if (t.offset < table_end || uint64_t{t.offset} + t.size > p.size()) {
      return ::testing::AssertionFailure() << "tag " << t.sig << " outside";
    }
    if (t.offset % 4 != 0 || t.size % 4 != 0) {
      return ::testing::AssertionFailure() << "tag " << t.sig << " unaligned";
    }
  }
  std::vector<uint8_t> copy = p;
  for (size_t i : {44, 45, 46, 47, 64, 65, 66, 67}) copy[i] = 0;
  for (size_t i = 84; i < 100; ++i) copy[i] = 0;
  const std::array<uint8_t, 16> id = Md5Digest(copy.data(), copy.size());
  if (std::memcmp(id.data(), p.data() + 84, 16) != 0) {
    return ::testing::AssertionFailure() << "wrong MD5 identifier";
  }
  return ::testing::AssertionSuccess();
}

// A public record built from enumerated values (custom values in millionths).
struct Description {
  uint32_t color_space = QOV_COLOR_SPACE_RGB;
  uint32_t white_point = QOV_WHITE_POINT_D65;
  uint32_t primaries = QOV_PRIMARIES_SRGB;
  uint32_t transfer_function = QOV_TRANSFER_FUNCTION_SRGB;
  uint32_t rendering_intent = QOV_RENDERING_INTENT_RELATIVE;
  uint32_t gamma = 0;  // 1e-7 units; non-zero means an explicit gamma
  int32_t white[2] = {0, 0};
  int32_t prim[6] = {0, 0, 0, 0, 0, 0};

  ColorDescription ToDescription() const {
    ColorDescription d;
    d.color_space = color_space;
    d.white_point = white_point;
    d.primaries = primaries;
    d.transfer_function = transfer_function;
    d.rendering_intent = rendering_intent;
    d.have_gamma = gamma != 0;
    d.gamma = gamma;
    d.white_x = white[0];
    d.white_y = white[1];
    d.red_x = prim[0];
    d.red_y = prim[1];
    d.green_x = prim[2];
    d.green_y = prim[3];
    d.blue_x = prim[4];
    d.blue_y = prim[5];
    return d;
  }
  QovColorEncoding ToPublic() const { return ToDescription().ToPublic(); }
};

}  // namespace test
}  // namespace qov

#endif  // QOV_TESTS_COLOR_ICC_TEST_UTIL_H_
