// The XYB-to-linear row kernel on every compiled target (and the scalar
// reference) at a few row widths, and ICC profile synthesis of an SDR and
// an HDR encoding.
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/color/color_encoding.h"
#include "lib/color/icc_synth.h"
#include "lib/color/output_color.h"
#include "lib/color/xyb.h"

namespace qov {
namespace {

OpsinParams BenchParams() {
  CodecMetadata m;
  m.m.xyb_encoded = true;
  OutputColorSetup s;
  s.InitFromMetadata(m).IgnoreError();
  return s.GetOpsinParams();
}

struct BenchRows {
  explicit BenchRows(size_t n) {
    for (int c = 0; c < 3; ++c) {
      in[c].resize(n);
      out[c].resize(n);
      for (size_t i = 0; i < n; ++i) {
        in[c][i] = c == 0 ? 0.01f * ((i % 7) - 3.0f) : 0.1f + 0.001f * (i % 500);
      }
    }
  }
  std::vector<float> in[3];
  std::vector<float> out[3];
};

// target 0: the scalar reference.
void BM_OpsinToLinearRow(benchmark::State& state, int64_t target) {
  const size_t n = static_cast<size_t>(state.range(0));
  BenchRows rows(n);
  const OpsinParams params = BenchParams();
  if (target != 0) hwy::SetSupportedTargetsForTest(target);
  for (auto _ : state) {
    if (target == 0) {
      OpsinToLinearRowScalar(rows.in[0].data(), rows.in[1].data(),
                             rows.in[2].data(), n, params, rows.out[0].data(),
                             rows.out[1].data(), rows.out[2].data());
    } else {
      OpsinToLinearRow(rows.in[0].data(), rows.in[1].data(), rows.in[2].data(),
                       n, params, rows.out[0].data(), rows.out[1].data(),
                       rows.out[2].data());
    }
    benchmark::DoNotOptimize(rows.out[0].data());
    benchmark::ClobberMemory();
  }
  hwy::SetSupportedTargetsForTest(0);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_SynthesizeIcc(benchmark::State& state, uint32_t primaries,
                      uint32_t transfer) {
  ColorDescription d;
  d.primaries = primaries;
  d.transfer_function = transfer;
  const QovColorEncoding c = d.ToPublic();
  std::vector<uint8_t> profile;
  for (auto _ : state) {
    if (!SynthesizeIccProfile(c, &profile).ok()) state.SkipWithError("failed");
    benchmark::DoNotOptimize(profile.data());
  }
}

[[maybe_unused]] const bool kRegistered = [] {
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);
  for (int64_t target : targets) {
    const std::string name = std::string("BM_OpsinToLinearRow/") +
                             (target == 0 ? "Scalar" : hwy::TargetName(target));
    benchmark::RegisterBenchmark(name.c_str(), BM_OpsinToLinearRow, target)
        ->Arg(64)
        ->Arg(256)
        ->Arg(2048);
  }
  benchmark::RegisterBenchmark("BM_SynthesizeIcc/sRGB", BM_SynthesizeIcc,
                               QOV_PRIMARIES_SRGB, QOV_TRANSFER_FUNCTION_SRGB);
  benchmark::RegisterBenchmark("BM_SynthesizeIcc/Rec2100PQ", BM_SynthesizeIcc,
                               QOV_PRIMARIES_2100, QOV_TRANSFER_FUNCTION_PQ);
  return true;
}();

}  // namespace
}  // namespace qov
