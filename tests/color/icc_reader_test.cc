// Compressed ICC stream: inner-layer reconstruction, the entropy-coded outer
// layer, and resuming after short input.
#include "lib/color/icc_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/bitstream/entropy_test_streams.h"

namespace qov {
namespace {

using entropy_test::Bits;
using entropy_test::Heap;
using Bytes = std::vector<uint8_t>;

void PutVarint(Bytes& out, uint64_t v) {
  do {
    uint8_t b = v & 0x7F;
    v >>= 7;
    if (v != 0) b |= 0x80;
    out.push_back(b);
  } while (v != 0);
}

Bytes Str(const char* s) { return Bytes(s, s + std::strlen(s)); }

void Append(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}

void PutBe32(Bytes& out, uint32_t v) {
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Data bytes that make the header rebuild as `header` (its first
// min(128, output size) bytes).
Bytes HeaderData(const Bytes& header, uint64_t output_size) {
  uint8_t predicted[kIccHeaderSize];
  InitIccHeaderPrediction(output_size, predicted);
  Bytes data;
  for (size_t i = 0; i < header.size() && i < kIccHeaderSize; ++i) {
    AdjustIccHeaderPrediction(predicted, header.data(), i);
    data.push_back(static_cast<uint8_t>(header[i] - predicted[i]));
  }
  return data;
}

// A plausible 128-byte header for a profile of `size` bytes.
Bytes SampleHeader(uint32_t size) {
  Bytes h(128, 0);
  for (int i = 0; i < 4; ++i) h[i] = static_cast<uint8_t>(size >> (24 - 8 * i));
  std::memcpy(h.data() + 4, "lcms", 4);
  h[8] = 2;
  h[9] = 0x10;
  std::memcpy(h.data() + 12, "mntr", 4);
  std::memcpy(h.data() + 16, "RGB XYZ ", 8);
  std::memcpy(h.data() + 36, "acspAPPL", 8);
  for (int i = 100; i < 128; ++i) h[i] = static_cast<uint8_t>(i * 7);
  return h;
}

// The inner layer: sizes, commands, data.
Bytes Inner(uint64_t output_size, const Bytes& commands, const Bytes& data) {
  Bytes out;
  PutVarint(out, output_size);
  PutVarint(out, commands.size());
  Append(out, commands);
  Append(out, data);
  return out;
}

Status Reconstruct(const Bytes& inner, Bytes* profile) {
  ByteBuffer out(Heap());
  const Status status = ReconstructIcc(inner.data(), inner.size(), out);
  profile->assign(out.data(), out.data() + out.size());
  return status;
}

TEST(IccReaderTest, ByteContexts) {
  struct Case {
    uint64_t i;
    uint8_t p1, p2;
    uint32_t context;
  };
  const std::vector<Case> cases = {
      {0, 'a', 'a', 0},     {128, 200, 200, 0},   {129, 'a', 'a', 1},
      {200, '5', 'Z', 2},   {200, 0, '.', 11},    {200, 1, 0, 20},
      {200, 15, 1, 21},     {200, 241, 254, 30},  {200, 255, 255, 31},
      {200, 16, 240, 40},   {200, 'z', 16, 33},   {200, ',', 'q', 2},
      {200, 254, 241, 30},  {200, 240, '9', 16},
      // Edges of the letter and number ranges on either neighbour.
      {200, '@', '[', 40},  {200, '`', '{', 40},  {200, 'A', 'Z', 1},
      {200, '/', ':', 40},  {200, '0', '9', 10},  {200, '-', ',', 16},
      {200, 2, 15, 21},     {200, 16, 241, 32},   {200, 240, 255, 32},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IccByteContext(c.i, c.p1, c.p2), c.context)
        << c.i << " " << int(c.p1) << " " << int(c.p2);
  }
}

TEST(IccReaderTest, Varints) {
  struct Case {
    Bytes bytes;
    bool ok;
    uint64_t value;
    uint64_t end;
  };
  Bytes max(9, 0xFF);
  max.push_back(0x01);
  Bytes too_big(9, 0xFF);
  too_big.push_back(0x02);
  Bytes continued(9, 0xFF);
  continued.push_back(0x81);
  const std::vector<Case> cases = {
      {{0x05}, true, 5, 1},
      {{0x80, 0x01}, true, 128, 2},
      {{0xE5, 0x8E, 0x26, 0x77}, true, 624485, 3},
      {max, true, ~uint64_t{0}, 10},
      {too_big, false, 0, 0},
      {continued, false, 0, 0},
      {{0x80}, false, 0, 0},
      {{}, false, 0, 0},
  };
  for (const Case& c : cases) {
    uint64_t pos = 0, value = 0;
    const Status status = ReadIccVarint(c.bytes.data(), c.bytes.size(), &pos, &value);
    EXPECT_EQ(status.ok(), c.ok);
    if (c.ok) {
      EXPECT_EQ(value, c.value);
      EXPECT_EQ(pos, c.end);
    }
  }
}

TEST(IccReaderTest, TransposeBytes) {
  struct Case {
    Bytes in;
    uint32_t width;
    Bytes out;
  };
  const std::vector<Case> cases = {
      {{'0', '1', '2', '3', '4'}, 4, {'0', '2', '4', '1', '3'}},
      {{'a', 'b', 'c', 'x', 'y', 'z'}, 2, {'a', 'x', 'b', 'y', 'c', 'z'}},
      {{1, 2, 3, 4, 5, 6, 7, 8}, 4, {1, 3, 5, 7, 2, 4, 6, 8}},
      {{9}, 2, {9}},
  };
  for (Case c : cases) {
    ASSERT_TRUE(TransposeBytes(Heap(), c.in.data(), c.in.size(), c.width).ok());
    EXPECT_EQ(c.in, c.out);
  }
}

TEST(IccReaderTest, Predictions) {
  // Width 1: bytes 10, 20, 35 one, two and three strides back.
  const Bytes w1 = {10, 0, 20, 0, 35, 0};
  EXPECT_EQ(PredictIccValue(w1.data(), 6, 0, 2, 1, 0), 35);
  EXPECT_EQ(PredictIccValue(w1.data(), 6, 0, 2, 1, 1), 50);
  EXPECT_EQ(PredictIccValue(w1.data(), 6, 0, 2, 1, 2), 3 * 35 - 3 * 20 + 10);
  // Width 2, stride 2: 16-bit values 0x0102, 0x0304, 0x05FF back; order 1
  // gives 2 x 0x05FF - 0x0304 = 0x08FA.
  const Bytes w2 = {0x01, 0x02, 0x03, 0x04, 0x05, 0xFF};
  EXPECT_EQ(PredictIccValue(w2.data(), 6, 0, 2, 2, 1), 0x08);
  EXPECT_EQ(PredictIccValue(w2.data(), 6, 1, 2, 2, 1), 0xFA);
  // Order 2 modulo 2^16: 3 x 0x05FF - 3 x 0x0304 + 0x0102 = 0x09F3.
  EXPECT_EQ(PredictIccValue(w2.data(), 6, 0, 2, 2, 2), 0x09);
  EXPECT_EQ(PredictIccValue(w2.data(), 6, 1, 2, 2, 2), 0xF3);
  // Width 4: the byte (k mod 4) of the big-endian prediction.
  const Bytes w4 = {0x11, 0x22, 0x33, 0x44};
  for (uint32_t k = 0; k < 4; ++k) {
    EXPECT_EQ(PredictIccValue(w4.data(), 4, k, 4, 4, 0), w4[k]);
  }
}

TEST(IccReaderTest, PredictedHeader) {
  uint8_t h[kIccHeaderSize];
  InitIccHeaderPrediction(0x01020304, h);
  Bytes expected(128, 0);
  expected[0] = 1, expected[1] = 2, expected[2] = 3, expected[3] = 4;
  expected[8] = 4;
  std::memcpy(expected.data() + 12, "mntrRGB XYZ ", 12);
  std::memcpy(expected.data() + 36, "acsp", 4);
  const uint8_t illuminant[12] = {0, 0, 0xF6, 0xD6, 0, 1, 0, 0, 0, 0, 0xD3, 0x2D};
  std::memcpy(expected.data() + 68, illuminant, 12);
  EXPECT_EQ(Bytes(h, h + 128), expected);

  // Profile creator from the preferred CMM; platform signatures.
  Bytes out(128, 0);
  std::memcpy(out.data() + 4, "abcd", 4);
  AdjustIccHeaderPrediction(h, out.data(), 8);
  EXPECT_EQ(Bytes(h + 80, h + 84), Str("abcd"));
  const std::vector<std::pair<std::string, std::string>> platforms = {
      {"A", "APPL"}, {"M", "MSFT"}, {"SG", "SGI "}, {"SU", "SUNW"}};
  for (const auto& [given, full] : platforms) {
    InitIccHeaderPrediction(300, h);
    std::memcpy(out.data() + 40, given.data(), given.size());
    for (uint64_t i = 41; i < 44; ++i) {
      AdjustIccHeaderPrediction(h, out.data(), i);
      if (i < 40 + given.size()) continue;
      EXPECT_EQ(h[i], static_cast<uint8_t>(full[i - 40])) << full << " " << i;
    }
    for (uint64_t i = 40 + given.size(); i < 44; ++i) out[i] = h[i];
  }
}

struct ReconstructCase {
  const char* name;
  Bytes inner;
  Bytes expected;  // empty: Failed
};

std::vector<ReconstructCase> ReconstructCases() {
  std::vector<ReconstructCase> cases;
  // Output size 100: 100 header bytes, no commands, no data left.
  {
    Bytes header = SampleHeader(100);
    header.resize(100);
    const Bytes data = HeaderData(header, 100);
    cases.push_back({"header only", Inner(100, {}, data), header});
    Bytes extra = data;
    extra.push_back(0);
    cases.push_back({"header only, data left over", Inner(100, {}, extra), {}});
    cases.push_back({"header only, commands left over", Inner(100, {0}, data), {}});
  }
  const Bytes header = SampleHeader(0);
  auto with_size = [](Bytes h, uint32_t size) {
    for (int i = 0; i < 4; ++i) h[i] = static_cast<uint8_t>(size >> (24 - 8 * i));
    return h;
  };
  // Tag count varint 0: data commands at once.
  {
    const Bytes h = with_size(header, 133);
    Bytes data = HeaderData(h, 133);
    Append(data, {1, 2, 3, 4, 5});
    Bytes expected = h;
    Append(expected, {1, 2, 3, 4, 5});
    cases.push_back({"no tag table, one copy", Inner(133, {0, 1, 5}, data), expected});
    cases.push_back({"copy past the data", Inner(133, {0, 1, 6}, data), {}});
    cases.push_back({"size mismatch at the end", Inner(134, {0, 1, 5}, HeaderData(with_size(header, 134), 134)), {}});
    cases.push_back({"command varint past the commands", Inner(133, {0, 1, 0x85}, data), {}});
    cases.push_back({"unknown data command", Inner(133, {0, 5}, data), {}});
  }
  // Tag count varint 1: count 0 is written, tag commands still follow.
  {
    const Bytes h = with_size(header, 144);
    Bytes expected = h;
    PutBe32(expected, 0);
    Append(expected, Str("wtpt"));
    PutBe32(expected, 128);
    PutBe32(expected, 20);
    cases.push_back({"tag count 0, wtpt of default size 20",
                     Inner(144, {1, 5, 0}, HeaderData(h, 144)), expected});
  }
  // Code 3 with start 1000 and size 20, then cprt without bit 6 or 7.
  {
    const uint32_t size = 128 + 4 + 4 * 12;
    const Bytes h = with_size(header, size);
    Bytes commands = {3, 0xC3};
    PutVarint(commands, 1000);
    PutVarint(commands, 20);
    commands.push_back(4);
    commands.push_back(0);
    Bytes expected = h;
    PutBe32(expected, 2);
    for (const auto& [tag, start] :
         std::vector<std::pair<const char*, uint32_t>>{
             {"rXYZ", 1000}, {"gXYZ", 1020}, {"bXYZ", 1040}, {"cprt", 1020}}) {
      Append(expected, Str(tag));
      PutBe32(expected, start);
      PutBe32(expected, 20);
    }
    cases.push_back({"rXYZ/gXYZ/bXYZ and the start after it",
                     Inner(size, commands, HeaderData(h, size)), expected});
  }
  // desc with explicit start and size, wtpt (20), desc inheriting 20; a tag
  // from the data; rTRC with gTRC and bTRC sharing its block.
  {
    const uint32_t size = 128 + 4 + 6 * 12;
    const Bytes h = with_size(header, size);
    Bytes commands = {5, 16 | 0xC0};
    PutVarint(commands, 300);
    PutVarint(commands, 77);
    commands.push_back(5);
    commands.push_back(16);
    commands.push_back(1 | 0x80);
    PutVarint(commands, 9);
    commands.push_back(2);
    Bytes data = HeaderData(h, size);
    Append(data, Str("abcd"));
    Bytes expected = h;
    PutBe32(expected, 4);
    const std::vector<std::tuple<const char*, uint32_t, uint32_t>> tags = {
        {"desc", 300, 77}, {"wtpt", 377, 20}, {"desc", 397, 20},
        {"abcd", 417, 9}, {"rTRC", 426, 9}, {"gTRC", 426, 9},
        {"bTRC", 426, 9}};
    for (const auto& [tag, start, tag_size] : tags) {
      Append(expected, Str(tag));
      PutBe32(expected, start);
      PutBe32(expected, tag_size);
    }
    // The seven entries are 84 bytes, 12 more than the declared size.
    cases.push_back({"profile passes its output size",
                     Inner(size, commands, data), {}});
    const uint32_t right = size + 12;
    Bytes fixed = expected;
    for (int i = 0; i < 4; ++i) fixed[i] = static_cast<uint8_t>(right >> (24 - 8 * i));
    Bytes data2 = HeaderData(with_size(header, right), right);
    Append(data2, Str("abcd"));
    cases.push_back({"inherited sizes, tag from data, shared TRC",
                     Inner(right, commands, data2), fixed});
  }
  {
    const Bytes h = with_size(header, 200);
    cases.push_back({"invalid tag code 21", Inner(200, {2, 21}, HeaderData(h, 200)), {}});
  }
  // XYZ and type commands.
  {
    const uint32_t size = 128 + 20 + 8 * 8;
    const Bytes h = with_size(header, size);
    Bytes commands = {0, 10, 16, 17, 18, 19, 20, 21, 22, 23};
    Bytes data = HeaderData(h, size);
    const Bytes xyz = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    Append(data, xyz);
    Bytes expected = h;
    Append(expected, Str("XYZ "));
    PutBe32(expected, 0);
    Append(expected, xyz);
    for (const char* t : {"XYZ ", "desc", "text", "mluc", "para", "curv", "sf32", "gbd "}) {
      Append(expected, Str(t));
      PutBe32(expected, 0);
    }
    cases.push_back({"XYZ and type commands", Inner(size, commands, data), expected});
  }
  // Transposed copies.
  {
    const Bytes h = with_size(header, 128 + 10);
    Bytes data = HeaderData(h, 138);
    Append(data, {'a', 'b', 'c', 'x', 'y', 'z', '0', '1', '2', '3'});
    Bytes expected = h;
    Append(expected, {'a', 'x', 'b', 'y', 'c', 'z'});
    Append(expected, {'0', '1', '2', '3'});  // one 4-byte word: unchanged
    cases.push_back({"transposed 16 and 32 bit",
                     Inner(138, {0, 2, 6, 3, 4}, data), expected});
  }
  // Predict, width 1, order 1, stride 1 over header bytes 126 and 127.
  {
    const uint32_t size = 132;
    const Bytes h = with_size(header, size);
    Bytes data = HeaderData(h, size);
    Append(data, {1, 0, 0xFF, 7});
    Bytes expected = h;
    for (uint8_t d : {1, 0, 0xFF, 7}) {
      const size_t n = expected.size();
      expected.push_back(static_cast<uint8_t>(
          d + 2 * expected[n - 1] - expected[n - 2]));
    }
    cases.push_back({"predict width 1 order 1",
                     Inner(size, {0, 4, 0x04, 4}, data), expected});
    // Width 2, order 0, stride 4 (given), transposed data.
    Bytes data2 = HeaderData(h, size);
    Append(data2, {1, 2, 3, 4});  // transposed: 1 3 2 4
    Bytes expected2 = h;
    const uint8_t d2[4] = {1, 3, 2, 4};
    for (int k = 0; k < 4; ++k) {
      // Order 0 repeats the 16-bit value four bytes back, bytewise here.
      const size_t n = expected2.size();
      const uint32_t prev =
          (expected2[128 + (k & ~1) - 4] << 8) | expected2[128 + (k & ~1) - 3];
      const uint8_t pb = (k & 1) ? (prev & 0xFF) : (prev >> 8);
      (void)n;
      expected2.push_back(static_cast<uint8_t>(d2[k] + pb));
    }
    cases.push_back({"predict width 2 order 0 stride 4",
                     Inner(size, {0, 4, 0x11, 4, 4}, data2), expected2});
    const Bytes base = HeaderData(h, size);
    Bytes with4 = base;
    Append(with4, {0, 0, 0, 0});
    cases.push_back({"predict width 3", Inner(size, {0, 4, 0x02, 4}, with4), {}});
    cases.push_back({"predict order 3", Inner(size, {0, 4, 0x0C, 4}, with4), {}});
    cases.push_back({"predict stride below width", Inner(size, {0, 4, 0x11, 1, 4}, with4), {}});
    cases.push_back({"predict 4 x stride = size", Inner(size, {0, 4, 0x10, 32, 4}, with4), {}});
    cases.push_back({"predict flags without n", Inner(size, {0, 4, 0x00}, with4), {}});
    Bytes ok31 = {0, 4, 0x10, 31, 4};
    Bytes expected31 = h;
    for (int k = 0; k < 4; ++k) expected31.push_back(expected31[expected31.size() - 31]);
    cases.push_back({"predict stride 31 over 128 bytes", Inner(size, ok31, with4), expected31});
    // 4 x stride wraps to 0 (2^62) or to 4 (2^62 + 1): still refused.
    for (uint64_t stride : {uint64_t{1} << 62, (uint64_t{1} << 62) + 1,
                            ~uint64_t{0}}) {
      Bytes commands = {0, 4, 0x10};
      PutVarint(commands, stride);
      commands.push_back(4);
      cases.push_back({"predict stride wrapping 4 x stride",
                       Inner(size, commands, with4), {}});
    }
  }
  return cases;
}

TEST(IccReaderTest, Reconstruction) {
  for (const ReconstructCase& c : ReconstructCases()) {
    Bytes profile;
    const Status status = Reconstruct(c.inner, &profile);
    if (c.expected.empty()) {
      EXPECT_EQ(status, StatusValue::Failed) << c.name;
      continue;
    }
    ASSERT_TRUE(status.ok()) << c.name;
    EXPECT_EQ(profile, c.expected) << c.name;
  }
  // The target must be empty.
  ByteBuffer busy(Heap());
  ASSERT_TRUE(busy.PushBack(1).ok());
  const Bytes inner = ReconstructCases()[0].inner;
  EXPECT_EQ(ReconstructIcc(inner.data(), inner.size(), busy), StatusValue::Failed);
}

TEST(IccReaderTest, PreambleLimits) {
  struct Case {
    const char* name;
    uint64_t output_size, command_size, encoded_size;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"plain", 3000, 100, 3100, true},
      {"output 2^28", uint64_t{1} << 28, 10, 5000, true},
      {"output above 2^28", (uint64_t{1} << 28) + 1, 10, 5000, false},
      {"inner layer 64 KiB larger than the output", 1000, 10, 1000 + 65536, true},
      {"inner layer more than 64 KiB larger", 1000, 10, 1000 + 65537, false},
      // Commands beyond the first 1024 inner bytes are valid.
      {"commands reaching past 1024 bytes", 5000, 3000, 4000, true},
      {"commands past the inner layer", 5000, 3997, 4000, false},
      {"output size above 32 bits", uint64_t{1} << 32, 1, 100, false},
  };
  for (const Case& c : cases) {
    Bytes bytes;
    PutVarint(bytes, c.output_size);
    PutVarint(bytes, c.command_size);
    bytes.resize(20, 0);
    EXPECT_EQ(CheckIccPreamble(bytes.data(), 20, c.encoded_size).ok(), c.ok)
        << c.name;
  }
}

// --- outer layer --------------------------------------------------------------

enum class Outer { kPrefix, kAns, kPrefixLz77 };

// The compressed stream of `inner`, after `lead_bits` bits of other data.
Bytes EncodeIcc(const Bytes& inner, Outer outer, uint32_t lead_bits = 0,
                uint64_t* start_bit = nullptr,
                uint32_t end_state = kAnsSignature, bool coded_map = false) {
  const bool lz77 = outer == Outer::kPrefixLz77;
  entropy_test::StreamPlan plan =
      entropy_test::ByteStreamPlan(41, outer != Outer::kAns, lz77);
  plan.coded_map = coded_map;
  Bits bits;
  bits.Put(lead_bits, 0x5A5A5A5A);
  if (start_bit != nullptr) *start_bit = lead_bits;
  bits.U64(inner.size());
  entropy_test::PutDescription(bits, plan);
  entropy_test::TokenWriter t(plan);
  t.end_state = end_state;
  for (size_t i = 0; i < inner.size();) {
    // Greedy LZ77 with distances 1..64.
    size_t best_len = 0, best_dist = 0;
    if (lz77) {
      for (size_t d = 1; d <= 64 && d <= i; ++d) {
        size_t len = 0;
        while (i + len < inner.size() && len < 258 &&
               inner[i + len] == inner[i + len - d]) {
          ++len;
        }
        if (len > best_len) best_len = len, best_dist = d;
      }
    }
    if (best_len >= 3) {
      t.Copy(0, static_cast<uint32_t>(best_len),
             static_cast<uint32_t>(best_dist - 1));
      i += best_len;
    } else {
      t.Value(0, inner[i]);
      ++i;
    }
  }
  t.Finish(bits);
  return bits.Bytes();
}

// Decodes with input arriving `chunk` bytes at a time (0: all at once).
Status DecodeChunked(const Bytes& stream, size_t chunk, Bytes* profile,
                     uint64_t lead_bits = 0, int* attempts = nullptr) {
  CompressedIccReader icc(Heap());
  size_t avail = chunk == 0 ? stream.size() : std::min(chunk, stream.size());
  for (int attempt = 1;; ++attempt) {
    BitReader reader(Span(stream.data(), avail));
    reader.SkipLong(lead_bits);
    ByteBuffer out(Heap());
    Status status = icc.Begin(reader);
    if (status.ok()) status = icc.Continue(reader, out);
    if (attempts != nullptr) *attempts = attempt;
    if (!status.need_more_bytes() || avail == stream.size()) {
      profile->assign(out.data(), out.data() + out.size());
      return status;
    }
    avail = std::min(avail + chunk, stream.size());
  }
}

// A profile of `n` tag-data bytes after the header (no tag table), with
// runs that LZ77 can copy, and its inner layer.
Bytes SampleProfile(uint32_t n, uint32_t seed, Bytes* inner) {
  std::mt19937 rng(seed);
  const uint32_t size = 128 + n;
  Bytes profile = SampleHeader(size);
  Bytes tail;
  while (tail.size() < n) {
    if (rng() % 3 == 0 && tail.size() > 8) {
      const size_t d = 1 + rng() % std::min<size_t>(tail.size(), 40);
      const size_t len = 3 + rng() % 30;
      for (size_t k = 0; k < len && tail.size() < n; ++k) {
        tail.push_back(tail[tail.size() - d]);
      }
    } else {
      tail.push_back(static_cast<uint8_t>(rng()));
    }
  }
  Append(profile, tail);
  Bytes commands = {0, 1};
  PutVarint(commands, n);
  Bytes data = HeaderData(profile, size);
  Append(data, tail);
  *inner = Inner(size, commands, data);
  return profile;
}

TEST(IccReaderTest, OuterLayerRoundTrips) {
  for (Outer outer : {Outer::kPrefix, Outer::kAns, Outer::kPrefixLz77}) {
    for (uint32_t n : {5u, 400u, 900u, 3000u}) {
      Bytes inner;
      const Bytes profile = SampleProfile(n, n, &inner);
      const Bytes stream = EncodeIcc(inner, outer, 3);
      Bytes got;
      ASSERT_TRUE(DecodeChunked(stream, 0, &got, 3).ok())
          << int(outer) << " " << n;
      EXPECT_EQ(got, profile) << int(outer) << " " << n;
    }
  }
}

TEST(IccReaderTest, ChunkedInputGivesTheSameProfile) {
  for (Outer outer : {Outer::kPrefix, Outer::kAns, Outer::kPrefixLz77}) {
    Bytes inner;
    const Bytes profile = SampleProfile(2600, 17, &inner);
    const Bytes stream = EncodeIcc(inner, outer, 5);
    for (size_t chunk : {1, 7, 64, 2048}) {
      Bytes got;
      int attempts = 0;
      ASSERT_TRUE(DecodeChunked(stream, chunk, &got, 5, &attempts).ok())
          << int(outer) << " chunk " << chunk;
      EXPECT_EQ(got, profile) << int(outer) << " chunk " << chunk;
      if (chunk < stream.size()) {
        EXPECT_GT(attempts, 1);
      }
    }
  }
}

// A short stream with LZ77 copies must not pay for a window of 2^20 values
// (4 MiB, cleared page by page as it is touched): every block it allocates,
// window included, stays near the size of the profile, in one piece or fed
// in chunks.
TEST(IccReaderTest, ShortLz77StreamAllocatesNoLargeWindow) {
  struct LargestAllocation {
    static void* Alloc(void* opaque, uint64_t size) {
      uint64_t* largest = static_cast<uint64_t*>(opaque);
      if (size > *largest) *largest = size;
      return std::malloc(size);
    }
    static void Free(void*, void* address) { std::free(address); }
  };
  Bytes inner;
  const Bytes profile = SampleProfile(3000, 41, &inner);
  const Bytes stream = EncodeIcc(inner, Outer::kPrefixLz77, 0);
  for (size_t chunk : {size_t{0}, size_t{100}}) {
    uint64_t largest = 0;
    const QovMemoryManagerStruct manager = {&largest, &LargestAllocation::Alloc,
                                            &LargestAllocation::Free};
    CompressedIccReader icc(&manager);
    size_t avail = chunk == 0 ? stream.size() : chunk;
    Status status = FailedStatus();
    ByteBuffer out(&manager);
    for (;;) {
      BitReader reader(Span(stream.data(), avail));
      status = icc.Begin(reader);
      if (status.ok()) status = icc.Continue(reader, out);
      if (!status.need_more_bytes() || avail == stream.size()) break;
      avail = std::min(avail + chunk, stream.size());
    }
    ASSERT_TRUE(status.ok()) << chunk;
    EXPECT_EQ(Bytes(out.data(), out.data() + out.size()), profile) << chunk;
    EXPECT_LE(largest, uint64_t{64} << 10) << chunk;
  }
}

TEST(IccReaderTest, InputCutAnywhereResumesExactly) {
  for (Outer outer : {Outer::kPrefix, Outer::kAns, Outer::kPrefixLz77}) {
    Bytes inner;
    const Bytes profile = SampleProfile(1300, 3, &inner);
    const Bytes stream = EncodeIcc(inner, outer, 0);
    const size_t step = outer == Outer::kPrefixLz77 ? 5 : 1;
    for (size_t cut = 0; cut < stream.size(); cut += step) {
      CompressedIccReader icc(Heap());
      {
        BitReader reader(Span(stream.data(), cut));
        ByteBuffer out(Heap());
        Status status = icc.Begin(reader);
        if (status.ok()) status = icc.Continue(reader, out);
        ASSERT_EQ(status, StatusValue::NeedMoreBytes)
            << int(outer) << " cut " << cut;
      }
      BitReader reader(Span(stream.data(), stream.size()));
      ByteBuffer out(Heap());
      ASSERT_TRUE(icc.Begin(reader).ok()) << int(outer) << " cut " << cut;
      ASSERT_TRUE(icc.Continue(reader, out).ok()) << int(outer) << " cut " << cut;
      ASSERT_EQ(Bytes(out.data(), out.data() + out.size()), profile)
          << int(outer) << " cut " << cut;
    }
  }
}

// An inner layer longer than the LZ77 window, whose last part copies from
// almost a whole window back, fed in pieces that end inside that part: every
// resume must give back the window entries that the cut-short attempt
// overwrote (before the window wraps there are none to give back).
TEST(IccReaderTest, ResumesAfterTheWindowWrapsExactly) {
  constexpr uint32_t kWindow = 1u << 20;
  constexpr uint32_t kDistance = kWindow - 7;
  constexpr uint32_t n = kWindow + 6000;
  const uint32_t size = 128 + n;
  std::mt19937 rng(29);
  Bytes tail(n);
  for (uint32_t j = 0; j < n; ++j) {
    const bool copied = j >= kWindow && (j - kWindow) % 64 >= 16;
    tail[j] = copied ? tail[j - kDistance] : static_cast<uint8_t>(rng());
  }
  Bytes profile = SampleHeader(size);
  Append(profile, tail);
  Bytes commands = {0, 1};
  PutVarint(commands, n);
  Bytes data = HeaderData(profile, size);
  Append(data, tail);
  const Bytes inner = Inner(size, commands, data);
  const size_t tail_start = inner.size() - n;

  // Literals in cluster 0, distances (up to 2^20) in cluster 1.
  entropy_test::StreamPlan plan = entropy_test::ByteStreamPlan(41, true, true);
  plan.context_map.back() = 1;
  plan.configs.push_back(UintSplitConfig(4, 0, 0));
  plan.code_bits.push_back(6);
  Bits bits;
  bits.U64(inner.size());
  entropy_test::PutDescription(bits, plan);
  entropy_test::TokenWriter t(plan);
  for (size_t i = 0; i < inner.size();) {
    if (i >= tail_start + kWindow && (i - tail_start - kWindow) % 64 == 16) {
      t.Copy(0, 48, kDistance - 1);
      i += 48;
    } else {
      t.Value(0, inner[i]);
      ++i;
    }
  }
  t.Finish(bits);
  const Bytes stream = bits.Bytes();

  // Whole, then in pieces ending every few hundred bytes past the wrap.
  CompressedIccReader icc(Heap());
  size_t avail = stream.size() - 5000;
  int attempts = 0;
  for (;; avail = std::min(avail + 331, stream.size())) {
    ++attempts;
    BitReader reader(Span(stream.data(), avail));
    ByteBuffer out(Heap());
    Status status = icc.Begin(reader);
    if (status.ok()) status = icc.Continue(reader, out);
    if (avail < stream.size()) {
      ASSERT_EQ(status, StatusValue::NeedMoreBytes) << avail;
      continue;
    }
    ASSERT_TRUE(status.ok());
    ASSERT_EQ(Bytes(out.data(), out.data() + out.size()), profile);
    break;
  }
  EXPECT_GT(attempts, 10);
}

TEST(IccReaderTest, CodeDescriptionCutAnywhereAsksForMore) {
  // The context map is coded with its own ANS stream: cut inside it, zero
  // bits past the end leave a wrong end state, which is short input here,
  // not a bad stream.
  Bytes inner;
  const Bytes profile = SampleProfile(300, 8, &inner);
  for (Outer outer : {Outer::kPrefix, Outer::kAns}) {
    const Bytes stream = EncodeIcc(inner, outer, 0, nullptr, kAnsSignature, true);
    Bytes got;
    ASSERT_TRUE(DecodeChunked(stream, 0, &got).ok());
    ASSERT_EQ(got, profile);
    uint64_t begin_bits = 0;
    {
      CompressedIccReader icc(Heap());
      BitReader reader(Span(stream.data(), stream.size()));
      ASSERT_TRUE(icc.Begin(reader).ok());
      begin_bits = reader.Position();
    }
    for (size_t cut = 0; cut * 8 < begin_bits; ++cut) {
      CompressedIccReader icc(Heap());
      BitReader reader(Span(stream.data(), cut));
      EXPECT_EQ(icc.Begin(reader), StatusValue::NeedMoreBytes) << "cut " << cut;
    }
    for (size_t chunk : {1, 3}) {
      ASSERT_TRUE(DecodeChunked(stream, chunk, &got).ok()) << chunk;
      EXPECT_EQ(got, profile);
    }
  }
}

TEST(IccReaderTest, ShorterInputAfterAResumePointAsksForMore) {
  Bytes inner;
  const Bytes profile = SampleProfile(2000, 4, &inner);
  const Bytes stream = EncodeIcc(inner, Outer::kPrefix);
  CompressedIccReader icc(Heap());
  const size_t half = stream.size() / 2;
  for (size_t avail : {half, size_t{40}, half, stream.size()}) {
    BitReader reader(Span(stream.data(), avail));
    ByteBuffer out(Heap());
    Status status = icc.Begin(reader);
    if (status.ok()) status = icc.Continue(reader, out);
    if (avail < stream.size()) {
      ASSERT_EQ(status, StatusValue::NeedMoreBytes) << avail;
    } else {
      ASSERT_TRUE(status.ok());
      EXPECT_EQ(Bytes(out.data(), out.data() + out.size()), profile);
    }
  }
}

TEST(IccReaderTest, ShortInnerLayerResumesExactly) {
  // An inner layer of 10 bytes (no preamble test): 8 header bytes. The
  // first bytes must not be committed while decoded from zeros past the
  // end of a short input.
  Bytes header = SampleHeader(8);
  header.resize(8);
  const Bytes inner = Inner(8, {}, HeaderData(header, 8));
  ASSERT_EQ(inner.size(), 10u);
  for (Outer outer : {Outer::kPrefix, Outer::kAns}) {
    const Bytes stream = EncodeIcc(inner, outer, 0);
    Bytes whole;
    ASSERT_TRUE(DecodeChunked(stream, 0, &whole).ok());
    ASSERT_EQ(whole, header);
    for (size_t cut = 0; cut < stream.size(); ++cut) {
      CompressedIccReader icc(Heap());
      BitReader short_reader(Span(stream.data(), cut));
      ByteBuffer out(Heap());
      Status status = icc.Begin(short_reader);
      if (status.ok()) status = icc.Continue(short_reader, out);
      ASSERT_EQ(status, StatusValue::NeedMoreBytes) << "cut " << cut;
      BitReader reader(Span(stream.data(), stream.size()));
      ASSERT_TRUE(icc.Begin(reader).ok()) << "cut " << cut;
      ASSERT_TRUE(icc.Continue(reader, out).ok()) << "cut " << cut;
      EXPECT_EQ(Bytes(out.data(), out.data() + out.size()), header)
          << int(outer) << " cut " << cut;
    }
  }
}

TEST(IccReaderTest, LongCommandStreamIsAccepted) {
  // 300 tags with explicit starts and sizes: about 1500 command bytes, so
  // the commands end beyond the first 1024 inner-layer bytes.
  const uint32_t tags = 300;
  const uint32_t size = 128 + 4 + 12 * tags;
  Bytes header = SampleHeader(size);
  Bytes commands;
  PutVarint(commands, tags + 1);
  Bytes expected = header;
  PutBe32(expected, tags);
  for (uint32_t k = 0; k < tags; ++k) {
    commands.push_back(4 | 0xC0);
    PutVarint(commands, 20000 + 40 * k);
    PutVarint(commands, 300 + k);
    Append(expected, Str("cprt"));
    PutBe32(expected, 20000 + 40 * k);
    PutBe32(expected, 300 + k);
  }
  ASSERT_GT(commands.size(), 1024u);
  const Bytes inner = Inner(size, commands, HeaderData(header, size));
  Bytes got;
  ASSERT_TRUE(DecodeChunked(EncodeIcc(inner, Outer::kPrefix), 0, &got).ok());
  EXPECT_EQ(got, expected);
}

TEST(IccReaderTest, EncodedSizeLimit) {
  for (uint64_t size : {uint64_t{1} << 28, (uint64_t{1} << 28) + 1}) {
    Bits bits;
    bits.U64(size);
    const size_t after_size = bits.size();
    entropy_test::PutDescription(bits, entropy_test::ByteStreamPlan(41, true, false));
    const Bytes bytes = bits.Bytes();
    BitReader reader(Span(bytes.data(), bytes.size()));
    CompressedIccReader icc(Heap());
    const Status status = icc.Begin(reader);
    if (size == (uint64_t{1} << 28)) {
      // Accepted: decoding goes on until the input runs out.
      EXPECT_EQ(status, StatusValue::NeedMoreBytes);
    } else {
      EXPECT_EQ(status, StatusValue::Failed);
      EXPECT_EQ(reader.Position(), after_size);
    }
  }
}

TEST(IccReaderTest, CorruptEndStateAndBadPreambleFail) {
  Bytes inner;
  SampleProfile(600, 9, &inner);
  Bytes got;
  ASSERT_TRUE(DecodeChunked(EncodeIcc(inner, Outer::kAns), 0, &got).ok());
  // The same bytes, encoded to end in another ANS state.
  EXPECT_EQ(DecodeChunked(EncodeIcc(inner, Outer::kAns, 0, nullptr, 0x130001),
                          0, &got),
            StatusValue::Failed);

  // Output size far smaller than the inner layer.
  Bytes preamble;
  PutVarint(preamble, 10);
  PutVarint(preamble, 3);
  Bytes padded = preamble;
  padded.resize(70000, 0);
  EXPECT_EQ(DecodeChunked(EncodeIcc(padded, Outer::kPrefix), 0, &got),
            StatusValue::Failed);
}

TEST(IccReaderTest, RandomStreamsStayInBounds) {
  std::mt19937 rng(2024);
  Bytes inner;
  SampleProfile(1500, 1, &inner);
  const Bytes good = EncodeIcc(inner, Outer::kPrefixLz77);
  for (int round = 0; round < 400; ++round) {
    Bytes bytes;
    if (round % 2 == 0) {
      bytes.resize(1 + rng() % 200);
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    } else {
      bytes = good;
      for (int k = 0; k < 3; ++k) bytes[rng() % bytes.size()] ^= 1u << (rng() % 8);
      bytes.resize(rng() % (bytes.size() + 1));
    }
    Bytes got;
    (void)DecodeChunked(bytes, 1 + rng() % 100, &got);
  }
}

}  // namespace
}  // namespace qov
