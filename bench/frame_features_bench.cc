// The frame feature kernels on every compiled target (and the scalar
// reference) at a few widths: noise generation, the noise stages' row
// kernels and spline row drawing; plus the patch row index lookup.
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "lib/base/memory.h"
#include "lib/frame/noise.h"
#include "lib/frame/patches.h"
#include "lib/frame/splines.h"
#include "lib/render/noise_kernels.h"

namespace qov {
namespace {

const QovMemoryManagerStruct* Heap() {
  static const QovMemoryManagerStruct manager = {nullptr, DefaultAllocate,
                                                 DefaultRelease};
  return &manager;
}

// Runs `body(scalar)` with the target chosen (0: the scalar reference).
template <class Body>
void WithTarget(benchmark::State& state, int64_t target, size_t items,
                const Body& body) {
  if (target != 0) hwy::SetSupportedTargetsForTest(target);
  for (auto _ : state) {
    body(target == 0);
    benchmark::ClobberMemory();
  }
  hwy::SetSupportedTargetsForTest(0);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * items));
}

// Three noise tiles of width x 64.
void BM_AddNoisePlanes(benchmark::State& state, int64_t target) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<PlaneF> planes;
  NoiseRect rects[3];
  for (int c = 0; c < 3; ++c) {
    planes.push_back(PlaneF::Create(Heap(), n, 64).value());
  }
  for (int c = 0; c < 3; ++c) rects[c] = {&planes[c], 0, 0, n, 64};
  WithTarget(state, target, 3 * 64 * n, [&](bool scalar) {
    if (scalar) {
      AddNoisePlanesScalar(1, 0, 256, 512, rects);
    } else {
      AddNoisePlanes(1, 0, 256, 512, rects);
    }
  });
}

void BM_NoiseRows(benchmark::State& state, int64_t target) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<std::vector<float>> in(5, std::vector<float>(n + 4, 1.25f));
  std::vector<float> out(n), x(n, 0.1f), y(n, 0.5f), b(n, 0.3f);
  const float* rows[5];
  for (int r = 0; r < 5; ++r) rows[r] = in[r].data() + 2;
  const float lut[8] = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f};
  WithTarget(state, target, n, [&](bool scalar) {
    if (scalar) {
      ConvolveNoiseRowScalar(rows, out.data(), n);
      AddNoiseRowScalar(lut, 0.0f, 1.0f, x.data(), y.data(), b.data(), out.data(),
                        out.data(), out.data(), n);
    } else {
      ConvolveNoiseRow(rows, out.data(), n);
      AddNoiseRow(lut, 0.0f, 1.0f, x.data(), y.data(), b.data(), out.data(),
                  out.data(), out.data(), n);
    }
  });
}

// A row crossed by 64 dots of reach 6.
void BM_DrawSplineSegmentsRow(benchmark::State& state, int64_t target) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<SplineDrawSegment> segments;
  std::vector<uint64_t> indices;
  for (size_t i = 0; i < 64; ++i) {
    segments.push_back({static_cast<float>(i * n / 64), 10.0f, 6.0f, 0.5f, 0.3f,
                        {0.01f, 0.2f, 0.2f}});
    indices.push_back(i);
  }
  const uint64_t offsets[2] = {0, indices.size()};
  std::vector<float> x(n), y(n), b(n);
  WithTarget(state, target, 64, [&](bool scalar) {
    if (scalar) {
      DrawSplineSegmentsRowScalar(x.data(), y.data(), b.data(), 12, 0, n,
                                  segments.data(), indices.data(), offsets, 12);
    } else {
      DrawSplineSegmentsRow(x.data(), y.data(), b.data(), 12, 0, n,
                            segments.data(), indices.data(), offsets, 12);
    }
  });
}

// PatchesOnRow over a 4096-row frame with `count` placements of height 32.
void BM_PatchesOnRow(benchmark::State& state) {
  const uint64_t count = static_cast<uint64_t>(state.range(0));
  std::vector<PatchSource> sources = {{0, 0, 0, 8, 32}};
  std::vector<PatchPlacement> placements;
  for (uint64_t i = 0; i < count; ++i) {
    placements.push_back({(i * 37) % 4000, (i * 4064) / count, 0});
  }
  PatchDictionary dict(Heap());
  if (!dict.Assign(sources, placements, std::vector<PatchChannelBlend>(count), 1).ok()) {
    state.SkipWithError("assign");
    return;
  }
  std::vector<uint64_t> found;
  uint64_t y = 0;
  for (auto _ : state) {
    dict.PatchesOnRow(y, &found);
    benchmark::DoNotOptimize(found.data());
    y = (y + 1) % 4096;
  }
}

[[maybe_unused]] const bool kRegistered = [] {
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);
  for (int64_t target : targets) {
    const std::string suffix =
        std::string("/") + (target == 0 ? "Scalar" : hwy::TargetName(target));
    benchmark::RegisterBenchmark(("BM_AddNoisePlanes" + suffix).c_str(),
                                 BM_AddNoisePlanes, target)
        ->Arg(256)
        ->Arg(1024);
    benchmark::RegisterBenchmark(("BM_NoiseRows" + suffix).c_str(), BM_NoiseRows,
                                 target)
        ->Arg(256)
        ->Arg(2048);
    benchmark::RegisterBenchmark(("BM_DrawSplineSegmentsRow" + suffix).c_str(),
                                 BM_DrawSplineSegmentsRow, target)
        ->Arg(256)
        ->Arg(2048);
  }
  benchmark::RegisterBenchmark("BM_PatchesOnRow", BM_PatchesOnRow)
      ->Arg(64)
      ->Arg(4096);
  return true;
}();

}  // namespace
}  // namespace qov
