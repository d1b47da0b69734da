// Pipeline building while the builder does not exist: an inert pipeline
// that hands out no buffers and renders nothing. Reached only by frames
// whose sections were decoded, which the declining section content decoder
// never allows.
#include "lib/frame/frame_decoding_state.h"

namespace qov {

namespace {

class InertRenderPipeline : public RenderPipeline {
 public:
  explicit InertRenderPipeline(const QovMemoryManagerStruct* manager)
      : RenderPipeline(manager) {}
  std::vector<GroupBuffer> AcquireGroupBuffers(uint64_t /*group_id*/,
                                               uint64_t /*thread_id*/) override {
    return {};
  }
  Status RenderGroup(uint64_t /*group_id*/, uint64_t /*thread_id*/) override {
    return OkStatus();
  }
  Status SetUpThreadsImpl(size_t /*num_threads*/,
                          bool /*use_group_ids*/) override {
    return OkStatus();
  }
};

}  // namespace

Status FrameDecodingState::BuildRenderPipeline(
    const FrameHeader& /*header*/, const CodecMetadata& /*metadata*/,
    ImageBundle* /*decoded*/, const RenderOptions& /*options*/) {
  render_pipeline = std::make_unique<InertRenderPipeline>(memory_manager);
  return OkStatus();
}

}  // namespace qov
