// ByteBuffer: reservation sizes, growth policy, terminating zero, failure
// atomicity and moves.
#include "lib/base/byte_buffer.h"
#include "tests/support/counting_manager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace qov {
namespace {

// New blocks hold 0xEE, so a test sees any byte the buffer did not write.
struct CountingManager : test::CountingManager {
  CountingManager() : test::CountingManager(0xEE) {}
};

TEST(ByteBufferTest, ReserveSizes) {
  CountingManager cm;
  ByteBuffer buffer(&cm.manager);
  EXPECT_EQ(buffer.data(), nullptr);
  ASSERT_TRUE(buffer.Reserve(10).ok());
  EXPECT_EQ(buffer.capacity(), 64u);
  EXPECT_EQ(cm.sizes.back(), 72u + 2048u);  // 64 + 8 spare bytes, + placement
  EXPECT_EQ(buffer.data()[0], 0);
  ASSERT_TRUE(buffer.Reserve(1000).ok());
  EXPECT_EQ(buffer.capacity(), 1000u);
  EXPECT_EQ(cm.live, 1);
  EXPECT_TRUE(buffer.Reserve(~uint64_t{0} - 8).failed());
  EXPECT_TRUE(buffer.Reserve(~uint64_t{0}).failed());
  EXPECT_EQ(buffer.capacity(), 1000u);
}

TEST(ByteBufferTest, GrowthPolicyAndContents) {
  CountingManager cm;
  ByteBuffer buffer(&cm.manager);
  std::vector<uint64_t> capacities;
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(buffer.PushBack(static_cast<uint8_t>(i)).ok());
    if (capacities.empty() || capacities.back() != buffer.capacity()) {
      capacities.push_back(buffer.capacity());
    }
  }
  EXPECT_EQ(capacities, (std::vector<uint64_t>{64, 96, 144, 216, 324}));
  for (int i = 0; i < 300; ++i) ASSERT_EQ(buffer[i], static_cast<uint8_t>(i));

  // A large append grows to exactly what it needs when that beats 1.5x.
  std::vector<uint8_t> big(2000, 9);
  ASSERT_TRUE(buffer.Append(big.data(), big.size()).ok());
  EXPECT_EQ(buffer.size(), 2300u);
  EXPECT_EQ(buffer.capacity(), 2300u);
  // Right after a reallocation the byte after the contents is 0.
  ASSERT_TRUE(buffer.Reserve(2300).ok());
  EXPECT_EQ(buffer.data()[2300], 0);
  EXPECT_EQ(buffer[2299], 9);

  uint8_t block[ByteBuffer::kBlockSize];
  for (size_t i = 0; i < sizeof(block); ++i) block[i] = static_cast<uint8_t>(255 - i);
  ASSERT_TRUE(buffer.AppendBlock(block).ok());
  EXPECT_EQ(buffer.size(), 2428u);
  EXPECT_EQ(buffer.capacity(), 3450u);
  EXPECT_EQ(std::memcmp(buffer.data() + 2300, block, sizeof(block)), 0);
  EXPECT_EQ(buffer[299], static_cast<uint8_t>(299));
}

TEST(ByteBufferTest, FailedGrowthKeepsTheBuffer) {
  CountingManager cm;
  ByteBuffer buffer(&cm.manager);
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(buffer.PushBack(1).ok());
  cm.refuse = true;
  EXPECT_TRUE(buffer.PushBack(2).failed());
  EXPECT_TRUE(buffer.Reserve(500).failed());
  const uint8_t more[3] = {1, 2, 3};
  EXPECT_TRUE(buffer.Append(more, 3).failed());
  EXPECT_EQ(buffer.size(), 64u);
  EXPECT_EQ(buffer.capacity(), 64u);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(buffer[i], 1);
  // Reserving below the contents would drop bytes: refused.
  cm.refuse = false;
  EXPECT_TRUE(buffer.Reserve(10).failed());
  EXPECT_EQ(buffer.size(), 64u);
}

TEST(ByteBufferTest, WithSize) {
  CountingManager cm;
  auto empty = ByteBuffer::WithSize(&cm.manager, 0);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->size(), 0u);
  EXPECT_EQ(empty->data(), nullptr);
  EXPECT_TRUE(cm.sizes.empty());
  auto sized = ByteBuffer::WithSize(&cm.manager, 100);
  ASSERT_TRUE(sized.ok());
  EXPECT_EQ(sized->size(), 100u);
  EXPECT_EQ(sized->capacity(), 100u);
  EXPECT_EQ(sized->data()[0], 0);
  cm.refuse = true;
  EXPECT_TRUE(ByteBuffer::WithSize(&cm.manager, 5).status().failed());
}

TEST(ByteBufferTest, MoveLeavesSourceEmptyButUsable) {
  CountingManager cm;
  {
    ByteBuffer a(&cm.manager);
    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(a.Append(bytes, 5).ok());
    ByteBuffer b(std::move(a));
    EXPECT_EQ(b.size(), 5u);
    EXPECT_EQ(b[4], 5);
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(a.capacity(), 0u);
    EXPECT_EQ(a.manager(), &cm.manager);
    EXPECT_EQ(cm.live, 1);
    ASSERT_TRUE(a.PushBack(7).ok());  // the source still has its manager
    EXPECT_EQ(cm.live, 2);
    b = std::move(a);
    EXPECT_EQ(cm.live, 1);
    EXPECT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0], 7);
  }
  EXPECT_EQ(cm.live, 0);
}

}  // namespace
}  // namespace qov
