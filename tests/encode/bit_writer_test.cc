// Bit writer: bit order, bit budgets (sizing, leftover bytes, nesting,
// statistics, overruns refused before they touch memory) and unaligned
// appends, checked by reading back with the bit reader.
#include "lib/encode/bit_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "lib/base/memory.h"
#include "lib/bitstream/bit_reader.h"
#include "tests/support/counting_manager.h"

namespace qov {
namespace {

// New blocks hold 0xAA, so stray writes and reliance on cleared memory show.
struct PatternManager : test::CountingManager {
  PatternManager() : test::CountingManager(0xAA) {}
};

Status Ok() { return OkStatus(); }

TEST(BitWriterTest, ZeroBitWriteChangesNothing) {
  PatternManager pm;
  BitWriter w(&pm.manager);
  ASSERT_TRUE(w.WithBitBudget(16, LayerType::kHeader, nullptr, [&] {
                 w.PutBits(3, 5);
                 w.PutBits(0, 0);
                 return Ok();
               }).ok());
  EXPECT_EQ(w.BitsWritten(), 3u);
  const uint8_t* data = w.storage().data();
  EXPECT_EQ(data[0], 5);
  for (int i = 1; i < 8; ++i) EXPECT_EQ(data[i], 0) << i;
}

TEST(BitWriterTest, BudgetSizesAndLeftoverBytes) {
  struct Case {
    uint64_t max_bits;
    uint64_t write_bits;
    bool ok;
    uint64_t size_after;  // storage size after the scope (ok cases)
  };
  const Case cases[] = {
      {0, 0, true, 0},     {16, 16, true, 2},  {16, 17, false, 0},
      // The partial byte of the budget stays allotted: 9 bits keep 2 bytes.
      {16, 3, true, 1},    {1, 1, true, 1},    {9, 8, true, 2},
      {64, 0, true, 0},    {100, 61, true, 9}, {0, 1, false, 0},
      {200, 200, true, 25},
  };
  for (const Case& c : cases) {
    PatternManager pm;
    BitWriter w(&pm.manager);
    const Status status =
        w.WithBitBudget(c.max_bits, LayerType::kHeader, nullptr, [&] {
          for (uint64_t left = c.write_bits; left > 0;) {
            const size_t n = left > 7 ? 7 : left;
            w.PutBits(n, 0x55 & ((1u << n) - 1));
            left -= n;
          }
          return Ok();
        });
    EXPECT_EQ(status.ok(), c.ok) << c.max_bits << " " << c.write_bits;
    if (c.ok) {
      EXPECT_EQ(w.BitsWritten(), c.write_bits);
      EXPECT_EQ(w.storage().size(), c.size_after) << c.max_bits << " " << c.write_bits;
      EXPECT_TRUE(w.healthy());
    } else {
      EXPECT_FALSE(w.healthy());
    }
  }
}

// A task that writes past its budget is stopped before any byte beyond the
// budget's storage is touched.
TEST(BitWriterTest, OverrunIsRefusedBeforeWriting) {
  PatternManager pm;
  BitWriter w(&pm.manager);
  const Status status = w.WithBitBudget(8, LayerType::kHeader, nullptr, [&] {
    w.PutBits(8, 0xFF);
    // Far more than the 64-byte capacity and its 8 spare bytes: without the
    // check these stores would run off the end of the block.
    for (int i = 0; i < 100; ++i) w.PutBits(56, (uint64_t{1} << 56) - 1);
    return Ok();
  });
  EXPECT_TRUE(status.failed());
  EXPECT_EQ(w.BitsWritten(), 8u);
  const uint8_t* data = w.storage().data();
  const uint64_t block_bytes = w.storage().capacity() + ByteBuffer::kSpareBytes;
  EXPECT_EQ(data[0], 0xFF);
  for (uint64_t i = 1; i < 8; ++i) EXPECT_EQ(data[i], 0) << i;  // the 8-byte store
  for (uint64_t i = 8; i < block_bytes; ++i) EXPECT_EQ(data[i], 0xAA) << i;
}

TEST(BitWriterTest, WritesOutsideAnyBudgetAreRefused) {
  PatternManager pm;
  BitWriter w(&pm.manager);
  w.PutBits(5, 3);  // no storage, no scope
  EXPECT_EQ(w.BitsWritten(), 0u);
  EXPECT_FALSE(w.healthy());
  // Wider than 56 bits inside a budget is refused too.
  BitWriter v(&pm.manager);
  EXPECT_TRUE(v.WithBitBudget(64, LayerType::kHeader, nullptr, [&] {
                 v.PutBits(57, 0);
                 return Ok();
               }).failed());
  EXPECT_EQ(v.BitsWritten(), 0u);
}

TEST(BitWriterTest, NestedBudgetsChargeTheirOwnLayers) {
  PatternManager pm;
  BitWriter w(&pm.manager);
  AuxOut aux;
  const Status status = w.WithBitBudget(8, LayerType::kToc, &aux, [&] {
    w.PutBits(5, 0x1F);
    // 30 bits inside, not charged to the 8-bit outer budget.
    QOV_RETURN_IF_ERROR(w.WithBitBudget(
        40, LayerType::kDc, &aux,
        [&] {
          w.PutBits(30, 0x2AAAAAAA);
          return Ok();
        },
        /*histogram=*/true));
    w.PutBits(3, 0x5);
    return Ok();
  });
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(w.BitsWritten(), 38u);
  EXPECT_EQ(aux.layer(LayerType::kToc).total_bit_count, 8u);
  EXPECT_EQ(aux.layer(LayerType::kToc).histogram_bit_count, 0u);
  EXPECT_EQ(aux.layer(LayerType::kDc).total_bit_count, 30u);
  EXPECT_EQ(aux.layer(LayerType::kDc).histogram_bit_count, 30u);
  EXPECT_EQ(w.storage().size(), 5u);  // ceil(38 / 8)

  BitReader r(w.GetSpan());
  EXPECT_EQ(r.Read(5), 0x1Fu);
  EXPECT_EQ(r.Read(30), 0x2AAAAAAAu);
  EXPECT_EQ(r.Read(3), 0x5u);
}

TEST(BitWriterTest, FailingTaskIsClosedAndCharged) {
  PatternManager pm;
  BitWriter w(&pm.manager);
  AuxOut aux;
  const Status status = w.WithBitBudget(
      32, LayerType::kNoise, &aux,
      [&] {
        w.PutBits(6, 1);
        return FailedStatus();
      },
      /*histogram=*/true);
  EXPECT_TRUE(status.failed());
  EXPECT_EQ(aux.layer(LayerType::kNoise).total_bit_count, 6u);
  EXPECT_EQ(aux.layer(LayerType::kNoise).histogram_bit_count, 0u);
  // The writer is usable again: the scope was closed.
  EXPECT_TRUE(w.WithBitBudget(2, LayerType::kHeader, nullptr, [&] {
                 w.PutBits(2, 3);
                 return Ok();
               }).ok());
  EXPECT_EQ(w.BitsWritten(), 8u);
}

TEST(BitWriterTest, StorageFailureRunsNoTask) {
  PatternManager pm;
  pm.refuse = true;
  BitWriter w(&pm.manager);
  bool ran = false;
  EXPECT_TRUE(w.WithBitBudget(8, LayerType::kHeader, nullptr, [&] {
                 ran = true;
                 return Ok();
               }).failed());
  EXPECT_FALSE(ran);
  PatternManager working;
  BitWriter v(&working.manager);
  EXPECT_THROW(
      v.WithBitBudget(0, LayerType::kHeader, nullptr, BitWriter::Task()).IgnoreError(),
      std::bad_function_call);
}

// Random fields in random budgets read back bit for bit; storage is
// reallocated many times on the way (contents and zero-ahead bytes kept).
TEST(BitWriterTest, ManyBudgetsRoundTrip) {
  PatternManager pm;
  BitWriter w(&pm.manager);
  std::mt19937_64 rng(99);
  std::vector<std::pair<size_t, uint64_t>> fields;
  for (int scope = 0; scope < 300; ++scope) {
    const int count = static_cast<int>(rng() % 12);
    std::vector<std::pair<size_t, uint64_t>> local;
    uint64_t bits = 0;
    for (int i = 0; i < count; ++i) {
      const size_t n = rng() % 57;
      const uint64_t v = n == 0 ? 0 : rng() & ((uint64_t{1} << n) - 1);
      local.emplace_back(n, v);
      bits += n;
    }
    const uint64_t slack = rng() % 20;
    ASSERT_TRUE(w.WithBitBudget(bits + slack, LayerType::kHeader, nullptr, [&] {
                   for (auto [n, v] : local) w.PutBits(n, v);
                   return Ok();
                 }).ok());
    fields.insert(fields.end(), local.begin(), local.end());
    ASSERT_GE(w.storage().size() * 8, w.BitsWritten());
  }
  BitReader r(w.GetSpan());
  for (auto [n, v] : fields) ASSERT_EQ(r.Read(n), v);
  EXPECT_FALSE(r.PastEnd());
}

TEST(BitWriterTest, AppendUnalignedKeepsBitOrder) {
  std::mt19937_64 rng(5);
  for (uint64_t head : {0, 1, 5, 8, 13}) {
    for (uint64_t tail : {0, 1, 7, 8, 13, 64, 70}) {
      PatternManager pm;
      BitWriter a(&pm.manager), b(&pm.manager);
      std::vector<int> expected;
      auto fill = [&](BitWriter& w, uint64_t n) {
        ASSERT_TRUE(w.WithBitBudget(n, LayerType::kHeader, nullptr, [&] {
                       for (uint64_t i = 0; i < n; ++i) {
                         const int bit = static_cast<int>(rng() & 1);
                         expected.push_back(bit);
                         w.PutBits(1, bit);
                       }
                       return Ok();
                     }).ok());
      };
      fill(a, head);
      fill(b, tail);
      ASSERT_TRUE(a.AppendUnaligned(b).ok());
      ASSERT_EQ(a.BitsWritten(), head + tail);
      BitReader r(a.GetSpan());
      for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(static_cast<int>(r.Read(1)), expected[i])
            << head << "+" << tail << " bit " << i;
      }
    }
  }
}

TEST(BitWriterTest, AppendToItself) {
  PatternManager pm;
  BitWriter w(&pm.manager);
  ASSERT_TRUE(w.WithBitBudget(13, LayerType::kHeader, nullptr, [&] {
                 w.PutBits(13, 0x1ABC);
                 return Ok();
               }).ok());
  ASSERT_TRUE(w.AppendUnaligned(w).ok());
  BitReader r(w.GetSpan());
  EXPECT_EQ(r.Read(13), 0x1ABCu);
  EXPECT_EQ(r.Read(13), 0x1ABCu);
}

TEST(BitWriterTest, MoveKeepsContents) {
  PatternManager pm;
  {
    BitWriter w(&pm.manager);
    ASSERT_TRUE(w.WithBitBudget(12, LayerType::kHeader, nullptr, [&] {
                   w.PutBits(12, 0xABC);
                   return Ok();
                 }).ok());
    BitWriter moved(std::move(w));
    EXPECT_EQ(moved.BitsWritten(), 12u);
    EXPECT_EQ(w.BitsWritten(), 0u);
    BitReader r(moved.GetSpan());
    EXPECT_EQ(r.Read(12), 0xABCu);
  }
  EXPECT_EQ(pm.live, 0);
}

}  // namespace
}  // namespace qov
