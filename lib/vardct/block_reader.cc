// Reading the quantised AC coefficients of varblocks from a group's passes.
#include "lib/vardct/block_reader.h"

#include <algorithm>
#include <array>
#include <type_traits>

#include "lib/base/bits.h"

namespace qov {
namespace {

// Context part of the remaining non-zero count n = ceil(left / covered).
constexpr std::array<uint16_t, 64> MakeRemainingContexts() {
  std::array<uint16_t, 64> t{};
  t[0] = 2989;  // never used
  for (uint32_t n = 1; n < 64; ++n) {
    t[n] = n == 1    ? 0
           : n == 2  ? 31
           : n <= 4  ? 62
           : n <= 8  ? 93
           : n <= 12 ? 123
           : n <= 20 ? 152
           : n <= 32 ? 180
                     : 206;
  }
  return t;
}

// Context part of the position p = k >> log2(covered) in the order.
constexpr std::array<uint16_t, 64> MakePositionContexts() {
  std::array<uint16_t, 64> t{};
  t[0] = 2989;  // never used
  for (uint32_t p = 1; p < 64; ++p) {
    t[p] = p < 16 ? p - 1 : p < 32 ? 15 + (p - 16) / 2 : 23 + (p - 32) / 4;
  }
  return t;
}

constexpr std::array<uint16_t, 64> kRemainingContexts = MakeRemainingContexts();
constexpr std::array<uint16_t, 64> kPositionContexts = MakePositionContexts();

// Everything one channel of one varblock needs for one pass.
struct ChannelRead {
  size_t context_offset;
  size_t log2_covered;
  int32_t* count_row;
  const int32_t* top_row;  // null in the channel's first row
  size_t count_stride;
  size_t c;
  size_t sbx;
  size_t bx;
  VarBlockKind kind;
  const uint32_t* orders;  // the pass's orders
  BitReader* reader;
  SymbolReader* symbols;
  const uint8_t* context_map;
  const uint8_t* dc_bucket_row;
  const int32_t* qf_row;
  const BlockCtxMap* block_ctx_map;
  uint32_t shift;
};

template <typename T, bool kLz77>
Status ReadBlockCoefficients(const ChannelRead& r, T* location) {
  using U = std::make_unsigned_t<T>;
  const size_t log2_covered = r.log2_covered;
  const size_t covered = size_t{1} << log2_covered;
  const size_t size = 64 * covered;
  auto read = [&](size_t ctx) -> uint32_t {
    const uint8_t cluster = r.context_map[ctx];
    return kLz77 ? r.symbols->ReadClusteredUint(cluster, *r.reader)
                 : r.symbols->ReadClusteredUintNoLz77(cluster, *r.reader);
  };

  // Predicted count from the top and left neighbours.
  int32_t predicted;
  if (r.sbx > 0) {
    predicted = r.top_row != nullptr
                    ? (r.top_row[r.sbx] + r.count_row[r.sbx - 1] + 1) / 2
                    : r.count_row[r.sbx - 1];
  } else {
    predicted = r.top_row != nullptr ? r.top_row[0] : 32;
  }

  const size_t bucket = ScanBucketOf(r.kind);
  const uint32_t* order =
      r.orders + 64 * kScanOrderOffsets[3 * bucket + r.c];
  const BlockCtxMap& map = *r.block_ctx_map;
  const uint32_t qf_bucket =
      map.QuantFieldBucket(static_cast<uint32_t>(r.qf_row[r.sbx]));
  const size_t block_ctx =
      map.Context(r.c, bucket, qf_bucket, r.dc_bucket_row[r.bx]);
  const size_t num_contexts = map.num_contexts;

  const size_t count_bucket =
      predicted < 8 ? static_cast<size_t>(predicted)
                    : static_cast<size_t>(std::min(predicted, 64)) / 2 + 4;
  uint32_t nonzeros = read(static_cast<uint32_t>(
      count_bucket * num_contexts + r.context_offset + block_ctx));
  if (nonzeros > size - covered) return FailedStatus();

  // Every count sample the varblock covers gets ceil(nonzeros / covered).
  const int32_t stored =
      static_cast<int32_t>((nonzeros + covered - 1) >> log2_covered);
  const size_t cx = CoveredBlocksX(r.kind), cy = CoveredBlocksY(r.kind);
  for (size_t iy = 0; iy < cy; ++iy) {
    int32_t* row = r.count_row + iy * r.count_stride + r.sbx;
    std::fill(row, row + cx, stored);
  }
  if (nonzeros == 0) return OkStatus();

  const size_t zero_density_base =
      r.context_offset + num_contexts * kNumCountContexts +
      block_ctx * kZeroDensityContexts;
  size_t prev = nonzeros <= size / 16 ? 1 : 0;
  for (size_t k = covered; k < size && nonzeros > 0; ++k) {
    const size_t ctx =
        zero_density_base +
        2 * (kRemainingContexts[(nonzeros + covered - 1) >> log2_covered] +
             kPositionContexts[k >> log2_covered]) +
        prev;
    const uint32_t v = read(ctx);
    const uint32_t unpacked = static_cast<uint32_t>(UnpackSigned(v));
    // Adds with wrap-around in the entry's width.
    T& entry = location[order[k]];
    entry = static_cast<T>(static_cast<U>(
        static_cast<U>(entry) + static_cast<U>(unpacked << r.shift)));
    prev = v != 0 ? 1 : 0;
    nonzeros -= static_cast<uint32_t>(prev);
  }
  return nonzeros > 0 ? FailedStatus() : OkStatus();
}

}  // namespace

Status GetBlockFromBitstream::InitPass(size_t i, uint32_t selector) {
  const Image3I& counts = p_.count_images[i];
  if (i == 0) count_stride_ = counts.Plane(0).PixelsPerRow();
  for (size_t c = 0; c < 3; ++c) {
    if (counts.Plane(c).PixelsPerRow() != count_stride_ ||
        counts.Plane(c).xsize() < kGroupDimInBlocks ||
        counts.Plane(c).ysize() < kGroupDimInBlocks) {
      return FailedStatus();
    }
  }
  const size_t per_set =
      p_.block_ctx_map->num_contexts * kAcContextsPerBlockContext;
  const size_t offset = static_cast<size_t>(selector) * per_set;
  // The highest context a set can name is offset + per_set + 15.
  if (p_.context_maps[i].size() < offset + per_set + kAcContextMapPadding) {
    return FailedStatus();
  }
  context_offsets_[i] = offset;
  QOV_ASSIGN_OR_RETURN(readers_[i],
                       SymbolReader::Create(p_.codes[i], *p_.readers[i], 0));
  return OkStatus();
}

bool GetBlockFromBitstream::AllReadersFinal() const {
  for (size_t i = 0; i < p_.num_passes; ++i) {
    if (!readers_[i].CheckFinalState()) return false;
  }
  return true;
}

void GetBlockFromBitstream::BeginBlockRow(size_t by) {
  qf_row_ = p_.raw_quant_field->ConstRow(p_.y0 + by) + p_.x0;
  dc_bucket_row_ = p_.dc_buckets->ConstRow(p_.y0 + by) + p_.x0;
  for (size_t c = 0; c < 3; ++c) {
    const size_t r = by >> p_.vshift[c];
    for (size_t i = 0; i < p_.num_passes; ++i) {
      Image3I& counts = p_.count_images[i];
      count_rows_[i][c] = counts.PlaneRow(c, r);
      top_count_rows_[i][c] = r > 0 ? counts.PlaneRow(c, r - 1) : nullptr;
    }
  }
}

Status GetBlockFromBitstream::ReadBlock(size_t bx, size_t by,
                                        VarBlockKind kind, size_t /*count*/,
                                        size_t log2_covered,
                                        void* const locations[3],
                                        CoefficientWidth width) {
  static constexpr size_t kChannelOrder[3] = {1, 0, 2};
  for (size_t c : kChannelOrder) {
    const size_t sbx = bx >> p_.hshift[c], sby = by >> p_.vshift[c];
    if ((sbx << p_.hshift[c]) != bx || (sby << p_.vshift[c]) != by) continue;
    for (size_t i = 0; i < p_.num_passes; ++i) {
      const ChannelRead r = {context_offsets_[i],
                             log2_covered,
                             count_rows_[i][c],
                             top_count_rows_[i][c],
                             count_stride_,
                             c,
                             sbx,
                             bx,
                             kind,
                             p_.orders + i * p_.order_stride,
                             p_.readers[i],
                             &readers_[i],
                             p_.context_maps[i].data(),
                             dc_bucket_row_,
                             qf_row_,
                             p_.block_ctx_map,
                             p_.pass_shifts[i]};
      const bool lz77 = readers_[i].window != nullptr;
      Status status;
      if (width == CoefficientWidth::Bits16) {
        int16_t* location = static_cast<int16_t*>(locations[c]);
        status = lz77 ? ReadBlockCoefficients<int16_t, true>(r, location)
                      : ReadBlockCoefficients<int16_t, false>(r, location);
      } else {
        int32_t* location = static_cast<int32_t*>(locations[c]);
        status = lz77 ? ReadBlockCoefficients<int32_t, true>(r, location)
                      : ReadBlockCoefficients<int32_t, false>(r, location);
      }
      QOV_RETURN_IF_ERROR(status);
    }
  }
  return OkStatus();
}

Status GetBlockFromEncoder::ReadBlock(size_t /*bx*/, size_t /*by*/,
                                      VarBlockKind /*kind*/, size_t count,
                                      size_t /*log2_covered*/,
                                      void* const locations[3],
                                      CoefficientWidth width) {
  if (width != CoefficientWidth::Bits32) return FailedStatus();
  for (size_t c = 0; c < 3; ++c) {
    int32_t* out = static_cast<int32_t*>(locations[c]);
    for (size_t p = 0; p < num_passes_; ++p) {
      const int32_t* in = values_[p][c] + offset_;
      for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<int32_t>(static_cast<uint32_t>(out[i]) +
                                      (static_cast<uint32_t>(in[i]) << shifts_[p]));
      }
    }
  }
  offset_ += count;
  return OkStatus();
}

}  // namespace qov
