// Deterministic stages for comparing the group-by-group pipeline with the
// whole-frame one: every output depends on its position and on each input
// sample it reads, and applying a stage twice changes the result.
#ifndef QOV_TESTS_RENDER_LOW_MEMORY_TEST_STAGES_H_
#define QOV_TESTS_RENDER_LOW_MEMORY_TEST_STAGES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lib/render/render_pipeline.h"

namespace qov::lowmem_test {

// Samples written by the final stage, one plane per channel, with a count
// per sample (distinct threads only ever write distinct samples).
struct Capture {
  Capture(size_t channels, size_t w, size_t h)
      : xsize(w), ysize(h), samples(channels, std::vector<float>(w * h, 0.f)),
        writes(channels, std::vector<uint8_t>(w * h, 0)) {}
  size_t xsize, ysize;
  std::vector<std::vector<float>> samples;
  std::vector<std::vector<uint8_t>> writes;
  bool bad_write = false;  // outside the capture, or with extras
};

// kSeparateOutput for the channels in `mask`: a weighted window of
// (2 bx + 1) x (2 by + 1) input samples, upscaled by (sx, sy) with each
// output phase taking its own neighbour.
std::unique_ptr<RenderPipelineStage> MakeFilterStage(uint32_t mask, uint64_t bx,
                                                     uint64_t by, uint64_t sx = 0,
                                                     uint64_t sy = 0);
// kModifyRows for `mask`: x -> 0.75 x + f(position, channel).
std::unique_ptr<RenderPipelineStage> MakeShadeStage(uint32_t mask);
// kModifyRows for channel `to`, kReadOnly for channel `from`.
std::unique_ptr<RenderPipelineStage> MakeMixStage(size_t to, size_t from);
// kModifyRows for channels a and b, each taking a share of the other.
std::unique_ptr<RenderPipelineStage> MakeCrossStage(size_t a, size_t b);
// Uses image coordinates: kModifyRows for every channel, fills the image
// outside the frame with a position pattern.
std::unique_ptr<RenderPipelineStage> MakeCompositeStage(size_t channels,
                                                        size_t image_w, size_t image_h,
                                                        int32_t x0, int32_t y0);
// kReadOnly for every channel: stores the rows into `capture` (refuses extras).
std::unique_ptr<RenderPipelineStage> MakeCaptureStage(size_t channels,
                                                      Capture* capture);
// kModifyRows for channel 0; its n-th call (counting from 0) fails.
std::unique_ptr<RenderPipelineStage> MakeFailingStage(int fail_at);

}  // namespace qov::lowmem_test

#endif  // QOV_TESTS_RENDER_LOW_MEMORY_TEST_STAGES_H_
