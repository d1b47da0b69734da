// Reads DC steps and dequantisation specs from the input, with raw tables
// whose samples also come from the input, then computes the tables of the
// varblock kinds named by the input's last four bytes, and inverse-transforms
// a block of input floats with the kind named by the first byte. Checks that
// no input crashes, over-reads, writes outside its buffers or leaks.
#include <cstdint>
#include <cstring>
#include <vector>

#include "lib/base/memory.h"
#include "lib/base/span.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/vardct/dct.h"
#include "lib/vardct/dequant_tables.h"
#include "lib/vardct/varblock.h"

namespace {

// Raw tables: a half-float denominator, then one byte per sample.
class BitsRawReader : public qov::RawQuantMatrixReader {
 public:
  qov::Status ReadRawQuantMatrix(const QovMemoryManagerStruct*, size_t width,
                                 size_t height, qov::BitReader* reader,
                                 qov::DequantTableSpec* spec, uint32_t) override {
    float denominator;
    QOV_RETURN_IF_ERROR(qov::ReadHalfFloat(reader, &denominator));
    std::vector<int32_t> samples(3 * width * height);
    for (int32_t& s : samples) s = static_cast<int32_t>(reader->Read(8)) + 1;
    return qov::SetRawQuantTable(denominator, samples.data(), samples.size(), spec);
  }
};

void TransformBlock(const uint8_t* data, size_t size) {
  if (size == 0) return;
  const uint32_t kind = data[0] % 30;
  const size_t count = qov::InverseTransformScratchFloats(kind) == 0
                           ? 64
                           : qov::CoefficientCount(static_cast<qov::VarBlockKind>(kind));
  std::vector<float> coefficients(count, 0.0f);
  std::memcpy(coefficients.data(), data, std::min(size, count * sizeof(float)));
  std::vector<float> scratch(qov::InverseTransformScratchFloats(kind) + 8);
  const size_t w = kind < qov::kNumVarBlockKinds ? 8 * qov::kVarBlockCoveredX[kind] : 8;
  const size_t h = kind < qov::kNumVarBlockKinds ? 8 * qov::kVarBlockCoveredY[kind] : 8;
  std::vector<float> pixels(w * h);
  // The scratch is aligned by the vector's allocator only to 16 bytes; the
  // kernels use unaligned accesses there.
  qov::InverseTransformBlock(kind, coefficients.data(), pixels.data(), w, scratch.data());
  std::vector<float> dc(32 * 32, 1.0f);
  std::vector<float> low(qov::LowFrequencyScratchFloats(kind) + 8);
  qov::DcToLowFrequencies(kind, dc.data(), 32, coefficients.data(), low.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TransformBlock(data, size);
  uint32_t mask = 0x7FFFFFF;
  if (size >= 4) {
    std::memcpy(&mask, data + size - 4, 4);
    size -= 4;
  }
  qov::BitReader reader(qov::Span(data, size));
  qov::DequantTableSet set;
  BitsRawReader raw;
  if (!set.ReadDcSteps(&reader).ok()) return 0;
  if (!set.ReadSpecs(qov::HeapMemoryManager(), &reader, &raw).ok()) return 0;
  if (reader.PastEnd()) return 0;
  (void)set.PrepareTables(qov::HeapMemoryManager(), mask);
  return 0;
}
