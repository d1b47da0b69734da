// Test support shared by the bundle tests.
#include "tests/support/bit_sequence.h"

#include <gtest/gtest.h>

#include "lib/base/memory.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/write_fields.h"

namespace qov::test {


BitSequence& BitSequence::Bits(uint32_t n, uint64_t value) {
  EXPECT_LE(n, 56u);
  EXPECT_EQ(n >= 64 ? 0 : value >> n, 0u) << "value wider than its field";
  ops_.push_back({Kind::kBits, n, value, kEnumCoding});
  size_bits_ += n;
  return *this;
}

BitSequence& BitSequence::U32(const U32Coding& coding, uint32_t value) {
  uint32_t selector = 0;
  uint64_t bits = 0;
  EXPECT_TRUE(ChooseU32Selector(coding, value, &selector, &bits).ok())
      << "no choice codes " << value;
  ops_.push_back({Kind::kU32, 0, value, coding});
  size_bits_ += bits;
  return *this;
}

BitSequence& BitSequence::U64(uint64_t value) {
  ops_.push_back({Kind::kU64, 0, value, kEnumCoding});
  size_bits_ += CodedU64Bits(value);
  return *this;
}

BitSequence& BitSequence::F16(float value) {
  uint32_t bits = 0;
  EXPECT_TRUE(FloatToHalfBits(value, &bits)) << value;
  return Bits(16, bits);
}

std::vector<uint8_t> BitSequence::Bytes() const {
  BitWriter writer(HeapMemoryManager());
  const Status status =
      writer.WithBitBudget(size_bits_, LayerType::kHeader, nullptr, [&] {
        for (const Op& op : ops_) {
          switch (op.kind) {
            case Kind::kBits:
              writer.PutBits(op.n, op.value);
              break;
            case Kind::kU32:
              QOV_RETURN_IF_ERROR(WriteCodedU32(
                  op.coding, static_cast<uint32_t>(op.value), &writer));
              break;
            case Kind::kU64:
              QOV_RETURN_IF_ERROR(WriteCodedU64(op.value, &writer));
              break;
          }
        }
        return OkStatus();
      });
  EXPECT_TRUE(status.ok());
  EXPECT_EQ(writer.BitsWritten(), size_bits_);
  const Span span = writer.GetSpan();
  return std::vector<uint8_t>(span.data, span.data + span.size);
}

std::vector<uint8_t> WriteBundle(const Fields& bundle, uint64_t* bits) {
  BitWriter writer(HeapMemoryManager());
  const Status status =
      Bundle::Write(bundle, &writer, LayerType::kHeader, nullptr);
  EXPECT_TRUE(status.ok()) << "Bundle::Write failed";
  if (bits != nullptr) *bits = writer.BitsWritten();
  if (!status.ok()) return {};
  const Span span = writer.GetSpan();
  return std::vector<uint8_t>(span.data, span.data + span.size);
}

std::vector<uint8_t> WriteBundle(const Fields& bundle, Status* status,
                                 uint64_t* bits) {
  BitWriter writer(HeapMemoryManager());
  *status = Bundle::Write(bundle, &writer, LayerType::kHeader, nullptr);
  if (bits != nullptr) *bits = writer.BitsWritten();
  if (!status->ok()) return {};
  const Span span = writer.GetSpan();
  return std::vector<uint8_t>(span.data, span.data + span.size);
}

Status DecodeBundle(const std::vector<uint8_t>& bytes, Fields* bundle,
                    uint64_t* position) {
  BitReader reader(Span(bytes.data(), bytes.size()));
  const Status status = Bundle::Decode(reader, *bundle);
  if (position != nullptr) *position = reader.Position();
  return status;
}

}  // namespace qov::test
