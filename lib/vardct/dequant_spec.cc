// Dequantisation table specifications: library defaults, the bitstream
// reader of specs and DC steps.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "lib/vardct/dequant_tables.h"

namespace qov {
namespace {

void SetBands(DistanceBandList* bands, std::initializer_list<float> x,
              std::initializer_list<float> y, std::initializer_list<float> b) {
  bands->count = x.size();
  const std::initializer_list<float>* rows[3] = {&x, &y, &b};
  for (size_t c = 0; c < 3; ++c) {
    size_t i = 0;
    for (float v : *rows[c]) bands->values[c][i++] = v;
  }
}

void SetParams(DequantTableSpec* spec, std::initializer_list<float> params) {
  size_t i = 0;
  for (float v : params) spec->params[i++] = v;
}

// Kinds 11 to 16 share their band factors; only the first values differ.
void SetLargeBands(DequantTableSpec* spec, float x0, float y0, float b0) {
  spec->mode = DequantSpecMode::DistanceBands;
  SetBands(&spec->bands,
           {x0, -1.025f, -0.78f, -0.65012f, -0.19041574f, -0.20819396f, -0.421064f,
            -0.32733846f},
           {y0, -0.30419582f, -0.36330363f, -0.3566038f, -0.34430745f, -0.33699593f,
            -0.30180866f, -0.27321684f},
           {b0, -1.2f, -1.2f, -0.8f, -0.7f, -0.7f, -0.4f, -0.5f});
}

// A parameter of modes 1 to 4 must not be (nearly) zero.
Status ReadParam(BitReader* reader, float* out) {
  QOV_RETURN_IF_ERROR(ReadHalfFloat(reader, out));
  if (!(std::fabs(*out) >= 1e-8)) return FailedStatus();
  return OkStatus();
}

}  // namespace

void BuildLibraryDequantSpecs(DequantSpecList* specs) {
  *specs = DequantSpecList();
  DequantSpecList& s = *specs;
  s[0].mode = DequantSpecMode::DistanceBands;
  SetBands(&s[0].bands, {3150.0f, 0.0f, -0.4f, -0.4f, -0.4f, -2.0f},
           {560.0f, 0.0f, -0.3f, -0.3f, -0.3f, -0.3f},
           {512.0f, -2.0f, -1.0f, 0.0f, -1.0f, -2.0f});
  s[1].mode = DequantSpecMode::Identity;
  SetParams(&s[1], {280.0f, 3160.0f, 3160.0f, 60.0f, 864.0f, 864.0f, 18.0f, 200.0f, 200.0f});
  s[2].mode = DequantSpecMode::Dct2Grid;
  SetParams(&s[2], {3840.0f, 2560.0f, 1280.0f, 640.0f, 480.0f, 300.0f,  //
                    960.0f, 640.0f, 320.0f, 180.0f, 140.0f, 120.0f,     //
                    640.0f, 320.0f, 128.0f, 64.0f, 32.0f, 16.0f});
  s[3].mode = DequantSpecMode::Dct4Grid;
  SetParams(&s[3], {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f});
  SetBands(&s[3].bands, {2200.0f, 0.0f, 0.0f, 0.0f}, {392.0f, 0.0f, 0.0f, 0.0f},
           {112.0f, -0.25f, -0.25f, -0.5f});
  s[4].mode = DequantSpecMode::DistanceBands;
  SetBands(&s[4].bands,
           {8996.873f, -1.3000778f, -0.4942453f, -0.43909377f, -0.6350102f, -0.9017726f,
            -1.6162099f},
           {3191.4836f, -0.67424583f, -0.80745816f, -0.4492584f, -0.3586544f, -0.3132239f,
            -0.37615025f},
           {1157.504f, -2.0531423f, -1.4f, -0.5068713f, -0.4270873f, -1.4856834f,
            -4.920914f});
  s[5].mode = DequantSpecMode::DistanceBands;
  SetBands(&s[5].bands,
           {15718.408f, -1.025f, -0.98f, -0.9012f, -0.4f, -0.48819396f, -0.421064f, -0.27f},
           {7305.7637f, -0.8041958f, -0.76330364f, -0.5566038f, -0.49785304f, -0.43699592f,
            -0.40180868f, -0.27321684f},
           {3803.5317f, -3.0607336f, -2.041327f, -2.023565f, -0.54953897f, -0.4f, -0.4f,
            -0.3f});
  s[6].mode = DequantSpecMode::DistanceBands;
  SetBands(&s[6].bands, {7240.7734f, -0.7f, -0.7f, -0.2f, -0.2f, -0.2f, -0.5f},
           {1448.1547f, -0.5f, -0.5f, -0.5f, -0.2f, -0.2f, -0.2f},
           {506.85413f, -1.4f, -0.2f, -0.5f, -0.5f, -1.5f, -3.6f});
  s[7].mode = DequantSpecMode::DistanceBands;
  SetBands(&s[7].bands,
           {16283.249f, -1.7812846f, -1.6309059f, -1.0382179f, -0.85f, -0.7f, -0.9f,
            -1.2360638f},
           {5089.1577f, -0.3200494f, -0.3536285f, -0.3034f, -0.61f, -0.5f, -0.5f, -0.6f},
           {3397.7761f, -0.32132736f, -0.3450762f, -0.7034f, -0.9f, -1.0f, -1.0f,
            -1.1754606f});
  s[8].mode = DequantSpecMode::DistanceBands;
  SetBands(&s[8].bands,
           {13844.971f, -0.971138f, -0.658f, -0.42026f, -0.22712f, -0.2206f, -0.226f, -0.6f},
           {4798.964f, -0.6112531f, -0.8377079f, -0.7901486f, -0.26927274f, -0.38272768f,
            -0.22924222f, -0.20719099f},
           {1807.2369f, -1.2f, -1.2f, -0.7f, -0.7f, -0.7f, -0.4f, -0.5f});
  s[9].mode = DequantSpecMode::DctHalves;
  SetParams(&s[9], {1.0f, 1.0f, 1.0f});
  SetBands(&s[9].bands, {2198.0505f, -0.96269625f, -0.7619425f, -0.65511405f},
           {764.36554f, -0.926302f, -0.967523f, -0.2784529f},
           {527.10754f, -1.4594386f, -1.4500821f, -1.5843723f});
  s[10].mode = DequantSpecMode::CornerAdaptive;
  SetParams(&s[10], {3072.0f, 3072.0f, 256.0f, 256.0f, 256.0f, 414.0f, 0.0f, 0.0f, 0.0f,
                     1024.0f, 1024.0f, 50.0f, 50.0f, 50.0f, 58.0f, 0.0f, 0.0f, 0.0f,
                     384.0f, 384.0f, 12.0f, 12.0f, 12.0f, 22.0f, -0.25f, -0.25f, -0.25f});
  s[10].bands = s[9].bands;
  s[10].second_bands = s[3].bands;
  SetLargeBands(&s[11], 23966.166f, 8380.191f, 4493.024f);
  SetLargeBands(&s[12], 15358.898f, 5597.3604f, 2919.9617f);
  SetLargeBands(&s[13], 47932.332f, 16760.383f, 8986.048f);
  SetLargeBands(&s[14], 30717.797f, 11194.721f, 5839.9233f);
  SetLargeBands(&s[15], 95864.664f, 33520.766f, 17972.096f);
  SetLargeBands(&s[16], 61435.594f, 22389.441f, 11679.847f);
}

const DequantSpecList& LibraryDequantSpecs() {
  static const DequantSpecList* const specs = [] {
    auto* list = new DequantSpecList();
    BuildLibraryDequantSpecs(list);
    return list;
  }();
  return *specs;
}

Status ReadDistanceBands(BitReader* reader, DistanceBandList* bands) {
  bands->count = static_cast<size_t>(reader->Read(4)) + 1;
  for (size_t c = 0; c < 3; ++c) {
    for (size_t i = 0; i < bands->count; ++i) {
      QOV_RETURN_IF_ERROR(ReadHalfFloat(reader, &bands->values[c][i]));
    }
    if (!(bands->values[c][0] >= 1e-8)) return FailedStatus();
    bands->values[c][0] *= 64.0f;
  }
  return OkStatus();
}

Status SetRawQuantTable(float denominator, const int32_t* samples, size_t count,
                        DequantTableSpec* spec) {
  if (!(denominator >= 1e-8)) return FailedStatus();
  if (!spec->raw.empty() && spec->raw.size() != count) return FailedStatus();
  spec->denominator = denominator;
  spec->raw.resize(count);
  for (size_t i = 0; i < count; ++i) {
    if (samples[i] < 1) return FailedStatus();
    spec->raw[i] = samples[i];
  }
  spec->mode = DequantSpecMode::Raw;
  return OkStatus();
}

DequantTableSet::DequantTableSet() {
  for (size_t k = 0; k < kNumVarBlockKinds; ++k) {
    const size_t t = static_cast<size_t>(kVarBlockDequantKind[k]);
    const size_t channel_size =
        size_t{64} * kDequantTableShortSide[t] * kDequantTableLongSide[t];
    for (size_t c = 0; c < 3; ++c) {
      table_offsets_[3 * k + c] = kDequantTableStart[t] + c * channel_size;
    }
  }
}

const DequantTableSpec& DequantTableSet::DefaultSpec() {
  static const DequantTableSpec spec;
  return spec;
}

Status DequantTableSet::ReadDcSteps(BitReader* reader) {
  const bool all_default = reader->Read(1) != 0;
  if (reader->PastEnd()) return FailedStatus();
  if (all_default) return OkStatus();
  for (size_t c = 0; c < 3; ++c) {
    float value;
    QOV_RETURN_IF_ERROR(ReadHalfFloat(reader, &value));
    dc_steps[c] = value * (1.0f / 128.0f);
    if (!(dc_steps[c] >= 1e-8)) return FailedStatus();
    inv_dc_steps[c] = 1.0f / dc_steps[c];
  }
  return OkStatus();
}

Status DequantTableSet::ReadSpecs(const QovMemoryManagerStruct* manager,
                                  BitReader* reader,
                                  RawQuantMatrixReader* raw_reader) {
  const bool all_default = reader->Read(1) != 0;
  specs_.reset();
  if (all_default) {
    computed_kinds_ = 0;
    return OkStatus();
  }
  specs_ = std::make_unique<DequantSpecList>();
  for (size_t k = 0; k < kNumDequantTableKinds; ++k) {
    DequantTableSpec& spec = (*specs_)[k];
    const bool single_block =
        kDequantTableShortSide[k] == 1 && kDequantTableLongSide[k] == 1;
    const uint32_t mode = static_cast<uint32_t>(reader->Read(3));
    if (mode >= 1 && mode <= 5 && !single_block) return FailedStatus();
    switch (static_cast<DequantSpecMode>(mode)) {
      case DequantSpecMode::Library:
        break;
      case DequantSpecMode::Identity:
      case DequantSpecMode::Dct2Grid:
        for (size_t i = 0; i < (mode == 1 ? 9u : 18u); ++i) {
          QOV_RETURN_IF_ERROR(ReadParam(reader, &spec.params[i]));
          spec.params[i] *= 64.0f;
        }
        break;
      case DequantSpecMode::Dct4Grid:
      case DequantSpecMode::DctHalves:
        for (size_t i = 0; i < (mode == 3 ? 6u : 3u); ++i) {
          QOV_RETURN_IF_ERROR(ReadParam(reader, &spec.params[i]));
        }
        QOV_RETURN_IF_ERROR(ReadDistanceBands(reader, &spec.bands));
        break;
      case DequantSpecMode::CornerAdaptive:
        for (size_t i = 0; i < 27; ++i) {
          QOV_RETURN_IF_ERROR(ReadHalfFloat(reader, &spec.params[i]));
          if (i % 9 < 6) spec.params[i] *= 64.0f;
        }
        QOV_RETURN_IF_ERROR(ReadDistanceBands(reader, &spec.bands));
        QOV_RETURN_IF_ERROR(ReadDistanceBands(reader, &spec.second_bands));
        break;
      case DequantSpecMode::DistanceBands:
        QOV_RETURN_IF_ERROR(ReadDistanceBands(reader, &spec.bands));
        break;
      case DequantSpecMode::Raw:
        spec.mode = DequantSpecMode::Raw;
        if (raw_reader == nullptr) return FailedStatus();
        QOV_RETURN_IF_ERROR(raw_reader->ReadRawQuantMatrix(
            manager, 8 * static_cast<size_t>(kDequantTableShortSide[k]),
            8 * static_cast<size_t>(kDequantTableLongSide[k]), reader, &spec,
            static_cast<uint32_t>(k)));
        break;
    }
    spec.mode = static_cast<DequantSpecMode>(mode);
  }
  computed_kinds_ = 0;
  return OkStatus();
}

}  // namespace qov
