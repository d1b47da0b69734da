// Test kit for render pipelines: mock stages described as data, the same
// chains computed directly on whole images for comparison, a capturing
// final stage, group feeding, a threaded task runner and a memory manager
// that refuses the k-th allocation.
#ifndef QOV_TESTS_RENDER_RENDER_TEST_KIT_HELPERS_H_
#define QOV_TESTS_RENDER_RENDER_TEST_KIT_HELPERS_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/base/status.h"
#include "lib/base/task_pool.h"
#include "lib/bitstream/frame_header.h"
#include "lib/render/render_pipeline.h"
#include "lib/render/render_stage.h"
#include "qov/qov.h"
#include "tests/support/direct_upsample.h"

namespace qov::test {

// Frame geometry as the frame header derives it (no chroma subsampling):
// upsampled size, upsampling factor (1, 2, 4, 8), group size shift (group
// dimension 128 << shift), VarDCT (padded to blocks) or modular.
FrameGeometry MakeTestGeometry(uint64_t xsize_upsampled,
                               uint64_t ysize_upsampled,
                               uint64_t upsampling = 1,
                               uint32_t group_size_shift = 1,
                               bool vardct = true);

enum class MockKind {
  kBox,          // kSeparateOutput mean over (2 param + 1)^2, border param
  kUpsample,     // kSeparateOutput, shift param (1 or 3), border 2
  kAddConstant,  // kModifyRows, adds value
  kCoordinates,  // kModifyRows, writes x + 4096 y of its input coordinates
  kOverreach,    // kModifyRows, adds value and writes 1e30 into the vector
                 // after its span (and before it, where extra_left is
                 // rounded up to 8)
  kImage,        // kModifyRows for all, uses image coordinates: padding
                 // rows take value; the frame sits at (x0, y0)
};

struct MockStageDef {
  MockKind kind = MockKind::kAddConstant;
  std::vector<size_t> channels;  // the channels the stage uses
  uint64_t param = 0;
  float value = 0.0f;
  bool poison = false;  // kUpsample: writes 1e30 into 7 << shift output
                        // samples past its end
  uint64_t image_xsize = 0, image_ysize = 0;  // kImage
  int32_t x0 = 0, y0 = 0;                     // kImage
};

std::unique_ptr<RenderPipelineStage> MakeMockStage(const MockStageDef& def);

// Applies the chain directly to whole channels (mirrored at the edges and
// trimmed between stages as pipelines trim them) and returns each channel
// as the last stage sees it. upsampled_* are the frame's upsampled sizes.
std::vector<TestPlane> RenderReference(const std::vector<MockStageDef>& defs,
                                       size_t num_channels,
                                       std::vector<TestPlane> inputs,
                                       uint64_t xsize_upsampled,
                                       uint64_t ysize_upsampled);

// The channel sizes at the pipeline's input for a chain.
std::vector<std::pair<uint64_t, uint64_t>> InputSizes(
    const std::vector<MockStageDef>& defs, size_t num_channels,
    uint64_t xsize_upsampled, uint64_t ysize_upsampled);

// Deterministic inputs of the given sizes (seeded, distinct per channel).
std::vector<TestPlane> MakeInputs(
    const std::vector<std::pair<uint64_t, uint64_t>>& sizes, uint32_t seed);

// Final kReadOnly stage recording every sample of its span per channel
// (extras excluded) and how often each was written. Sizes come from
// AcceptInputSizes, which clears the record.
class CaptureStage : public RenderPipelineStage {
 public:
  explicit CaptureStage(size_t num_channels)
      : RenderPipelineStage(StageGeometry{}), planes(num_channels),
        writes(num_channels) {}
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c < planes.size() ? RowChannelMode::kReadOnly
                             : RowChannelMode::kNotUsed;
  }
  Status AcceptInputSizes(const ChannelSizes& input_sizes) override;
  const char* StageName() const override { return "Capture"; }

  // True when every sample of every channel was written exactly once.
  bool AllWrittenOnce() const;

  // Written by RenderRow on disjoint rows of many threads.
  mutable std::vector<TestPlane> planes;
  mutable std::vector<std::vector<uint8_t>> writes;
  uint64_t accept_calls = 0;
};

// A stage for framework checks: declared modes and geometry, a shared log
// of calls ("Name.SetUp(3)", "Name.Accept", "~Name"), and failures on
// request. Rows are only counted.
class ProbeStage : public RenderPipelineStage {
 public:
  ProbeStage(std::string name, std::vector<RowChannelMode> modes,
             StageGeometry geometry, std::vector<std::string>* log = nullptr)
      : RenderPipelineStage(geometry), name_(std::move(name)),
        modes_(std::move(modes)), log_(log) {}
  ~ProbeStage() override;
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c < modes_.size() ? modes_[c] : RowChannelMode::kNotUsed;
  }
  Status SetUpForThreads(size_t num_threads) override;
  Status AcceptInputSizes(const ChannelSizes& input_sizes) override;
  const char* StageName() const override { return name_.c_str(); }

  bool fail_set_up = false;
  bool fail_accept = false;
  int64_t fail_row = -1;  // RenderRow fails for this ypos
  mutable std::atomic<uint64_t> rows{0};
  std::vector<ChannelSizes> accepted;

 private:
  std::string name_;
  std::vector<RowChannelMode> modes_;
  std::vector<std::string>* log_;
};

// Writes every group of the frame from `inputs` (whole channels at the
// pipeline's input resolution) into the buffers of OpenGroupInput and
// submits it. Groups are taken in the given order (all when empty).
// Returns the first failure.
Status FeedGroups(RenderPipeline* pipeline,
                  const std::vector<TestPlane>& inputs,
                  const std::vector<uint64_t>& order = {},
                  uint64_t thread_id = 0);
// Writes one group without submitting; returns its handle.
GroupRenderInput WriteGroup(RenderPipeline* pipeline,
                            const std::vector<TestPlane>& inputs,
                            uint64_t group_id, uint64_t thread_id);

// Position of group g's first sample in a channel with these shifts.
std::pair<uint64_t, uint64_t> GroupOrigin(const FrameGeometry& geometry,
                                          uint64_t g, uint64_t shift_x,
                                          uint64_t shift_y);

// A runner with real threads: init(threads), then items taken from a shared
// counter by every thread.
class ThreadedRunner {
 public:
  explicit ThreadedRunner(size_t threads) : threads_(threads) {}
  TaskPool pool() { return TaskPool{&Run, this}; }
  size_t threads() const { return threads_; }

 private:
  static int32_t Run(void* runner_opaque, void* loop_opaque, TaskInitFn init,
                     TaskItemFn item, uint32_t begin, uint32_t end);
  size_t threads_;
};

// A thread-safe manager on the heap that refuses exactly the k-th
// allocation (1-based; 0 refuses none) and counts the live ones.
struct FailingManager {
  explicit FailingManager(int64_t fail_at = 0) : fail_at(fail_at) {}
  FailingManager(const FailingManager&) = delete;
  FailingManager& operator=(const FailingManager&) = delete;

  QovMemoryManagerStruct manager{this, &Alloc, &Free};
  int64_t fail_at;
  std::atomic<int64_t> attempts{0};
  std::atomic<int64_t> live{0};
  std::atomic<bool> refused{false};

  static void* Alloc(void* opaque, uint64_t size);
  static void Free(void* opaque, void* address);
};

}  // namespace qov::test

#endif  // QOV_TESTS_RENDER_RENDER_TEST_KIT_HELPERS_H_
