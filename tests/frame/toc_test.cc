// Table of contents: entry counts, section sizes, permutations, padding and
// short input.
#include "lib/frame/toc.h"

#include <gtest/gtest.h>

#include <vector>

#include "lib/bitstream/permutation.h"
#include "tests/bitstream/entropy_test_streams.h"

namespace qov {
namespace {

using entropy_test::Bits;
using entropy_test::Heap;

void PutSize(Bits& bits, uint32_t size) {
  if (size < 1024) {
    bits.Put(2, 0).Put(10, size);
  } else if (size < 17408) {
    bits.Put(2, 1).Put(14, size - 1024);
  } else if (size < 4211712) {
    bits.Put(2, 2).Put(22, size - 17408);
  } else {
    bits.Put(2, 3).Put(30, size - 4211712);
  }
}

void PadToByte(Bits& bits) {
  while (bits.size() % 8 != 0) bits.Put(1, 0);
}

// A TOC: flag, optional permutation (as a Lehmer code), padding, sizes,
// padding.
// The permutation uses `plan`, or prefix codes of 8 bits by default.
Bits MakeToc(const std::vector<uint32_t>& sizes,
             const std::vector<uint32_t>& lehmer = {}, bool permuted = false,
             const entropy_test::StreamPlan* given = nullptr) {
  Bits bits;
  bits.Put(1, permuted ? 1 : 0);
  if (permuted) {
    const entropy_test::StreamPlan plan =
        given != nullptr ? *given : entropy_test::ByteStreamPlan(8, true, false);
    entropy_test::PutDescription(bits, plan);
    entropy_test::TokenWriter t(plan);
    t.Value(PermutationContext(sizes.size()),
            static_cast<uint32_t>(lehmer.size()));
    uint32_t previous = 0;
    for (uint32_t v : lehmer) {
      t.Value(PermutationContext(previous), v);
      previous = v;
    }
    t.Finish(bits);
  }
  PadToByte(bits);
  for (uint32_t s : sizes) PutSize(bits, s);
  PadToByte(bits);
  return bits;
}

struct Read {
  Status status;
  std::vector<uint32_t> sizes, permutation;
  uint64_t position;
};

Read ReadToc(const std::vector<uint8_t>& bytes, uint64_t count) {
  BitReader reader(Span(bytes.data(), bytes.size()));
  Read r;
  r.status = ReadSectionSizes(Heap(), count, reader, r.sizes, r.permutation);
  r.position = reader.Position();
  return r;
}

TEST(TocTest, SectionIdentifiers) {
  EXPECT_EQ(TocEntryCount(1, 1, 1), 1u);
  // 2 AC groups, 1 DC group, 2 passes: 7 entries.
  EXPECT_EQ(TocEntryCount(2, 1, 2), 7u);
  EXPECT_EQ(DcGlobalSectionId(), 0u);
  EXPECT_EQ(DcGroupSectionId(0), 1u);
  EXPECT_EQ(AcGlobalSectionId(1), 2u);
  EXPECT_EQ(AcGroupSectionId(0, 0, 1, 2), 3u);
  EXPECT_EQ(AcGroupSectionId(0, 1, 1, 2), 4u);
  EXPECT_EQ(AcGroupSectionId(1, 0, 1, 2), 5u);
  EXPECT_EQ(AcGroupSectionId(1, 1, 1, 2), 6u);
  uint64_t pass = 0, group = 0;
  SplitAcGroupSectionId(6, 1, 2, &pass, &group);
  EXPECT_EQ(pass, 1u);
  EXPECT_EQ(group, 1u);
  EXPECT_EQ(TocEntryCount(1, 1, 2), 5u);
  EXPECT_EQ(TocEntryCount(4, 1, 1), 7u);
}

TEST(TocTest, SizesOfEveryCoding) {
  const std::vector<uint32_t> sizes = {0,     1023,    1024,    17407,
                                       17408, 4211711, 4211712, 1u << 30};
  const Bits bits = MakeToc(sizes);
  const Read r = ReadToc(bits.Bytes(), sizes.size());
  ASSERT_TRUE(r.status.ok());
  EXPECT_EQ(r.sizes, sizes);
  EXPECT_TRUE(r.permutation.empty());
  EXPECT_EQ(r.position, bits.size());

  std::vector<TocSection> toc;
  uint64_t total = 0;
  BuildTocSections(r.sizes, r.permutation, &toc, &total);
  ASSERT_EQ(toc.size(), sizes.size());
  uint64_t sum = 0;
  for (size_t k = 0; k < sizes.size(); ++k) {
    EXPECT_EQ(toc[k].id, k);
    EXPECT_EQ(toc[k].size, sizes[k]);
    sum += sizes[k];
  }
  EXPECT_EQ(total, sum);
}

TEST(TocTest, EntryCountLimits) {
  // 65536 entries are read; 65537 fail before any bit is read.
  const std::vector<uint32_t> sizes(65536, 7);
  const std::vector<uint8_t> bytes = MakeToc(sizes).Bytes();
  const Read ok = ReadToc(bytes, 65536);
  ASSERT_TRUE(ok.status.ok());
  EXPECT_EQ(ok.sizes.size(), 65536u);
  EXPECT_EQ(ok.sizes.back(), 7u);
  const Read refused = ReadToc(bytes, 65537);
  EXPECT_EQ(refused.status, StatusValue::Failed);
  EXPECT_EQ(refused.position, 0u);
  EXPECT_EQ(ReadToc(bytes, 0).status, StatusValue::Failed);
  EXPECT_EQ(ReadToc({}, 3).status, StatusValue::NeedMoreBytes);
}

TEST(TocTest, PaddingAndShortInput) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    uint64_t count;
    StatusValue expected;
  };
  // Flag 0, 7 padding bits, 3 sizes of 12 bits, 4 padding bits: 6 bytes.
  const std::vector<uint8_t> full = MakeToc({1, 2, 3}).Bytes();
  ASSERT_EQ(full.size(), 6u);
  std::vector<uint8_t> bad_first = full;
  bad_first[0] |= 0x10;
  std::vector<uint8_t> bad_last = full;
  bad_last[5] |= 0x80;
  const std::vector<Case> cases = {
      {"complete", full, 3, StatusValue::Ok},
      {"one byte short",
       {full.begin(), full.end() - 1},
       3,
       StatusValue::NeedMoreBytes},
      {"only the flag byte",
       {full.begin(), full.begin() + 1},
       3,
       StatusValue::NeedMoreBytes},
      {"nonzero padding after the flag", bad_first, 3, StatusValue::Failed},
      {"nonzero padding after the sizes", bad_last, 3, StatusValue::Failed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadToc(c.bytes, c.count).status, c.expected) << c.name;
  }
  // Large sizes (selector 3) need more than 12 bits each: the first test
  // passes, the end check still reports the short input.
  const std::vector<uint8_t> big = MakeToc({1u << 29, 1u << 29}).Bytes();
  EXPECT_EQ(ReadToc({big.begin(), big.end() - 2}, 2).status,
            StatusValue::NeedMoreBytes);
}

