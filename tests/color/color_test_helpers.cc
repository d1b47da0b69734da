// Helpers of the colour tests.
#include "tests/color/color_test_helpers.h"

#include <gtest/gtest.h>

#include "lib/base/memory.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/write_fields.h"

namespace qov::test {

const QovMemoryManagerStruct* ColorTestMemoryManager() {
  static const QovMemoryManagerStruct manager = [] {
    QovMemoryManagerStruct m{};
    SetUpMemoryManager(&m, nullptr).IgnoreError();
    return m;
  }();
  return &manager;
}

Bits& Bits::Raw(uint32_t n, uint32_t value) {
  EXPECT_LE(n, 32u);
  ops_.push_back({false, n, value, kEnumCoding});
  size_bits_ += n;
  return *this;
}

Bits& Bits::U32(const U32Coding& coding, uint32_t value) {
  uint32_t selector = 0;
  uint64_t bits = 0;
  EXPECT_TRUE(ChooseU32Selector(coding, value, &selector, &bits).ok())
      << "no choice codes " << value;
  ops_.push_back({true, 0, value, coding});
  size_bits_ += bits;
  return *this;
}

std::vector<uint8_t> Bits::Bytes() const {
  BitWriter writer(ColorTestMemoryManager());
  const Status status =
      writer.WithBitBudget(size_bits_, LayerType::kHeader, nullptr, [&] {
        for (const Op& op : ops_) {
          if (op.coded) {
            QOV_RETURN_IF_ERROR(WriteCodedU32(op.coding, op.value, &writer));
          } else {
            writer.PutBits(op.n, op.value);
          }
        }
        return OkStatus();
      });
  EXPECT_TRUE(status.ok());
  const Span span = writer.GetSpan();
  return std::vector<uint8_t>(span.data, span.data + span.size);
}

std::vector<uint8_t> WriteBundle(const Fields& bundle, Status* status,
                                 uint64_t* bits) {
  BitWriter writer(ColorTestMemoryManager());
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
