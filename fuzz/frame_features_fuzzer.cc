// Reads arbitrary bytes as the frame features of a small frame: a patch
// dictionary over four stored frames, splines and a noise table, then
// blends and draws every row. The first bytes choose the frame size (up to
// 256 x 256) and the extra-channel count. Checks that nothing reads or
// writes out of bounds, that decoding ends, and that the row index answers
// every row like a scan of the placements.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "lib/base/memory.h"
#include "lib/base/span.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/frame/noise.h"
#include "lib/frame/patches.h"
#include "lib/frame/splines.h"

namespace {

const QovMemoryManagerStruct kHeap = {nullptr, qov::DefaultAllocate,
                                      qov::DefaultRelease};

void CheckRowIndex(const qov::PatchDictionary& dict, uint64_t height) {
  for (uint64_t y = 0; y < height; ++y) {
    std::vector<uint64_t> scan;
    for (uint64_t i = 0; i < dict.placements().size(); ++i) {
      const qov::PatchPlacement& p = dict.placements()[i];
      const uint64_t h = dict.sources()[p.source].ysize;
      if (y >= p.y && y - p.y < h) scan.push_back(i);
    }
    if (dict.PatchesOnRow(y) != scan) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qov;
  if (size < 3) return 0;
  const uint64_t width = 1 + data[0];
  const uint64_t height = 1 + data[1];
  const uint64_t num_extra = data[2] % 4;
  const Span span(data + 3, size - 3);

  std::vector<ExtraChannelInfo> extra(num_extra);
  if (num_extra > 0) extra[0].type = static_cast<uint32_t>(ExtraChannelKind::kAlpha);
  ReferenceFrameSlot slots[4];
  for (size_t s = 0; s < 4; ++s) {
    slots[s].frame = std::make_unique<ImageBundle>(&kHeap);
    slots[s].saved_before_color_transform = s != 3;
    if (s == 2) continue;  // one empty slot
    auto color = Image3F::Create(&kHeap, 40 + s, 30 + s);
    if (!color.ok()) return 0;
    slots[s].frame->color = std::move(color).value();
    for (uint64_t c = 0; c < num_extra; ++c) {
      auto plane = PlaneF::Create(&kHeap, 40 + s, 30 + s);
      if (!plane.ok()) return 0;
      slots[s].frame->extra_channels.push_back(std::move(plane).value());
    }
  }

  BitReader reader(span);
  PatchDictionary patches(&kHeap);
  patches.SetReferenceSlots(slots);
  if (patches.Decode(&kHeap, reader, width, height, num_extra).ok()) {
    CheckRowIndex(patches, height + 2);
    std::vector<std::vector<float>> rows(3 + num_extra,
                                         std::vector<float>(width, 0.5f));
    std::vector<float*> pointers;
    for (auto& row : rows) pointers.push_back(row.data());
    for (uint64_t y = 0; y < height; ++y) {
      (void)patches.BlendRow(pointers.data(), y, 0, width, extra);
    }
  }
  Splines splines(&kHeap);
  if (splines.Decode(&kHeap, reader, width * height).ok() &&
      splines.PrepareDrawing(width, height, 0.0f, 1.0f).ok()) {
    std::vector<float> x(width), y(width), b(width);
    for (uint64_t row = 0; row < height; ++row) {
      splines.DrawRow(x.data(), y.data(), b.data(), row, 0, width);
    }
  }
  NoiseStrengthTable table;
  table.Decode(reader);
  reader.Close().IgnoreError();
  return 0;
}