TEST(TocTest, PermutationMovesIdentifiersNotSizes) {
  // Lehmer 2, 0, 1, 0 is the permutation 2, 0, 3, 1: logical section i is
  // stored at position permutation[i].
  const std::vector<uint32_t> sizes = {10, 20, 30, 40};
  const Bits bits = MakeToc(sizes, {2, 0, 1}, true);
  const Read r = ReadToc(bits.Bytes(), 4);
  ASSERT_TRUE(r.status.ok());
  EXPECT_EQ(r.sizes, sizes);
  EXPECT_EQ(r.permutation, std::vector<uint32_t>({2, 0, 3, 1}));
  EXPECT_EQ(r.position, bits.size());
  std::vector<TocSection> toc;
  uint64_t total = 0;
  BuildTocSections(r.sizes, r.permutation, &toc, &total);
  const std::vector<uint64_t> ids = {1, 3, 0, 2};
  for (size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(toc[k].size, sizes[k]);
    EXPECT_EQ(toc[k].id, ids[k]) << k;
  }
  EXPECT_EQ(total, 100u);
}

TEST(TocTest, TruncatedPermutedTocAsksForMoreInput) {
  // Cut anywhere, a permuted TOC (prefix or ANS coded) is short input.
  const uint32_t n = 300;
  std::vector<uint32_t> sizes(n, 5);
  std::vector<uint32_t> lehmer;
  for (uint32_t i = 0; i + 1 < n; ++i) lehmer.push_back((i * 7919) % (n - i));
  entropy_test::StreamPlan prefix = entropy_test::ByteStreamPlan(8, true, false);
  entropy_test::StreamPlan ans = entropy_test::ByteStreamPlan(8, false, false);
  prefix.configs = ans.configs = {UintSplitConfig(4, 16, 2, 0)};
  for (const entropy_test::StreamPlan* plan : {&prefix, &ans}) {
    const std::vector<uint8_t> bytes = MakeToc(sizes, lehmer, true, plan).Bytes();
    ASSERT_TRUE(ReadToc(bytes, n).status.ok());
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
      const Read r = ReadToc({bytes.begin(), bytes.begin() + cut}, n);
      EXPECT_EQ(r.status, StatusValue::NeedMoreBytes)
          << (plan == &ans ? "ANS" : "prefix") << " cut " << cut;
    }
  }
}

