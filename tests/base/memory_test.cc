// Memory-manager set-up, aligned-block placement and ownership.
#include "lib/base/memory.h"
#include "tests/support/counting_manager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace qov {
namespace {

using test::CountingManager;

void* OtherAlloc(void*, uint64_t) { return nullptr; }
void OtherFree(void*, void*) {}

TEST(MemoryManagerTest, SetUp) {
  int token = 0;
  struct Case {
    const char* name;
    bool given;
    QovAllocFunc alloc;
    QovFreeFunc free;
    bool ok;
    QovAllocFunc expect_alloc;
    QovFreeFunc expect_free;
  };
  const Case cases[] = {
      {"none given", false, nullptr, nullptr, true, DefaultAllocate, DefaultRelease},
      {"neither callback", true, nullptr, nullptr, true, DefaultAllocate, DefaultRelease},
      {"both callbacks", true, OtherAlloc, OtherFree, true, OtherAlloc, OtherFree},
      {"alloc only", true, OtherAlloc, nullptr, false, OtherAlloc, nullptr},
      {"free only", true, nullptr, OtherFree, false, nullptr, OtherFree},
  };
  for (const Case& c : cases) {
    QovMemoryManagerStruct given{&token, c.alloc, c.free};
    QovMemoryManagerStruct target{nullptr, nullptr, nullptr};
    const Status status = SetUpMemoryManager(&target, c.given ? &given : nullptr);
    EXPECT_EQ(status.ok(), c.ok) << c.name;
    EXPECT_EQ(status.failed(), !c.ok) << c.name;
    EXPECT_EQ(target.alloc, c.expect_alloc) << c.name;
    EXPECT_EQ(target.free, c.expect_free) << c.name;
    EXPECT_EQ(target.opaque, c.given ? &token : nullptr) << c.name;
  }
  QovMemoryManagerStruct defaults;
  ASSERT_TRUE(SetUpMemoryManager(&defaults, nullptr).ok());
  void* p = ManagerAllocate(&defaults, 100);
  ASSERT_NE(p, nullptr);
  std::memset(p, 1, 100);
  ManagerRelease(&defaults, p);
}

uint64_t OffsetOf(const AlignedBlock& block) {
  return reinterpret_cast<uintptr_t>(block.data()) % AlignedBlock::kBoundary;
}

TEST(AlignedBlockTest, PlacementAndHeadroom) {
  CountingManager cm;
  for (uint64_t headroom : {0, 1, 127, 128, 1000, 2047, 2048}) {
    for (uint64_t size : {0, 1, 100, 5000}) {
      auto block = AlignedBlock::Create(&cm.manager, size, headroom);
      ASSERT_TRUE(block.ok()) << headroom << " " << size;
      const uint8_t* raw = static_cast<const uint8_t*>(block->raw());
      const uint8_t* data = block->data();
      EXPECT_EQ(cm.sizes.back(), size + headroom + 2048);
      EXPECT_GE(data, raw + headroom);
      EXPECT_LT(static_cast<uint64_t>(data - raw), headroom + 2048);
      EXPECT_LE(data + size, raw + cm.sizes.back());
      EXPECT_EQ(OffsetOf(*block) % 128, 0u);
      // The whole usable range and the headroom can be touched.
      std::memset(block->data() - headroom, 0x5C, headroom + size);
    }
  }
  EXPECT_EQ(cm.live, 0);
}

TEST(AlignedBlockTest, RefusedRequests) {
  CountingManager cm;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  struct Case {
    const QovMemoryManagerStruct* manager;
    uint64_t size, headroom;
  };
  const Case cases[] = {
      {&cm.manager, 10, 2049},
      {&cm.manager, kMax, 0},
      {&cm.manager, kMax - 2048, 0},
      {&cm.manager, kMax - 4000, 2048},
      {nullptr, 10, 0},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(AlignedBlock::Create(c.manager, c.size, c.headroom).status().failed());
  }
  EXPECT_TRUE(cm.sizes.empty());
  cm.refuse = true;
  EXPECT_TRUE(AlignedBlock::Create(&cm.manager, 10, 0).status().failed());
}

// Successive blocks rotate through the 16 offsets; a refused allocation does
// not take an offset.
TEST(AlignedBlockTest, OffsetsRotate) {
  CountingManager cm;
  auto first = AlignedBlock::Create(&cm.manager, 64, 0);
  ASSERT_TRUE(first.ok());
  uint64_t previous = OffsetOf(*first);
  for (int i = 0; i < 40; ++i) {
    if (i % 5 == 2) {
      cm.refuse = true;
      ASSERT_FALSE(AlignedBlock::Create(&cm.manager, 64, 0).ok());
      cm.refuse = false;
    }
    auto block = AlignedBlock::Create(&cm.manager, 64, i % 3 == 0 ? 300 : 0);
    ASSERT_TRUE(block.ok());
    EXPECT_EQ(OffsetOf(*block), (previous + 128) % 2048) << i;
    previous = OffsetOf(*block);
  }
}

TEST(AlignedBlockTest, MovesTransferOwnership) {
  CountingManager cm;
  {
    auto made = AlignedBlock::Create(&cm.manager, 16, 0);
    ASSERT_TRUE(made.ok());
    AlignedBlock a = std::move(made).value();
    uint8_t* data = a.data();
    AlignedBlock b(std::move(a));
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(b.data(), data);
    EXPECT_EQ(cm.live, 1);

    auto other = AlignedBlock::Create(&cm.manager, 16, 0);
    ASSERT_TRUE(other.ok());
    AlignedBlock c = std::move(other).value();
    EXPECT_EQ(cm.live, 2);
    c = std::move(b);  // releases c's own block
    EXPECT_EQ(cm.live, 1);
    EXPECT_EQ(c.data(), data);
    EXPECT_TRUE(b.empty());

    AlignedBlock& alias = c;
    c = std::move(alias);  // self-assignment changes nothing
    EXPECT_EQ(c.data(), data);
    EXPECT_EQ(cm.live, 1);
    b = std::move(a);  // empty into empty
  }
  EXPECT_EQ(cm.live, 0);
  EXPECT_EQ(cm.frees, 2);
}

// Sizes around the point where the default heap switches to huge-page
// aligned blocks: every block is usable end to end and released by the
// default release; the large ones start at a 2 MiB boundary on Linux.
TEST(MemoryManagerTest, DefaultHeapLargeBlocks) {
  constexpr uint64_t kMiB = uint64_t{1} << 20;
  const uint64_t sizes[] = {1, 4 * kMiB - 1, 4 * kMiB, 4 * kMiB + 4097, 9 * kMiB};
  for (const uint64_t size : sizes) {
    SCOPED_TRACE(size);
    void* p = DefaultAllocate(nullptr, size);
    ASSERT_NE(p, nullptr);
    uint8_t* bytes = static_cast<uint8_t*>(p);
    std::memset(bytes, 0x5a, size);
    EXPECT_EQ(bytes[0], 0x5a);
    EXPECT_EQ(bytes[size - 1], 0x5a);
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
    if (size >= 4 * kMiB) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (2 * kMiB), 0u);
    }
#endif
    DefaultRelease(nullptr, p);
  }
  // Sizes beyond the address space fail instead of wrapping.
  EXPECT_EQ(DefaultAllocate(nullptr, UINT64_MAX), nullptr);
}

}  // namespace
}  // namespace qov
