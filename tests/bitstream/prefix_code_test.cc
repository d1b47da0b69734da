// Prefix codes: simple and complex descriptions, code-length runs and the
// two-level lookup tables.
#include "lib/bitstream/prefix_code.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/bitstream/entropy_test_streams.h"

namespace qov {
namespace {

using entropy_test::Bits;

struct Decoded {
  std::string input;  // bits in read order
  uint32_t symbol;
  uint32_t consumed;
};

struct SimpleCase {
  const char* name;
  uint64_t alphabet_size;
  Bits description;
  std::vector<Decoded> decodes;
};

// Reads a code from `description` and checks every listed decode.
void ExpectDecodes(const PrefixCode& code, const std::vector<Decoded>& decodes,
                   const std::string& name) {
  for (const Decoded& d : decodes) {
    const std::vector<uint8_t> bytes = Bits().Str(d.input).Bytes();
    BitReader reader(Span(bytes.data(), bytes.size()));
    reader.Refill();
    EXPECT_EQ(DecodePrefixSymbol(code.data(), reader), d.symbol)
        << name << " input " << d.input;
    EXPECT_EQ(reader.Position(), d.consumed) << name << " input " << d.input;
  }
}

TEST(PrefixCodeTest, SimpleCodesDecodeTheirWorkedExamples) {
  const std::vector<SimpleCase> cases = {
      {"one symbol, alphabet 1: no symbol bits, no code bits", 1,
       Bits().Put(2, 1).Put(2, 0),
       {{"", 0, 0}, {"11111111", 0, 0}, {"10101010", 0, 0}}},
      {"one symbol 5 of 8", 8, Bits().Put(2, 1).Put(2, 0).Put(3, 5),
       {{"0", 5, 0}, {"1", 5, 0}}},
      {"two symbols 7, 3: the smaller gets code 0", 8,
       Bits().Put(2, 1).Put(2, 1).Put(3, 7).Put(3, 3),
       {{"0", 3, 1}, {"1", 7, 1}}},
      {"three symbols 4, 6, 1", 8,
       Bits().Put(2, 1).Put(2, 2).Put(3, 4).Put(3, 6).Put(3, 1),
       {{"0", 4, 1}, {"10", 1, 2}, {"11", 6, 2}}},
      {"four symbols 9, 2, 5, 1, tree 0: sorted 2-bit codes", 10,
       Bits().Put(2, 1).Put(2, 3).Put(4, 9).Put(4, 2).Put(4, 5).Put(4, 1)
           .Put(1, 0),
       {{"00", 1, 2}, {"01", 2, 2}, {"10", 5, 2}, {"11", 9, 2}}},
      {"four symbols 3, 0, 7, 5, tree 1: lengths 1, 2, 3, 3", 8,
       Bits().Put(2, 1).Put(2, 3).Put(3, 3).Put(3, 0).Put(3, 7).Put(3, 5)
           .Put(1, 1),
       {{"0", 3, 1}, {"10", 0, 2}, {"110", 5, 3}, {"111", 7, 3}}},
  };
  for (const SimpleCase& c : cases) {
    const std::vector<uint8_t> bytes = c.description.Bytes();
    BitReader reader(Span(bytes.data(), bytes.size()));
    PrefixCode code;
    ASSERT_TRUE(PrefixCode::Read(code, c.alphabet_size, reader)) << c.name;
    EXPECT_EQ(reader.Position(), c.description.size()) << c.name;
    ASSERT_EQ(code.size(), 256u) << c.name;
    ExpectDecodes(code, c.decodes, c.name);
  }
}

TEST(PrefixCodeTest, InvalidDescriptionsFail) {
  struct Case {
    const char* name;
    uint64_t alphabet_size;
    Bits description;
  };
  const std::vector<Case> cases = {
      {"simple symbol at the alphabet size", 5,
       Bits().Put(2, 1).Put(2, 1).Put(3, 1).Put(3, 5)},
      {"duplicate simple symbols", 8,
       Bits().Put(2, 1).Put(2, 2).Put(3, 1).Put(3, 4).Put(3, 1)},
      {"alphabet above 32768", 32769, Bits().Put(2, 1).Put(2, 0).Put(16, 0)},
      // Code-length code of symbols 1 and 0 (length 1 each); then length 1
      // for symbol 0 only: incomplete.
      {"complex code with one length-1 symbol", 4,
       Bits().Put(2, 0).Str("1110 00 00 00 1110").Str("1 0 0 0")},
      {"code-length code without lengths", 4,
       Bits().Put(2, 0).Str("00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")},
      // Code-length code with lengths 2, 2 (space 16 left, two nonzero).
      {"incomplete code-length code", 4,
       Bits().Put(2, 0).Str("110 110 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")},
      // Code-length code symbols 4 (code 0) and 17 (code 1): a run of zeros
      // that passes the alphabet size.
      {"repeat beyond the alphabet", 4,
       Bits().Put(2, 0).Str("00 00 00 1110 00 00 1110").Str("1").Put(3, 7)},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes = c.description.Bytes();
    BitReader reader(Span(bytes.data(), bytes.size()));
    PrefixCode code;
    EXPECT_FALSE(PrefixCode::Read(code, c.alphabet_size, reader)) << c.name;
  }
}

TEST(PrefixCodeTest, AlphabetLimitIs32768) {
  // Simple code with symbol 32767 (15 bits) in an alphabet of 32768.
  const std::vector<uint8_t> bytes =
      Bits().Put(2, 1).Put(2, 0).Put(15, 32767).Bytes();
  BitReader reader(Span(bytes.data(), bytes.size()));
  PrefixCode code;
  ASSERT_TRUE(PrefixCode::Read(code, 32768, reader));
  EXPECT_EQ(code.entries[0].value, 32767);
  BitReader again(Span(bytes.data(), bytes.size()));
  EXPECT_FALSE(PrefixCode::Read(code, 32769, again));
  // Nothing is read for a refused alphabet.
  EXPECT_EQ(again.Position(), 0u);
}

TEST(PrefixCodeTest, TwoLengthOneSymbolsFormAValidComplexCode) {
  // Code-length code: symbols 1 and 0 with length 1 (codes 0 -> 0, 1 -> 1).
  const Bits description =
      Bits().Put(2, 0).Str("1110 00 00 00 1110").Str("1 1");
  const std::vector<uint8_t> bytes = description.Bytes();
  BitReader reader(Span(bytes.data(), bytes.size()));
  PrefixCode code;
  ASSERT_TRUE(PrefixCode::Read(code, 6, reader));
  EXPECT_EQ(reader.Position(), description.size());
  ExpectDecodes(code, {{"0", 0, 1}, {"1", 1, 1}}, "two length-1 symbols");
}

TEST(PrefixCodeTest, EveryFixedCodeOfTheCodeLengthCode) {
  // Code-length-code lengths in order 1, 2, 3, 4, 0, 5: values 1, 2, 3, 4,
  // 5, 5 (codes 1110, 110, 01, 10, 1111, 1111); the space is then used up.
  // Canonical code-length code: 1 -> 0, 2 -> 10, 3 -> 110, 4 -> 1110,
  // 0 -> 11110, 5 -> 11111. Lengths 1, 2, 3, 3 for the four symbols.
  const Bits description = Bits().Put(2, 0)
                               .Str("1110 110 01 10 1111 1111")
                               .Str("0 10 110 110");
  const std::vector<uint8_t> bytes = description.Bytes();
  BitReader reader(Span(bytes.data(), bytes.size()));
  PrefixCode code;
  ASSERT_TRUE(PrefixCode::Read(code, 4, reader));
  EXPECT_EQ(reader.Position(), description.size());
  ExpectDecodes(code, {{"0", 0, 1}, {"10", 1, 2}, {"110", 2, 3}, {"111", 3, 3}},
                "fixed code-length codes");
  // The same with the code-length symbols 4 and 5 read through codes 11110
  // and 11111: lengths 4 x 16 for an alphabet of 16, via symbol 4 (1110).
  Bits sixteen = Bits().Put(2, 0).Str("1110 110 01 10 1111 1111");
  for (int i = 0; i < 16; ++i) sixteen.Str("1110");
  const std::vector<uint8_t> bytes16 = sixteen.Bytes();
  BitReader reader16(Span(bytes16.data(), bytes16.size()));
  ASSERT_TRUE(PrefixCode::Read(code, 16, reader16));
  EXPECT_EQ(reader16.Position(), sixteen.size());
  ExpectDecodes(code, {{"0000", 0, 4}, {"1111", 15, 4}}, "sixteen fours");
}

TEST(PrefixCodeTest, RepeatCodesExtendTheSameRun) {
  // Code-length code: symbol 4 -> code 0, symbol 16 -> code 1.
  uint8_t cl[kCodeLengthCodeSymbols] = {};
  cl[4] = 1;
  cl[16] = 1;
  struct Case {
    const char* name;
    Bits bits;
    int32_t alphabet;
    bool ok;
    uint32_t fours;  // symbols of length 4 at the start
  };
  const std::vector<Case> cases = {
      // 4, then 16 + 2 (repeat 5), then 16 + 0: (5 - 2) x 4 + 3 = 15 in all.
      {"run continued", Bits().Str("0").Str("1").Put(2, 2).Str("1").Put(2, 0),
       18, true, 16},
      // 4, 16 + 0 (3), 16 + 0: (3 - 2) x 4 + 3 = 7, so 8 fours, then 8 more.
      {"run of 3, continued to 7",
       Bits().Str("0 1").Put(2, 0).Str("1").Put(2, 0).Str("00000000"), 18,
       true, 16},
      {"alphabet too small for the run",
       Bits().Str("0").Str("1").Put(2, 2).Str("1").Put(2, 0), 15, false, 0},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes = c.bits.Bytes();
    BitReader reader(Span(bytes.data(), bytes.size()));
    std::vector<uint8_t> lengths(c.alphabet, 99);
    const bool ok = ReadPrefixCodeLengths(cl, c.alphabet, lengths.data(), reader);
    EXPECT_EQ(ok, c.ok) << c.name;
    if (!ok || !c.ok) continue;
    EXPECT_EQ(reader.Position(), c.bits.size()) << c.name;
    for (int32_t s = 0; s < c.alphabet; ++s) {
      EXPECT_EQ(lengths[s], s < static_cast<int32_t>(c.fours) ? 4 : 0)
          << c.name << " symbol " << s;
    }
  }
}

TEST(PrefixCodeTest, RepeatCountsOfASingleSixteen) {
  // 16 right after a 4 repeats it 3 + (2 extra bits) times: the code is
  // complete exactly after the remaining fours.
  uint8_t cl[kCodeLengthCodeSymbols] = {};
  cl[4] = 1;
  cl[16] = 1;
  for (uint32_t extra = 0; extra < 4; ++extra) {
    // 4, 16 + extra, then 4 until the code is complete (16 fours).
    Bits bits;
    bits.Str("0").Str("1").Put(2, extra);
    const uint32_t after_run = 1 + 3 + extra;
    for (uint32_t i = after_run; i < 16; ++i) bits.Str("0");
    const std::vector<uint8_t> bytes = bits.Bytes();
    BitReader reader(Span(bytes.data(), bytes.size()));
    std::vector<uint8_t> lengths(16, 99);
    ASSERT_TRUE(ReadPrefixCodeLengths(cl, 16, lengths.data(), reader))
        << "extra " << extra;
    EXPECT_EQ(reader.Position(), bits.size()) << "extra " << extra;
  }
}

TEST(PrefixCodeTest, HskipThreeStartsAtSymbolFour) {
  // Lengths of the code-length code from order position 3: symbol 4 and
  // symbol 0 get length 1, so symbols 1, 2, 3 keep length 0. Then sixteen
  // code-length symbols 4 ("1").
  Bits description = Bits().Put(2, 3).Str("1110 1110");
  for (int i = 0; i < 16; ++i) description.Str("1");
  const std::vector<uint8_t> bytes = description.Bytes();
  BitReader reader(Span(bytes.data(), bytes.size()));
  PrefixCode code;
  ASSERT_TRUE(PrefixCode::Read(code, 16, reader));
  EXPECT_EQ(reader.Position(), description.size());
  for (uint32_t s = 0; s < 16; ++s) {
    std::string str;
    for (int b = 3; b >= 0; --b) str += ((s >> b) & 1) ? '1' : '0';
    ExpectDecodes(code, {{str, s, 4}}, "hskip 3");
  }
}

// Canonical code words for a list of lengths (0: unused symbol).
std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lengths) {
  std::vector<uint32_t> codes(lengths.size(), 0);
  uint32_t code = 0;
  for (uint32_t len = 1; len <= 15; ++len) {
    for (size_t s = 0; s < lengths.size(); ++s) {
      if (lengths[s] == len) codes[s] = code++;
    }
    code <<= 1;
  }
  return codes;
}

TEST(PrefixCodeTest, RandomCompleteCodesDecodeEverySymbol) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 200; ++round) {
    const uint32_t alphabet = 2 + rng() % (round < 150 ? 300 : 4000);
    const uint32_t leaves = 2 + rng() % std::min<uint32_t>(alphabet - 1, 1500);
    // Split random leaves until there are `leaves` of them (Kraft-complete).
    std::vector<uint8_t> depth = {1, 1};
    while (depth.size() < leaves) {
      const size_t i = rng() % depth.size();
      if (depth[i] >= 15) continue;
      ++depth[i];
      depth.push_back(depth[i]);
    }
    std::vector<uint32_t> symbols(alphabet);
    for (uint32_t s = 0; s < alphabet; ++s) symbols[s] = s;
    std::shuffle(symbols.begin(), symbols.end(), rng);
    std::vector<uint8_t> lengths(alphabet, 0);
    for (size_t i = 0; i < depth.size(); ++i) lengths[symbols[i]] = depth[i];

    uint16_t count[16] = {};
    for (uint8_t l : lengths) ++count[l];
    const uint32_t size = PrefixLookupTableSize(8, count);
    std::vector<PrefixTableEntry> table(size + 16);
    const uint32_t used =
        BuildPrefixLookupTable(table.data(), 8, lengths.data(), alphabet, count);
    ASSERT_EQ(used, size) << "round " << round;

    const std::vector<uint32_t> codes = CanonicalCodes(lengths);
    for (uint32_t s = 0; s < alphabet; ++s) {
      if (lengths[s] == 0) continue;
      const std::vector<uint8_t> bytes = Bits().Code(lengths[s], codes[s])
                                             .Put(20, 0xABCDE).Bytes();
      BitReader reader(Span(bytes.data(), bytes.size()));
      reader.Refill();
      ASSERT_EQ(DecodePrefixSymbol(table.data(), reader), s)
          << "round " << round << " symbol " << s;
      ASSERT_EQ(reader.Position(), lengths[s]);
    }
  }
}

TEST(PrefixCodeTest, LongCodesUseSecondLevelTables) {
  // Lengths 1, 2, ..., 14, 15, 15: the last eight codes need a second level.
  std::vector<uint8_t> lengths;
  for (uint8_t l = 1; l <= 14; ++l) lengths.push_back(l);
  lengths.push_back(15);
  lengths.push_back(15);
  uint16_t count[16] = {};
  for (uint8_t l : lengths) ++count[l];
  std::vector<PrefixTableEntry> table(PrefixLookupTableSize(8, count));
  const uint32_t used = BuildPrefixLookupTable(table.data(), 8, lengths.data(),
                                               lengths.size(), count);
  // One 2^7-entry table behind the root entry of the code 11111111.
  EXPECT_EQ(used, 256u + 128u);
  EXPECT_EQ(table[255].bits, 8 + 7);
  EXPECT_EQ(table[255].value, 256 - 255);
  // Consumed counts are decremented as symbols are placed.
  EXPECT_EQ(count[15], 0);
}

}  // namespace
}  // namespace qov