TEST(TocTest, PermutationReadFromZerosPastTheEndAsksForMoreInput) {
  // A permutation costing more than 12 bits per entry, whose prefix code
  // turns zero bits into token 31 (value 2^30, an invalid Lehmer value):
  // cut inside it, the first length test passes and the zeros past the end
  // fail the permutation; that is still short input.
  const uint32_t n = 4096;
  Bits bits;
  bits.Put(1, 1);                            // permuted
  bits.Put(1, 0).Put(1, 1).Put(2, 0);        // no LZ77; map: all cluster 0
  bits.Put(1, 1).Put(4, 0);                  // prefix codes; split {0, 1, 0, 0}
  bits.Put(1, 1).Put(4, 4).Put(4, 15);       // alphabet 32
  // Code-length code: 0 -> "0", 1 -> "10", 5 -> "11" (values 2, 0, 0, 0,
  // 1, 2 in transmission order); then lengths 0, 5 x 16, 0 x 14, 1.
  bits.Put(2, 0).Str("110 00 00 00 1110 110").Str("0");
  for (int i = 0; i < 16; ++i) bits.Str("11");
  for (int i = 0; i < 14; ++i) bits.Str("0");
  bits.Str("10");
  // Token 31 has code "0", tokens 1..16 the codes 10000 + (token - 1).
  auto put_value = [&bits](uint32_t v) {
    uint32_t t = 0;
    while ((v >> t) > 1) ++t;  // floor(log2 v)
    bits.Code(5, 0x10 + t).Put(t, v - (1u << t));
  };
  put_value(n - 1);  // end
  for (uint32_t i = 0; i + 1 < n; ++i) put_value(1 + (i * 7919) % (n - i - 1));
  const size_t permutation_end = bits.size();
  ASSERT_GT(permutation_end, 12u * n + 1);
  PadToByte(bits);
  for (uint32_t i = 0; i < n; ++i) PutSize(bits, 3);
  PadToByte(bits);
  const std::vector<uint8_t> bytes = bits.Bytes();
  ASSERT_TRUE(ReadToc(bytes, n).status.ok());
  size_t checked = 0;
  for (size_t cut = (12 * n + 8) / 8; cut * 8 < permutation_end; cut += 17) {
    EXPECT_EQ(ReadToc({bytes.begin(), bytes.begin() + cut}, n).status,
              StatusValue::NeedMoreBytes)
        << "cut " << cut;
    ++checked;
  }
  EXPECT_GT(checked, 10u);
}

TEST(TocTest, BadPermutationFails) {
  // Lehmer value 4 at position 0 of 4 entries.
  const Bits bits = MakeToc({1, 2, 3, 4}, {4}, true);
  EXPECT_EQ(ReadToc(bits.Bytes(), 4).status, StatusValue::Failed);
}

}  // namespace
}  // namespace qov
