// Squeeze: the multi-resolution transform. Default steps, the channel-list
// step before decoding, and the undo with its kernels (SIMD, dispatched per
// group of rows or strip of columns, with scalar references).
#ifndef QOV_LIB_MODULAR_SQUEEZE_H_
#define QOV_LIB_MODULAR_SQUEEZE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/base/task_pool.h"
#include "lib/modular/transform.h"

namespace qov {

class ModularImage;

// The channel list may grow through squeeze steps to at most this many
// channels plus kSqueezeChannelsPerFilledChannel per channel that holds
// samples. Encoders make channels without samples only for channels much
// smaller than the first one, a few per channel; the bound keeps a short
// header from asking for millions of empty channels.
inline constexpr uint64_t kSqueezeChannelAllowance = 1024;
inline constexpr uint64_t kSqueezeChannelsPerFilledChannel = 4;

// Replaces `steps` by the default list for the image.
void BuildDefaultSqueezeSteps(std::vector<SqueezeParams>& steps,
                              const ModularImage& image);

// Fills an empty `steps` with the defaults (kept by the caller's transform),
// then halves the channels of each step and inserts the residual channels.
Status SqueezeApplyToChannelList(ModularImage& image,
                                 std::vector<SqueezeParams>& steps);

// Undoes the steps last to first.
Status UndoSqueeze(ModularImage& image, const std::vector<SqueezeParams>& steps,
                   const TaskPool* pool);

// Merge average channel c with residual channel r into channel c.
Status UndoHorizontalSqueeze(ModularImage& image, uint32_t c, uint32_t r,
                             const TaskPool* pool);
Status UndoVerticalSqueeze(ModularImage& image, uint32_t c, uint32_t r,
                           const TaskPool* pool);

// The *Scalar kernels are the references the SIMD copies are tested
// against. SqueezeHorizontalRowsScalar serves tests only;
// SqueezeVerticalStripScalar also runs in the decoder on the one-lane
// target, and SqueezeTendency is the decoder's own: the SIMD copies use it
// for the samples they undo one at a time.

// The smooth-gradient guess from B (reconstructed sample before the pair),
// a (average) and n (next average).
int64_t SqueezeTendency(int64_t b, int64_t a, int64_t n);

// Horizontal kernel over `rows` rows: out row y gets avg_width + res_width
// samples from avg row y (avg_width samples) and res row y (res_width
// samples); avg_width is res_width or res_width + 1. Strides in samples.
// Reads and writes nothing past those widths.
void SqueezeHorizontalRows(const int32_t* avg, size_t avg_stride,
                           const int32_t* res, size_t res_stride, int32_t* out,
                           size_t out_stride, size_t avg_width,
                           size_t res_width, size_t rows);
void SqueezeHorizontalRowsScalar(const int32_t* avg, size_t avg_stride,
                                 const int32_t* res, size_t res_stride,
                                 int32_t* out, size_t out_stride,
                                 size_t avg_width, size_t res_width,
                                 size_t rows);

// Vertical kernel over a strip of `columns` columns: out rows 0 ..
// res_height * 2 - 1 from avg rows 0 .. avg_height - 1 and res rows
// 0 .. res_height - 1 (avg_height is res_height or res_height + 1; the
// last odd row is not written here). Strides in samples.
void SqueezeVerticalStrip(const int32_t* avg, size_t avg_stride,
                          const int32_t* res, size_t res_stride, int32_t* out,
                          size_t out_stride, size_t avg_height,
                          size_t res_height, size_t columns);
void SqueezeVerticalStripScalar(const int32_t* avg, size_t avg_stride,
                                const int32_t* res, size_t res_stride,
                                int32_t* out, size_t out_stride,
                                size_t avg_height, size_t res_height,
                                size_t columns);

}  // namespace qov

#endif  // QOV_LIB_MODULAR_SQUEEZE_H_
