// Dequantisation table specifications (library defaults and the bitstream
// reader), the DC quantisation steps, and the per-frame computation of the
// dequantisation tables of the varblock kinds a frame uses.
#ifndef QOV_LIB_VARDCT_DEQUANT_TABLES_H_
#define QOV_LIB_VARDCT_DEQUANT_TABLES_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lib/base/memory.h"
#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/vardct/varblock.h"
#include "qov/qov.h"

namespace qov {

// Weights of one table as a function of the distance from its top-left
// corner, per channel (X, Y, B). Value 0 of a row is the weight at distance
// 0, stored multiplied by 64; values 1 .. count - 1 are band factors.
struct DistanceBandList {
  size_t count = 0;  // 1 to 16 once read
  float values[3][17] = {};
};

enum class DequantSpecMode : uint32_t {
  Library = 0,         // the library default of the same table kind
  Identity = 1,        // 9 parameters; single-block kinds only
  Dct2Grid = 2,        // 18 parameters; single-block kinds only
  Dct4Grid = 3,        // 6 parameters and a band list; single-block only
  DctHalves = 4,       // 3 parameters and a band list; single-block only
  CornerAdaptive = 5,  // 27 parameters and two band lists; single-block only
  DistanceBands = 6,   // a band list
  Raw = 7,             // a raw table and its denominator
};

struct DequantTableSpec {
  DequantSpecMode mode = DequantSpecMode::Library;
  DistanceBandList bands;
  float params[27] = {};  // channel by channel
  // Mode 7: 3 x 64 x short x long values >= 1 (X, then Y, then B, each in
  // the raster order of the coefficient layout) and a denominator >= 1e-8.
  std::vector<int32_t> raw;
  float denominator = 0.0f;
  DistanceBandList second_bands;  // mode 5 only
};

using DequantSpecList = std::array<DequantTableSpec, kNumDequantTableKinds>;

// Fills the 17 library default specs.
void BuildLibraryDequantSpecs(DequantSpecList* specs);
// The library defaults, built once per process on first use.
const DequantSpecList& LibraryDequantSpecs();

// Reads a band list: a 4-bit count - 1, then per channel that many half
// floats. Failed when a half float has exponent 31 or a channel's first
// value is below 1e-8.
Status ReadDistanceBands(BitReader* reader, DistanceBandList* bands);

// Fills a spec's raw table from decoded samples (3 x width x height of them,
// channel after channel) and its denominator: the part of reading a raw
// table that does not need the modular decoder. Failed when the denominator
// is below 1e-8 (or NaN), a sample is below 1, or an existing raw table has
// another size.
Status SetRawQuantTable(float denominator, const int32_t* samples, size_t count,
                        DequantTableSpec* spec);

// Seam to the modular decoder for raw tables: reads the denominator (a half
// float) and the three-channel modular image of `width` x `height` samples
// of table `kind` from its sub-stream, and stores them with
// SetRawQuantTable.
class RawQuantMatrixReader {
 public:
  virtual ~RawQuantMatrixReader() = default;
  virtual Status ReadRawQuantMatrix(const QovMemoryManagerStruct* manager,
                                    size_t width, size_t height,
                                    BitReader* reader, DequantTableSpec* spec,
                                    uint32_t kind) = 0;
};

// The frame's dequantisation state: specs, DC steps and the table block.
class DequantTableSet {
 public:
  DequantTableSet();
  DequantTableSet(DequantTableSet&&) noexcept = default;
  DequantTableSet& operator=(DequantTableSet&&) noexcept = default;
  DequantTableSet(const DequantTableSet&) = delete;
  DequantTableSet& operator=(const DequantTableSet&) = delete;

  // DC-global section of every frame: a 1-bit all-default flag, else three
  // half floats / 128. Failed when the reader ran past its input after the
  // flag bit, a half float has exponent 31 or a step is below 1e-8.
  Status ReadDcSteps(BitReader* reader);

