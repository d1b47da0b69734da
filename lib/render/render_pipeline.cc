// The assembler's derivations and the pipeline base's shared operations.
#include "lib/render/render_pipeline.h"

#include <atomic>

namespace qov {

namespace {

// value / 2^shift rounded up, for any shift.
uint64_t CeilShift(uint64_t value, uint64_t shift) {
  if (shift >= 63) return value == 0 ? 0 : 1;
  return (value >> shift) + ((value & ((uint64_t{1} << shift) - 1)) != 0);
}

}  // namespace

RenderPipeline::~RenderPipeline() {
  group_submissions = std::vector<uint8_t>();
  input_padding = std::vector<ChannelPairs>();
  channel_shifts = std::vector<ChannelPairs>();
  for (auto& stage : stages) stage.reset();
}

Status RenderPipeline::SetUpThreads(size_t num_threads, bool use_group_ids) {
  for (auto& stage : stages) {
    QOV_RETURN_IF_ERROR(stage->SetUpForThreads(num_threads));
  }
  return SetUpThreadsImpl(num_threads, use_group_ids);
}

GroupRenderInput RenderPipeline::OpenGroupInput(uint64_t group_id,
                                                uint64_t thread_id) {
  GroupRenderInput input;
  input.pipeline = this;
  input.group_id = group_id;
  input.thread_id = thread_id;
  input.buffers = AcquireGroupBuffers(group_id, thread_id);
  return input;
}

uint8_t RenderPipeline::SubmissionCount(uint64_t g) const {
  // Counters are only ever changed through atomic references.
  uint8_t& counter = const_cast<uint8_t&>(group_submissions[g]);
  return std::atomic_ref<uint8_t>(counter).load();
}

Status GroupRenderInput::Submit() {
  if (pipeline == nullptr) return FailedStatus();
  if (group_id >= pipeline->group_submissions.size()) return FailedStatus();
  // Release: the group's samples are visible to whoever sees the new count.
  std::atomic_ref<uint8_t>(pipeline->group_submissions[group_id]).fetch_add(1);
  return pipeline->RenderGroup(group_id, thread_id);
}

RenderPipelineAssembler::~RenderPipelineAssembler() {
  for (auto& stage : stages) stage.reset();
}

Status RenderPipelineAssembler::Append(
    std::unique_ptr<RenderPipelineStage> stage) {
  if (stage == nullptr) return FailedStatus();
  stages.push_back(std::move(stage));
  return OkStatus();
}

StatusOr<std::unique_ptr<RenderPipeline>> RenderPipelineAssembler::Assemble(
    const FrameGeometry& geometry) {
  if (stages.empty()) return FailedStatus();
  const RenderPipelineStage& last = *stages.back();
  for (uint64_t c = 0; c < num_channels; ++c) {
    if (last.ChannelModeOf(c) == RowChannelMode::kSeparateOutput) {
      return FailedStatus();
    }
  }

  std::unique_ptr<RenderPipeline> pipeline =
      prefer_simple ? MakeSimpleRenderPipeline(memory_manager)
                    : MakeLowMemoryRenderPipeline(memory_manager);
  if (pipeline == nullptr) return FailedStatus();

  const size_t n = stages.size();
  // Input padding, from the last stage backwards.
  pipeline->input_padding.assign(n, ChannelPairs(num_channels, {0, 0}));
  for (size_t i = n - 1; i-- > 0;) {
    const StageGeometry& g = stages[i]->geometry();
    for (uint64_t c = 0; c < num_channels; ++c) {
      const auto& next = pipeline->input_padding[i + 1][c];
      auto& entry = pipeline->input_padding[i][c];
      if (stages[i]->ChannelModeOf(c) == RowChannelMode::kSeparateOutput) {
        entry.first = CeilShift(next.first, g.shift_x) + g.border_x;
        entry.second = CeilShift(next.second, g.shift_y) + g.border_y;
      } else {
        entry = next;
      }
    }
  }

  pipeline->frame_geometry = geometry;
  pipeline->group_submissions.assign(geometry.num_groups, 0);

  // Channel shifts, forwards.
  pipeline->channel_shifts.assign(n, ChannelPairs(num_channels, {0, 0}));
  for (uint64_t c = 0; c < num_channels; ++c) {
    auto& first = pipeline->channel_shifts[0][c];
    for (size_t i = 0; i + 1 < n; ++i) {
      if (stages[i]->ChannelModeOf(c) == RowChannelMode::kSeparateOutput) {
        first.first += stages[i]->geometry().shift_x;
        first.second += stages[i]->geometry().shift_y;
      }
    }
    for (size_t j = 1; j < n; ++j) {
      auto entry = pipeline->channel_shifts[j - 1][c];
      if (stages[j - 1]->ChannelModeOf(c) == RowChannelMode::kSeparateOutput) {
        entry.first -= stages[j - 1]->geometry().shift_x;
        entry.second -= stages[j - 1]->geometry().shift_y;
      }
      pipeline->channel_shifts[j][c] = entry;
    }
  }

  pipeline->stages = std::move(stages);
  stages.clear();

  QOV_RETURN_IF_ERROR(pipeline->Configure());
  return StatusOr<std::unique_ptr<RenderPipeline>>(std::move(pipeline));
}

}  // namespace qov
