// The whole-frame pipeline: one float plane per channel holds the decoded
// frame; each time every group has been submitted once more, the stages run
// one after the other over the whole frame.
#ifndef QOV_LIB_RENDER_SIMPLE_RENDER_PIPELINE_H_
#define QOV_LIB_RENDER_SIMPLE_RENDER_PIPELINE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/render/render_pipeline.h"

namespace qov {

// Planes keep a margin of kPlaneMargin samples on every side: sample (x, y)
// of a channel is at plane column x + 32, row y + 32.
//
// The group planes hold the decoded samples and are never changed by a
// render: every render works on copies, so a later render (a further pass
// of a progressive frame) starts again from the decoded samples.
//
// Working planes come from a pool that keeps the planes of earlier renders
// (and of earlier stages of the same render), so that a render after the
// first allocates nothing.
//
// Concurrency: groups write disjoint rectangles of the shared planes. A
// render runs inside the Submit that made it due, on that thread; exactly
// one submission claims each due render. Submissions must not overlap with
// a render.
class SimpleRenderPipeline : public RenderPipeline {
 public:
  static constexpr uint64_t kPlaneMargin = 32;

  explicit SimpleRenderPipeline(const QovMemoryManagerStruct* manager)
      : RenderPipeline(manager) {}
  ~SimpleRenderPipeline() override;

  // The whole-frame planes and the group's rectangle in them; the thread id
  // is ignored. Rectangles of size 0 before set-up or for a group id beyond
  // the grid.
  std::vector<GroupBuffer> AcquireGroupBuffers(uint64_t group_id,
                                               uint64_t thread_id) override;
  // Renders the whole frame when every group has been submitted more often
  // than the frame has been rendered; otherwise does nothing.
  Status RenderGroup(uint64_t group_id, uint64_t thread_id) override;
  // Makes the group planes (once; a failed attempt leaves none) and the
  // reusable row sets.
  Status SetUpThreadsImpl(size_t num_threads, bool use_group_ids) override;

  // Renders started so far.
  uint64_t renders_done() const { return renders_done_.load(); }

  std::vector<PlaneF> channel_planes;  // decoded samples, one per channel

 private:
  Status RenderFrame(uint64_t thread_id);
  // The phases of RenderFrame. Working copies of the decoded samples in
  // planes that hold max_x x max_y.
  Status CopyDecodedPlanes(uint64_t max_x, uint64_t max_y, std::vector<PlaneF>* work);
  // Runs stage s over the working planes; its output planes take the place
  // of the channels it writes anew, and every channel is then sized for the
  // next stage. *xsize x *ysize: the extent of the channels the stage used.
  Status RunStage(size_t s, const FrameGeometry& geo, uint64_t max_x, uint64_t max_y,
                  uint64_t thread_id, std::vector<PlaneF>& work, uint64_t* xsize,
                  uint64_t* ysize);
  // After a stage in image coordinates: image planes filled by its padding
  // rows with the frame (xsize x ysize) copied in at its origin replace the
  // working planes; geo and the plane limits become the image's.
  Status PlaceInImage(const RenderPipelineStage& stage, uint64_t xsize, uint64_t ysize,
                      std::vector<PlaneF>& work, FrameGeometry* geo, uint64_t* max_x,
                      uint64_t* max_y);
  // Whether every group has been submitted more often than `done` renders
  // (counted modulo 256, as the counters are).
  bool RoundComplete(uint64_t done) const;
  // A working plane for channels of up to max_x x max_y, from the pool when
  // one of that size is there.
  StatusOr<PlaneF> TakePlane(uint64_t max_x, uint64_t max_y);
  void GivePlane(PlaneF&& plane);

  std::atomic<uint64_t> renders_done_{0};
  // Row pointers of the render, sized at set-up and reused row after row.
  ChannelRowSet input_rows_;
  ChannelRowSet output_rows_;
  std::vector<PlaneF> spare_planes_;
};

}  // namespace qov

#endif  // QOV_LIB_RENDER_SIMPLE_RENDER_PIPELINE_H_