  // AC-global section of a VarDCT frame: resets every spec, then unless the
  // all-default bit is set reads a 3-bit mode and its contents for each of
  // the 17 table kinds. Raw tables (mode 7) go through `raw_reader`; without
  // one they fail. On failure the specs are left partly read.
  Status ReadSpecs(const QovMemoryManagerStruct* manager, BitReader* reader,
                   RawQuantMatrixReader* raw_reader);

  // Computes the tables of every varblock kind in `used_kinds` (bit k for
  // VarBlockKind k) not computed yet, allocating the table block on first
  // use. Failed on an allocation failure or an invalid spec or weight.
  Status PrepareTables(const QovMemoryManagerStruct* manager, uint32_t used_kinds);

  // Multipliers (1 / weight) and weights of kind `kind`, channel c (0 X,
  // 1 Y, 2 B), in the coefficient layout; valid once prepared.
  const float* Table(VarBlockKind kind, size_t c) const {
    return table_ + table_offsets_[3 * static_cast<size_t>(kind) + c];
  }
  const float* Weights(VarBlockKind kind, size_t c) const {
    return weights_ + table_offsets_[3 * static_cast<size_t>(kind) + c];
  }
  size_t TableOffset(VarBlockKind kind, size_t c) const {
    return table_offsets_[3 * static_cast<size_t>(kind) + c];
  }
  const float* table() const { return table_; }
  const float* weights() const { return weights_; }
  uint32_t computed_kinds() const { return computed_kinds_; }
  // Without a spec list read, every kind reads as a default (library) spec.
  const DequantTableSpec& spec(DequantTableKind k) const {
    return specs_ != nullptr ? (*specs_)[static_cast<size_t>(k)] : DefaultSpec();
  }

  float dc_steps[3] = {1.0f / 4096.0f, 1.0f / 512.0f, 1.0f / 256.0f};
  float inv_dc_steps[3] = {4096.0f, 512.0f, 256.0f};

 private:
  uint32_t computed_kinds_ = 0;
  AlignedBlock table_block_;
  float* table_ = nullptr;    // multipliers, kDequantTableBlockFloats
  float* weights_ = nullptr;  // weights, kDequantTableBlockFloats
  size_t table_offsets_[3 * kNumVarBlockKinds];
  static const DequantTableSpec& DefaultSpec();

  // Null while every kind is a library spec: most sets (one per frame) are
  // never read or stay all-default, and the list is about 10 KB to clear.
  std::unique_ptr<DequantSpecList> specs_;
};

// Fast single-precision approximations that the table values depend on.
float TableApproxLog2(float x);
float TableApproxPow2(float y);
// a x 2^(t x log2(b / a)) through the approximations.
float InterpolatedPow(float a, float b, float t);

// Three rows x columns tables (X, Y, B) interpolated from a band list; rows
// at least 2, columns a positive multiple of 4 (else failed). Failed when a
// band falls below 1e-8. Runs four columns at a time on the best target;
// targets with fused multiply-add fuse the approximations' multiply-adds and
// the distance's sum of squares, so their last bits can differ from the
// scalar reference, which the other targets match exactly.
Status EvaluateDistanceBands(size_t rows, size_t columns,
                             const DistanceBandList& bands, float* out);
Status EvaluateDistanceBandsScalar(size_t rows, size_t columns,
                                   const DistanceBandList& bands, float* out);
// One channel of n >= 2 band values (the dispatching kernel behind
// EvaluateDistanceBands; columns a multiple of 4).
void DistanceBandRowsDispatch(size_t rows, size_t columns, const float* bands,
                              size_t n, float* out);

// Computes the three channel tables of table kind k from `spec` into
// multipliers[*position ...] and weights[*position ...] and advances the
// position by 3 x 64 x short x long.
Status FillDequantTable(const DequantTableSpec& spec, float* multipliers,
                        float* weights, DequantTableKind k, size_t* position);

}  // namespace qov

#endif  // QOV_LIB_VARDCT_DEQUANT_TABLES_H_
