// The block loop of VarDCT group decoding over a full 256 x 256 group
// (dequantisation, low frequencies from DC, inverse transforms into render
// planes), with coefficients already in memory, for a few varblock sizes.
#include <cstring>
#include <vector>

#include "benchmark/benchmark.h"
#include "lib/base/memory.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/render/render_pipeline.h"
#include "lib/vardct/block_reader.h"
#include "lib/vardct/group_decoder.h"

namespace qov {
namespace {

void BM_GroupBody(benchmark::State& bench_state) {
  const VarBlockKind kind = static_cast<VarBlockKind>(bench_state.range(0));
  const QovMemoryManagerStruct* mm = HeapMemoryManager();
  FrameHeader header(nullptr);
  FrameDecodingState state(mm);
  FrameGeometry& g = state.frame_geometry;
  g.xsize_blocks = g.ysize_blocks = 32;
  g.group_dim = 256;
  g.xsize_groups = g.ysize_groups = g.num_groups = 1;
  state.raw_quant_field = PlaneI32::Create(mm, 32, 32).value();
  state.quant_dc = PlaneU8::Create(mm, 32, 32).value();
  state.varblock_kinds = CreateBytePlane(mm, 32, 32).value();
  state.cfl_map = ChromaFromLumaMap::Create(mm, 256, 256).value();
  state.dc_image = Image3F::Create(mm, 32, 32).value();
  const size_t cx = CoveredBlocksX(kind), cy = CoveredBlocksY(kind);
  for (size_t y = 0; y < 32; ++y) {
    for (size_t x = 0; x < 32; ++x) {
      state.raw_quant_field.Row(y)[x] = 3;
      state.varblock_kinds.Row(y)[x] = static_cast<uint8_t>(
          (static_cast<uint32_t>(kind) << 1) | (x % cx == 0 && y % cy == 0 ? 1 : 0));
      for (size_t c = 0; c < 3; ++c) state.dc_image.PlaneRow(c, y)[x] = 0.01f * (x + y);
    }
  }
  const float biases[4] = {0.94534993f, 0.92994547f, 0.9500649f, 0.145f};
  std::memcpy(state.output_color.quant_bias, biases, sizeof(biases));
  const uint32_t used = 1u << static_cast<uint32_t>(kind);
  if (!state.dequant.PrepareTables(mm, used).ok()) return bench_state.SkipWithError("tables");
  GroupDecodeScratch scratch;
  if (!scratch.EnsureSized(mm, 1, used).ok()) return bench_state.SkipWithError("scratch");
  std::vector<int32_t> values[3];
  for (size_t c = 0; c < 3; ++c) {
    values[c].assign(kAcGroupCoefficients, 0);
    for (size_t i = 0; i < kAcGroupCoefficients; i += 7) {
      values[c][i] = static_cast<int32_t>(i % 11) - 5;
    }
  }
  const int32_t* const pass[1][3] = {{values[0].data(), values[1].data(), values[2].data()}};
  const uint32_t shifts[1] = {0};
  PlaneF planes[3];
  GroupRenderInput input;
  for (size_t c = 0; c < 3; ++c) {
    planes[c] = PlaneF::Create(mm, 320, 320).value();
    input.buffers.push_back(GroupBuffer{&planes[c], PixelRect{32, 32, 256, 256}});
  }
  for (auto _ : bench_state) {
    GetBlockFromEncoder source(pass, shifts, 1);
    const Status s = DecodeVarDctGroupBody(header, &source, &scratch, &state, 0, 0,
                                           &input, nullptr, false);
    if (!s.ok()) return bench_state.SkipWithError("decode");
    benchmark::DoNotOptimize(planes[1].Row(40)[40]);
  }
  bench_state.SetItemsProcessed(bench_state.iterations() * 256 * 256);
}
BENCHMARK(BM_GroupBody)
    ->Arg(static_cast<int>(VarBlockKind::Dct8By8))
    ->Arg(static_cast<int>(VarBlockKind::Dct16By16))
    ->Arg(static_cast<int>(VarBlockKind::Dct32By32))
    ->Arg(static_cast<int>(VarBlockKind::IdentityGrid));

}  // namespace
}  // namespace qov
