// Inverse transforms of the main varblock kinds per target (and the scalar
// reference), in transforms per second; each iteration restores the
// coefficient block, which the DCT kinds use as a work area.
#include <hwy/aligned_allocator.h>
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <cstring>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "lib/vardct/dct.h"
#include "lib/vardct/varblock.h"

namespace qov {
namespace {

// target 0: the scalar reference.
void BM_InverseTransform(benchmark::State& state, int64_t target, uint32_t kind) {
  const size_t w = 8 * size_t{kVarBlockCoveredX[kind]};
  const size_t h = 8 * size_t{kVarBlockCoveredY[kind]};
  auto source = hwy::AllocateAligned<float>(w * h);
  auto coefficients = hwy::AllocateAligned<float>(w * h);
  auto scratch = hwy::AllocateAligned<float>(InverseTransformScratchFloats(kind));
  const size_t stride = w + 64;
  auto pixels = hwy::AllocateAligned<float>(stride * h);
  for (size_t i = 0; i < w * h; ++i) {
    source[i] = static_cast<float>((i * 7919) % 255) / 64.0f - 2.0f;
  }
  if (target != 0) hwy::SetSupportedTargetsForTest(target);
  for (auto _ : state) {
    std::memcpy(coefficients.get(), source.get(), w * h * sizeof(float));
    if (target == 0) {
      InverseTransformBlockScalar(kind, coefficients.get(), pixels.get(), stride);
    } else {
      InverseTransformBlock(kind, coefficients.get(), pixels.get(), stride,
                            scratch.get());
    }
    benchmark::DoNotOptimize(pixels.get());
    benchmark::ClobberMemory();
  }
  hwy::SetSupportedTargetsForTest(0);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

[[maybe_unused]] const bool kRegistered = [] {
  struct Kind {
    const char* name;
    VarBlockKind kind;
  };
  const Kind kKinds[] = {{"8x8", VarBlockKind::Dct8By8},
                         {"16x16", VarBlockKind::Dct16By16},
                         {"32x32", VarBlockKind::Dct32By32},
                         {"8x16", VarBlockKind::Dct8By16},
                         {"4x4", VarBlockKind::Dct4Grid},
                         {"256x256", VarBlockKind::Dct256By256}};
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);
  for (const Kind& k : kKinds) {
    for (int64_t target : targets) {
      const std::string name = std::string("BM_InverseTransform/") + k.name + "/" +
                               (target == 0 ? "Scalar" : hwy::TargetName(target));
      benchmark::RegisterBenchmark(name.c_str(), BM_InverseTransform, target,
                                   static_cast<uint32_t>(k.kind));
    }
  }
  return true;
}();

}  // namespace
}  // namespace qov
