// The parallel-loop convention: an item count with an initialisation
// callback (told the thread count, so it can size per-thread scratch) and a
// per-item callback (told its thread index). Without a runner the items run
// in order on the calling thread. A failing item sets a shared flag by
// atomic exchange and every later item returns at once.
#ifndef QOV_LIB_BASE_TASK_POOL_H_
#define QOV_LIB_BASE_TASK_POOL_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "lib/base/status.h"

namespace qov {

// Non-zero result: failure. Sizes per-thread scratch by thread_count.
typedef int32_t (*TaskInitFn)(void* loop_opaque, uint64_t thread_count);
// Runs item `item` on thread `thread` (0 <= thread < thread_count).
typedef void (*TaskItemFn)(void* loop_opaque, uint32_t item, uint64_t thread);
// Runs init once, then item for every index in [begin, end), possibly
// concurrently. Non-zero result: failure.
typedef int32_t (*TaskPoolRunner)(void* runner_opaque, void* loop_opaque,
                                  TaskInitFn init, TaskItemFn item,
                                  uint32_t begin, uint32_t end);

struct TaskPool {
  TaskPoolRunner runner = nullptr;  // null: run inline
  void* runner_opaque = nullptr;

  // The loop convention with C callbacks. `failed` is the loop's shared
  // failure flag (read by items, set to 1 by atomic exchange on failure);
  // Run clears it first. With no pool or no runner: init(opaque, 1), then
  // items 0..count-1 in order on this thread. Failed when the runner or init
  // fails or the flag is set at the end. count = 0 calls nothing.
  static Status Run(const TaskPool* pool, uint32_t count, TaskInitFn init,
                    TaskItemFn item, void* loop_opaque,
                    std::atomic<uint32_t>* failed) {
    if (count == 0) return OkStatus();
    failed->store(0, std::memory_order_relaxed);
    if (pool != nullptr && pool->runner != nullptr) {
      const int32_t result =
          pool->runner(pool->runner_opaque, loop_opaque, init, item, 0, count);
      if (result != 0 || failed->load(std::memory_order_relaxed) != 0) {
        return FailedStatus();
      }
      return OkStatus();
    }
    if (init != nullptr && init(loop_opaque, 1) != 0) {
      failed->exchange(1);
      return FailedStatus();
    }
    for (uint32_t i = 0; i < count; ++i) item(loop_opaque, i, 0);
    return failed->load(std::memory_order_relaxed) != 0 ? FailedStatus()
                                                        : OkStatus();
  }
};

// The same convention with C++ callables:
//   init(size_t thread_count) -> Status     (may be omitted: pass nullptr)
//   item(uint32_t index, size_t thread) -> Status
// Items run only while no item has failed. Returns Failed on any failure.
template <typename InitFunc, typename ItemFunc>
Status RunOnPool(const TaskPool* pool, uint32_t count, InitFunc&& init,
                 ItemFunc&& item) {
  struct Loop {
    std::remove_reference_t<InitFunc>* init;
    std::remove_reference_t<ItemFunc>* item;
    std::atomic<uint32_t> failed{0};
  };
  Loop loop{&init, &item};
  TaskInitFn init_fn = nullptr;
  if constexpr (!std::is_same_v<std::decay_t<InitFunc>, std::nullptr_t>) {
    init_fn = [](void* opaque, uint64_t threads) -> int32_t {
      Loop* l = static_cast<Loop*>(opaque);
      if (!(*l->init)(static_cast<size_t>(threads)).ok()) {
        l->failed.exchange(1);
        return -1;
      }
      return 0;
    };
  }
  const TaskItemFn item_fn = [](void* opaque, uint32_t i, uint64_t thread) {
    Loop* l = static_cast<Loop*>(opaque);
    if (l->failed.load(std::memory_order_relaxed) != 0) return;
    if (!(*l->item)(i, static_cast<size_t>(thread)).ok()) l->failed.exchange(1);
  };
  return TaskPool::Run(pool, count, init_fn, item_fn, &loop, &loop.failed);
}

}  // namespace qov

#endif  // QOV_LIB_BASE_TASK_POOL_H_
