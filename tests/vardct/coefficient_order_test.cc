// Coefficient orders: zig-zag orders per kind, the store's stride, and
// coded permutations written with the project's entropy coder.
#include "lib/vardct/coefficient_order.h"

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/bitstream/permutation.h"
#include "tests/vardct/vardct_test_helpers.h"

namespace qov {
namespace {

using vardct_test::OwnedReader;
using vardct_test::StreamWriter;

constexpr uint32_t Bit(VarBlockKind k) { return 1u << static_cast<uint32_t>(k); }

std::vector<uint32_t> Zigzag(VarBlockKind kind) {
  std::vector<uint32_t> z(CoefficientCount(kind));
  BuildZigzagOrder(kind, z.data());
  return z;
}

TEST(ZigzagOrderTest, KnownPrefixes) {
  const struct {
    VarBlockKind kind;
    std::vector<uint32_t> prefix;
  } cases[] = {
      {VarBlockKind::Dct8By8, {0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25}},
      {VarBlockKind::IdentityGrid, {0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25}},
      {VarBlockKind::Dct16By8, {0, 1, 16, 2, 3, 17, 32, 18, 4, 5, 19, 33, 48}},
      {VarBlockKind::Dct8By16, {0, 1, 16, 2, 3, 17, 32, 18, 4, 5, 19, 33, 48}},
      // 16x16: the 2 x 2 corner, then the diagonals of 16 x 16.
      {VarBlockKind::Dct16By16, {0, 1, 16, 17, 32, 2, 3, 18, 33, 48}},
  };
  for (const auto& c : cases) {
    const std::vector<uint32_t> z = Zigzag(c.kind);
    ASSERT_GE(z.size(), c.prefix.size());
    EXPECT_TRUE(std::equal(c.prefix.begin(), c.prefix.end(), z.begin()))
        << static_cast<int>(c.kind);
  }
}

TEST(ZigzagOrderTest, EveryKindIsAPermutationWithTheCornerFirst) {
  for (size_t k = 0; k < kNumVarBlockKinds; ++k) {
    const VarBlockKind kind = static_cast<VarBlockKind>(k);
    std::vector<uint32_t> z = Zigzag(kind);
    const size_t cx = CoveredBlocksX(kind), cy = CoveredBlocksY(kind);
    const size_t s = std::min(cx, cy), l = std::max(cx, cy);
    for (size_t i = 0; i < cx * cy; ++i) {
      EXPECT_EQ(z[i], (i / l) * 8 * l + i % l) << k;
      EXPECT_LT(z[i] / (8 * l), s);
    }
    std::sort(z.begin(), z.end());
    for (size_t i = 0; i < z.size(); ++i) ASSERT_EQ(z[i], i) << k;
  }
}

TEST(ScanOrderStoreTest, StrideFollowsUsedKinds) {
  const struct {
    uint32_t kinds;
    size_t passes, stride;
  } cases[] = {
      {0, 3, 0},
      {Bit(VarBlockKind::Dct8By8), 1, 192},
      {Bit(VarBlockKind::Dct8By8) | Bit(VarBlockKind::Dct16By8), 2, 4608},
      {Bit(VarBlockKind::CornerAdaptive3), 1, 6 * 64},
      {Bit(VarBlockKind::Dct128By256), 2, 393984},
      {Bit(VarBlockKind::Dct256By256), 1, 3596 * 64 + 64 * 1024},
  };
  for (const auto& c : cases) {
    ScanOrderStore store;
    store.entries.assign(10, 7);
    ASSERT_TRUE(ReserveCoefficientOrders(c.kinds, c.passes, &store).ok());
    EXPECT_EQ(store.stride, c.stride);
    EXPECT_EQ(store.entries.size(), std::max<size_t>(10, c.passes * c.stride));
    EXPECT_EQ(store.entries[0], 7u);  // kept, never shrunk
  }
}

// Lehmer code of a permutation: rank of each element among those after it.
std::vector<uint32_t> LehmerOf(const std::vector<uint32_t>& perm) {
  std::vector<uint32_t> code(perm.size());
  for (size_t i = 0; i < perm.size(); ++i) {
    uint32_t smaller = 0;
    for (size_t j = i + 1; j < perm.size(); ++j) smaller += perm[j] < perm[i];
    code[i] = smaller;
  }
  return code;
}

// Tokens of one permutation with the given skip, as the reader expects.
void AppendPermutationTokens(const std::vector<uint32_t>& perm, size_t skip,
                             std::vector<Token>* tokens,
                             uint32_t count_override = UINT32_MAX) {
  const std::vector<uint32_t> code = LehmerOf(perm);
  size_t end = code.size();
  while (end > skip && code[end - 1] == 0) --end;
  const uint32_t count =
      count_override != UINT32_MAX ? count_override
                                   : static_cast<uint32_t>(end - skip);
  tokens->emplace_back(
      PermutationContext(static_cast<uint32_t>(perm.size())), count);
  uint32_t previous = 0;
  for (size_t i = skip; i < skip + std::min<size_t>(count, end - skip); ++i) {
    tokens->emplace_back(PermutationContext(previous), code[i]);
    previous = code[i];
  }
}

// A random permutation that keeps the first `skip` positions.
std::vector<uint32_t> RandomPermutation(size_t size, size_t skip,
                                        uint32_t seed) {
  std::vector<uint32_t> p(size);
  std::iota(p.begin(), p.end(), 0);
  std::mt19937 rng(seed);
  std::shuffle(p.begin() + skip, p.end(), rng);
  return p;
}

TEST(ReadScanOrdersTest, UncodedBucketsGetZigzagInAllChannels) {
  const uint32_t kinds = Bit(VarBlockKind::Dct8By8) | Bit(VarBlockKind::Dct4Grid) |
                         Bit(VarBlockKind::Dct32By16);
  ScanOrderStore store;
  ASSERT_TRUE(ReserveCoefficientOrders(kinds, 1, &store).ok());
  BitReader reader;  // nothing is read
  ASSERT_TRUE(ReadScanOrders(HeapMemoryManager(), 0, kinds,
                             store.PassOrders(0), reader)
                  .ok());
  EXPECT_EQ(reader.Position(), 0u);
  for (VarBlockKind kind : {VarBlockKind::Dct8By8, VarBlockKind::IdentityGrid,
                            VarBlockKind::Dct16By32}) {
    const std::vector<uint32_t> z = Zigzag(kind);
    const size_t b = ScanBucketOf(kind);
    for (size_t c = 0; c < 3; ++c) {
      const uint32_t* o = store.PassOrders(0) + 64 * kScanOrderOffsets[3 * b + c];
      EXPECT_TRUE(std::equal(z.begin(), z.end(), o)) << static_cast<int>(kind);
    }
  }
}

struct CodedCase {
  const char* name;
  uint32_t used_kinds;
  uint16_t coded;
  bool prefix;
};

TEST(ReadScanOrdersTest, CodedPermutationsOfTheZigzag) {
  const CodedCase cases[] = {
      {"8x8 and 16x16 coded, ANS", Bit(VarBlockKind::Dct8By8) |
                                       Bit(VarBlockKind::Dct16By16),
       0x5, false},
      {"8x16 coded with prefix codes, identity uncoded",
       Bit(VarBlockKind::Dct16By8) | Bit(VarBlockKind::IdentityGrid), 0x10,
       true},
      {"bucket 2 coded but unused is consumed", Bit(VarBlockKind::Dct8By8),
       0x5, false},
  };
  for (const CodedCase& c : cases) {
    std::vector<Token> tokens;
    // Expected orders per coded bucket and channel.
    std::vector<std::vector<uint32_t>> expected[kNumScanOrderBuckets];
    uint32_t handled = 0;
    uint32_t seed = 1;
    for (size_t k = 0; k < kNumVarBlockKinds; ++k) {
      const size_t b = kVarBlockScanBucket[k];
      if ((handled >> b & 1) != 0) continue;
      handled |= 1u << b;
      if ((c.coded >> b & 1) == 0) continue;
      const VarBlockKind kind = static_cast<VarBlockKind>(k);
      const size_t skip = CoveredBlocksX(kind) * CoveredBlocksY(kind);
      const std::vector<uint32_t> z = Zigzag(kind);
      for (size_t ch = 0; ch < 3; ++ch) {
        // Channel Y keeps the zig-zag (count 0).
        std::vector<uint32_t> perm =
            ch == 1 ? RandomPermutation(z.size(), z.size(), 0)
                    : RandomPermutation(z.size(), skip, seed++);
        AppendPermutationTokens(perm, skip, &tokens);
        std::vector<uint32_t> order(z.size());
        for (size_t i = 0; i < z.size(); ++i) order[i] = z[perm[i]];
        expected[b].push_back(order);
      }
    }
    StreamWriter w;
    w.Entropy(kPermutationContexts, {tokens}, c.prefix);
    ASSERT_TRUE(w.ok()) << c.name;
    OwnedReader r(w.Bytes());
    ScanOrderStore store;
    ASSERT_TRUE(ReserveCoefficientOrders(c.used_kinds, 1, &store).ok());
    ASSERT_TRUE(ReadScanOrders(HeapMemoryManager(), c.coded, c.used_kinds,
                               store.PassOrders(0), r.reader)
                    .ok())
        << c.name;
    EXPECT_FALSE(r.reader.PastEnd()) << c.name;
    for (size_t k = 0; k < kNumVarBlockKinds; ++k) {
      if ((c.used_kinds >> k & 1) == 0) continue;
      const VarBlockKind kind = static_cast<VarBlockKind>(k);
      const size_t b = ScanBucketOf(kind);
      for (size_t ch = 0; ch < 3; ++ch) {
        const uint32_t* o =
            store.PassOrders(0) + 64 * kScanOrderOffsets[3 * b + ch];
        const std::vector<uint32_t> want =
            expected[b].empty() ? Zigzag(kind) : expected[b][ch];
        EXPECT_TRUE(std::equal(want.begin(), want.end(), o))
            << c.name << " bucket " << b << " channel " << ch;
      }
    }
  }
}

TEST(ReadScanOrdersTest, CodedSetCoding) {
  // Selector 0: buckets 0-4 and 6; 1: buckets 0, 1 and 4; 2: none; 3: 13 bits.
  const uint32_t expected[4] = {0x5F, 0x13, 0, 0x1ABC};
  for (uint32_t sel = 0; sel < 4; ++sel) {
    StreamWriter w;
    w.Bits(2, sel);
    if (sel == 3) w.Bits(13, 0x1ABC);
    OwnedReader r(w.Bytes());
    EXPECT_EQ(ReadCodedU32(kCodedOrdersCoding, &r.reader), expected[sel]);
  }
}

TEST(ReadScanOrdersTest, MalformedPermutationsFail) {
  const uint32_t kinds = Bit(VarBlockKind::Dct8By8);
  // Count 64: more than the 63 positions after the corner.
  {
    std::vector<Token> tokens;
    tokens.emplace_back(PermutationContext(64), 64);
    StreamWriter w;
    w.Entropy(kPermutationContexts, {tokens});
    OwnedReader r(w.Bytes());
    ScanOrderStore store;
    ASSERT_TRUE(ReserveCoefficientOrders(kinds, 1, &store).ok());
    EXPECT_EQ(ReadScanOrders(HeapMemoryManager(), 1, kinds,
                             store.PassOrders(0), r.reader),
              StatusValue::Failed);
  }
  // A Lehmer value of 63 at position 1: only 63 values remain (0..62).
  {
    std::vector<Token> tokens;
    tokens.emplace_back(PermutationContext(64), 1);
    tokens.emplace_back(0, 63);
    StreamWriter w;
    w.Entropy(kPermutationContexts, {tokens});
    OwnedReader r(w.Bytes());
    ScanOrderStore store;
    ASSERT_TRUE(ReserveCoefficientOrders(kinds, 1, &store).ok());
    EXPECT_EQ(ReadScanOrders(HeapMemoryManager(), 1, kinds,
                             store.PassOrders(0), r.reader),
              StatusValue::Failed);
  }
  // Valid permutations but a stream that ends with tokens left (ANS state).
  {
    std::vector<Token> tokens;
    for (int ch = 0; ch < 3; ++ch) tokens.emplace_back(PermutationContext(64), 0);
    tokens.emplace_back(PermutationContext(64), 5);
    StreamWriter w;
    w.Entropy(kPermutationContexts, {tokens});
    OwnedReader r(w.Bytes());
    ScanOrderStore store;
    ASSERT_TRUE(ReserveCoefficientOrders(kinds, 1, &store).ok());
    EXPECT_EQ(ReadScanOrders(HeapMemoryManager(), 1, kinds,
                             store.PassOrders(0), r.reader),
              StatusValue::Failed);
  }
}

}  // namespace
}  // namespace qov
