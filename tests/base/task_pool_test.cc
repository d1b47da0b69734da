// The parallel-loop convention, inline and through a runner.
#include "lib/base/task_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace qov {
namespace {

// A runner that runs init with 3 threads, then the items in reverse order,
// spreading them over the threads.
int32_t ReverseRunner(void*, void* loop, TaskInitFn init, TaskItemFn item,
                      uint32_t begin, uint32_t end) {
  if (init != nullptr && init(loop, 3) != 0) return -1;
  for (uint32_t i = end; i > begin; --i) item(loop, i - 1, (i - 1) % 3);
  return 0;
}
int32_t FailingRunner(void*, void*, TaskInitFn, TaskItemFn, uint32_t, uint32_t) {
  return 5;
}

TEST(TaskPoolTest, ZeroItemsCallsNothing) {
  int calls = 0;
  const TaskPool pool{ReverseRunner, nullptr};
  for (const TaskPool* p : {static_cast<const TaskPool*>(nullptr), &pool}) {
    EXPECT_TRUE(RunOnPool(
                    p, 0,
                    [&](size_t) {
                      ++calls;
                      return OkStatus();
                    },
                    [&](uint32_t, size_t) {
                      ++calls;
                      return OkStatus();
                    })
                    .ok());
  }
  EXPECT_EQ(calls, 0);
}

TEST(TaskPoolTest, InlineRunsInOrderOnOneThread) {
  std::vector<uint32_t> order;
  size_t threads = 0;
  const TaskPool no_runner{};
  for (const TaskPool* p : {static_cast<const TaskPool*>(nullptr), &no_runner}) {
    order.clear();
    ASSERT_TRUE(RunOnPool(
                    p, 5,
                    [&](size_t n) {
                      threads = n;
                      return OkStatus();
                    },
                    [&](uint32_t i, size_t thread) {
                      EXPECT_EQ(thread, 0u);
                      order.push_back(i);
                      return OkStatus();
                    })
                    .ok());
    EXPECT_EQ(threads, 1u);
    EXPECT_EQ(order, (std::vector<uint32_t>{0, 1, 2, 3, 4}));
  }
  // No init callback at all.
  order.clear();
  ASSERT_TRUE(RunOnPool(nullptr, 3, nullptr, [&](uint32_t i, size_t) {
                order.push_back(i);
                return OkStatus();
              }).ok());
  EXPECT_EQ(order.size(), 3u);
}

TEST(TaskPoolTest, FailingItemStopsLaterItems) {
  const TaskPool runner{ReverseRunner, nullptr};
  struct Case {
    const TaskPool* pool;
    uint32_t failing;
    std::vector<uint32_t> expected_done;
  };
  const Case cases[] = {
      {nullptr, 2, {0, 1, 2}},
      {nullptr, 0, {0}},
      {&runner, 3, {5, 4, 3}},
  };
  for (const Case& c : cases) {
    std::vector<uint32_t> done;
    const Status status = RunOnPool(c.pool, 6, nullptr, [&](uint32_t i, size_t) {
      done.push_back(i);
      return i == c.failing ? FailedStatus() : OkStatus();
    });
    EXPECT_TRUE(status.failed());
    EXPECT_EQ(done, c.expected_done);
  }
}

TEST(TaskPoolTest, InitFailureAndRunnerFailure) {
  int items = 0;
  auto count_items = [&](uint32_t, size_t) {
    ++items;
    return OkStatus();
  };
  auto failing_init = [](size_t) { return FailedStatus(); };
  EXPECT_TRUE(RunOnPool(nullptr, 4, failing_init, count_items).failed());
  const TaskPool reverse{ReverseRunner, nullptr};
  EXPECT_TRUE(RunOnPool(&reverse, 4, failing_init, count_items).failed());
  EXPECT_EQ(items, 0);
  const TaskPool failing{FailingRunner, nullptr};
  EXPECT_TRUE(RunOnPool(&failing, 4, nullptr, count_items).failed());

  // Per-thread scratch sized by the thread count the init receives.
  std::vector<int> per_thread;
  ASSERT_TRUE(RunOnPool(
                  &reverse, 7,
                  [&](size_t n) {
                    per_thread.assign(n, 0);
                    return OkStatus();
                  },
                  [&](uint32_t, size_t thread) {
                    ++per_thread.at(thread);
                    return OkStatus();
                  })
                  .ok());
  EXPECT_EQ(per_thread, (std::vector<int>{3, 2, 2}));
}

}  // namespace
}  // namespace qov
