// The frame-level render framework: the assembler that checks a frame's
// stage list and derives paddings and channel shifts, the abstract pipeline
// that the frame decoders feed group by group, and the group input handle.
#ifndef QOV_LIB_RENDER_RENDER_PIPELINE_H_
#define QOV_LIB_RENDER_RENDER_PIPELINE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/bitstream/frame_header.h"
#include "lib/color/xyb.h"  // PixelRect
#include "lib/render/render_stage.h"
#include "qov/qov.h"

namespace qov {

class RenderPipeline;

// One channel's share of a group: sample (x, y) of the group belongs at
// column rect.x0 + x, row rect.y0 + y of the float plane (owned by the
// pipeline). rect.xsize/ysize are the group's size in the channel, cut at
// the channel's frame edge (0 for a group wholly outside a small channel).
struct GroupBuffer {
  PlaneStorage* plane = nullptr;
  PixelRect rect;

  // Sample (0, y) of the group.
  float* Row(size_t y) const {
    return reinterpret_cast<float*>(plane->RowBytes(rect.y0 + y)) + rect.x0;
  }
};

// One (x, y) pair per channel.
using ChannelPairs = std::vector<std::pair<uint64_t, uint64_t>>;

// The handle through which a group decoder writes one group's samples.
// Owns only its buffer list; dropping it renders nothing.
class GroupRenderInput {
 public:
  // Counts one more submission of the group and lets the pipeline render
  // what that makes possible. Failed without a pipeline or for a group id
  // not below the group count (nothing counted then).
  Status Submit();

  RenderPipeline* pipeline = nullptr;  // not owned
  uint64_t group_id = 0;
  uint64_t thread_id = 0;
  std::vector<GroupBuffer> buffers;  // one per pipeline channel
};

// Abstract base of the whole-frame and the low-memory pipelines.
class RenderPipeline {
 public:
  explicit RenderPipeline(const QovMemoryManagerStruct* manager)
      : memory_manager(manager) {}
  // Releases the counters, paddings and shifts, then the stages first to
  // last.
  virtual ~RenderPipeline();
  RenderPipeline(const RenderPipeline&) = delete;
  RenderPipeline& operator=(const RenderPipeline&) = delete;

  // Forgets what was rendered of a group before its further passes are
  // decoded. Runs while no group task runs.
  virtual void ForgetGroup(uint64_t /*group_id*/) {}
  // One entry per channel; the same ids (the same buffer set) always give
  // the same planes.
  virtual std::vector<GroupBuffer> AcquireGroupBuffers(uint64_t group_id,
                                                       uint64_t thread_id) = 0;
  // Renders what the group's new submission made possible.
  virtual Status RenderGroup(uint64_t group_id, uint64_t thread_id) = 0;
  // Prepares buffers for num_threads threads, or one set per group.
  virtual Status SetUpThreadsImpl(size_t num_threads, bool use_group_ids) = 0;
  // Called once by the assembler when the stages, shifts and paddings are in
  // place; a failure fails the assembly.
  virtual Status Configure() { return OkStatus(); }

  // Every stage's SetUpForThreads in order (stopping at the first failure),
  // then SetUpThreadsImpl. Runs while no group task runs.
  Status SetUpThreads(size_t num_threads, bool use_group_ids);

  // The handle for one group, with the buffers of AcquireGroupBuffers.
  // May run on several threads at once, for different groups.
  GroupRenderInput OpenGroupInput(uint64_t group_id, uint64_t thread_id);

  // Submission counter of group g, safe to read while other groups submit.
  uint8_t SubmissionCount(uint64_t g) const;

  const QovMemoryManagerStruct* memory_manager;  // not owned
  std::vector<std::unique_ptr<RenderPipelineStage>> stages;
  // Per stage, per channel: log2 upscaling still to come between the
  // stage's input and the pipeline's output.
  std::vector<ChannelPairs> channel_shifts;
  // Per stage, per channel: samples beyond a group's rectangle, on each
  // side, that the stage's input must cover.
  std::vector<ChannelPairs> input_padding;
  FrameGeometry frame_geometry;
  // Per group, submissions modulo 256. Changed only by
  // GroupRenderInput::Submit (atomically); read through SubmissionCount.
  std::vector<uint8_t> group_submissions;
};

// Collects a frame's stages and turns them into a pipeline.
class RenderPipelineAssembler {
 public:
  RenderPipelineAssembler(const QovMemoryManagerStruct* manager,
                          uint64_t channels, bool simple)
      : memory_manager(manager), num_channels(channels), prefer_simple(simple) {}
  // Destroys the stages still held, first to last.
  ~RenderPipelineAssembler();
  RenderPipelineAssembler(const RenderPipelineAssembler&) = delete;
  RenderPipelineAssembler& operator=(const RenderPipelineAssembler&) = delete;

  // Takes the stage. Failed for a missing stage (its factory made none);
  // nothing is appended then.
  Status Append(std::unique_ptr<RenderPipelineStage> stage);

  // Checks the list (not empty; the last stage writes no separate output),
  // makes the pipeline, derives input paddings and channel shifts, copies the
  // geometry, sizes the submission counters, moves the stages in and runs
  // Configure. On failure the stages are destroyed with the pipeline (or
  // stay in the assembler when the list was refused).
  StatusOr<std::unique_ptr<RenderPipeline>> Assemble(
      const FrameGeometry& geometry);

  const QovMemoryManagerStruct* memory_manager;  // not owned
  std::vector<std::unique_ptr<RenderPipelineStage>> stages;
  uint64_t num_channels;
  bool prefer_simple;
};

// The two implementations, made empty; the assembler fills the base fields.
// Null when the implementation cannot be made.
std::unique_ptr<RenderPipeline> MakeSimpleRenderPipeline(
    const QovMemoryManagerStruct* manager);
std::unique_ptr<RenderPipeline> MakeLowMemoryRenderPipeline(
    const QovMemoryManagerStruct* manager);

}  // namespace qov

#endif  // QOV_LIB_RENDER_RENDER_PIPELINE_H_
