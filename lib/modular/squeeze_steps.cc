// Squeeze steps on the channel list: the default list, the halving of
// channels before decoding, and the undo driver that merges averages and
// residuals back, step by step from the last.
#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

#include "lib/modular/modular_image.h"
#include "lib/modular/squeeze.h"

namespace qov {
namespace {

SqueezeParams MakeStep(bool horizontal, bool in_place, uint64_t first,
                       uint64_t count) {
  SqueezeParams step;
  step.horizontal = horizontal;
  step.in_place = in_place;
  step.first_channel = static_cast<uint32_t>(first);
  step.channel_count = static_cast<uint32_t>(count);
  return step;
}

// The shift before a squeeze step: the step raised it by one unless it was
// negative (a channel that is not an image plane keeps -1 both ways).
int32_t ShiftBeforeStep(int32_t shift) { return shift >= 0 ? shift - 1 : shift; }

uint64_t FilledChannelCount(const ModularImage& image) {
  uint64_t filled = 0;
  for (const ModularChannel& c : image.channels) {
    if (c.width != 0 && c.height != 0) ++filled;
  }
  return filled;
}

// Channel range b..e of a step, checked against n channels. Shared by the
// channel-list step and the undo.
bool StepRange(const SqueezeParams& step, uint64_t n, int64_t* b, int64_t* e) {
  *b = static_cast<int32_t>(step.first_channel);
  if (*b < 0) return false;
  *e = static_cast<int32_t>(static_cast<uint32_t>(*b) + step.channel_count -
                            1);
  return !(*e < *b || *e < 0 || static_cast<uint64_t>(*e) >= n ||
           static_cast<uint64_t>(*b) >= n);
}

}  // namespace

void BuildDefaultSqueezeSteps(std::vector<SqueezeParams>& steps,
                              const ModularImage& image) {
  steps.clear();
  const uint64_t m = image.meta_channel_count;
  const uint64_t n = image.channels.size();
  // Nothing to size the list from: no steps.
  if (m >= n) return;
  const uint64_t nc = n - m;
  uint64_t w = image.channels[m].width;
  uint64_t h = image.channels[m].height;
  if (nc > 2 && image.channels[m + 1].width == w &&
      image.channels[m + 1].height == h) {
    steps.push_back(MakeStep(true, false, m + 1, 2));
    steps.push_back(MakeStep(false, false, m + 1, 2));
  }
  if (!(w > h) && h > 8) {
    steps.push_back(MakeStep(false, true, m, nc));
    h = (h + 1) >> 1;
  }
  while (w > 8 || h > 8) {
    if (w > 8) {
      steps.push_back(MakeStep(true, true, m, nc));
      w = (w + 1) >> 1;
    }
    if (h > 8) {
      steps.push_back(MakeStep(false, true, m, nc));
      h = (h + 1) >> 1;
    }
  }
}

Status SqueezeApplyToChannelList(ModularImage& image,
                                 std::vector<SqueezeParams>& steps) {
  if (steps.empty()) BuildDefaultSqueezeSteps(steps, image);
  for (const SqueezeParams& step : steps) {
    const uint64_t n = image.channels.size();
    uint64_t& m = image.meta_channel_count;
    int64_t b, e;
    if (!StepRange(step, n, &b, &e)) return FailedStatus();
    const uint64_t k = static_cast<uint64_t>(e - b + 1);
    // Channel-count bound (see kSqueezeChannelAllowance).
    if (n + k > kSqueezeChannelAllowance +
                    kSqueezeChannelsPerFilledChannel * FilledChannelCount(image)) {
      return FailedStatus();
    }
    uint64_t base;
    if (static_cast<uint64_t>(b) < m) {
      if (static_cast<uint64_t>(e) >= m || !step.in_place) return FailedStatus();
      m += k;
      base = static_cast<uint64_t>(e) + 1;
    } else {
      base = step.in_place ? static_cast<uint64_t>(e) + 1 : n;
    }
    std::vector<ModularChannel> residuals;
    residuals.reserve(k);
    for (uint64_t j = 0; j < k; ++j) {
      ModularChannel& c = image.channels[b + j];
      if (c.hshift > 30 || c.vshift > 30 || c.width == 0 || c.height == 0) {
        return FailedStatus();
      }
      uint64_t rw = c.width, rh = c.height;
      if (step.horizontal) {
        rw = c.width >> 1;
        c.width = (c.width + 1) >> 1;
        if (c.hshift >= 0) ++c.hshift;
      } else {
        rh = c.height >> 1;
        c.height = (c.height + 1) >> 1;
        if (c.vshift >= 0) ++c.vshift;
      }
      QOV_RETURN_IF_ERROR(ResizeModularChannel(image.memory_manager, c));
      QOV_ASSIGN_OR_RETURN(ModularChannel residual,
                           ModularChannel::Create(image.memory_manager, rw, rh,
                                                  c.hshift, c.vshift));
      residual.component = c.component;
      residuals.push_back(std::move(residual));
    }
    // One insertion per step: residual j lands at base + j.
    image.channels.insert(image.channels.begin() + base,
                          std::make_move_iterator(residuals.begin()),
                          std::make_move_iterator(residuals.end()));
  }
  return OkStatus();
}

Status UndoSqueeze(ModularImage& image, const std::vector<SqueezeParams>& steps,
                   const TaskPool* pool) {
  for (size_t i = steps.size(); i-- > 0;) {
    const SqueezeParams& step = steps[i];
    const uint64_t n = image.channels.size();
    int64_t b, e;
    if (!StepRange(step, n, &b, &e)) return FailedStatus();
    const int64_t k = e - b + 1;
    const int64_t o = step.in_place ? e + 1 : static_cast<int64_t>(n) - k;
    if (o < 0) return FailedStatus();
    uint64_t& m = image.meta_channel_count;
    if (static_cast<uint64_t>(b) < m) {
      if (static_cast<uint64_t>(k) >= m) return FailedStatus();
      m -= static_cast<uint64_t>(k);
    }
    for (int64_t j = 0; j < k; ++j) {
      const uint64_t c = static_cast<uint64_t>(b + j);
      const uint64_t r = static_cast<uint64_t>(o + j);
      if (r >= image.channels.size()) return FailedStatus();
      if (image.channels[c].width < image.channels[r].width ||
          image.channels[c].height < image.channels[r].height) {
        return FailedStatus();
      }
      const uint32_t c32 = static_cast<uint32_t>(c);
      const uint32_t r32 = static_cast<uint32_t>(r);
      QOV_RETURN_IF_ERROR(step.horizontal
                              ? UndoHorizontalSqueeze(image, c32, r32, pool)
                              : UndoVerticalSqueeze(image, c32, r32, pool));
    }
    const auto first = image.channels.begin() + o;
    image.channels.erase(first, first + k);
  }
  return OkStatus();
}

Status UndoHorizontalSqueeze(ModularImage& image, uint32_t c, uint32_t r,
                             const TaskPool* pool) {
  const uint64_t n = image.channels.size();
  if (c >= n || r >= n) return FailedStatus();
  ModularChannel& avg = image.channels[c];
  const ModularChannel& res = image.channels[r];
  if (avg.width != ((avg.width + res.width + 1) >> 1) ||
      avg.height != res.height) {
    return FailedStatus();
  }
  if (res.width == 0) {
    avg.hshift = ShiftBeforeStep(avg.hshift);
    return OkStatus();
  }
  QOV_ASSIGN_OR_RETURN(
      ModularChannel out,
      ModularChannel::Create(image.memory_manager, avg.width + res.width,
                             avg.height, ShiftBeforeStep(avg.hshift),
                             avg.vshift));
  const uint64_t height = avg.height;
  if (height > 0) {
    const uint32_t items = static_cast<uint32_t>((height + 7) / 8);
    QOV_RETURN_IF_ERROR(RunOnPool(
        pool, items, nullptr, [&](uint32_t t, size_t) -> Status {
          const uint64_t y0 = uint64_t{t} * 8;
          const uint64_t rows = std::min<uint64_t>(8, height - y0);
          SqueezeHorizontalRows(avg.Row(y0), avg.PixelsPerRow(), res.Row(y0),
                                res.PixelsPerRow(), out.Row(y0),
                                out.PixelsPerRow(), avg.width, res.width, rows);
          return OkStatus();
        }));
  }
  avg = std::move(out);
  return OkStatus();
}

Status UndoVerticalSqueeze(ModularImage& image, uint32_t c, uint32_t r,
                           const TaskPool* pool) {
  const uint64_t n = image.channels.size();
  if (c >= n || r >= n) return FailedStatus();
  ModularChannel& avg = image.channels[c];
  const ModularChannel& res = image.channels[r];
  if (avg.height != ((avg.height + res.height + 1) >> 1) ||
      avg.width != res.width) {
    return FailedStatus();
  }
  if (res.height == 0) {
    avg.vshift = ShiftBeforeStep(avg.vshift);
    return OkStatus();
  }
  QOV_ASSIGN_OR_RETURN(
      ModularChannel out,
      ModularChannel::Create(image.memory_manager, avg.width,
                             avg.height + res.height, avg.hshift,
                             ShiftBeforeStep(avg.vshift)));
  const uint64_t width = avg.width;
  if (width > 0) {
    const uint32_t items = static_cast<uint32_t>((width + 63) / 64);
    QOV_RETURN_IF_ERROR(RunOnPool(
        pool, items, nullptr, [&](uint32_t t, size_t) -> Status {
          const uint64_t x0 = uint64_t{t} * 64;
          const uint64_t columns = std::min<uint64_t>(64, width - x0);
          SqueezeVerticalStrip(avg.Row(0) + x0, avg.PixelsPerRow(),
                               res.Row(0) + x0, res.PixelsPerRow(),
                               out.Row(0) + x0, out.PixelsPerRow(), avg.height,
                               res.height, columns);
          return OkStatus();
        }));
    if (out.height & 1) {
      std::copy(avg.Row(avg.height - 1), avg.Row(avg.height - 1) + width,
                out.Row(out.height - 1));
    }
  }
  avg = std::move(out);
  return OkStatus();
}

}  // namespace qov
