// Writing header bundles through their field listing: the mirror of
// Bundle::Decode. CanEncodeVisitor checks and measures a bundle, WriteVisitor
// writes it; Bundle::Write runs both. Also the U32/U64/half-float writers.
#ifndef QOV_LIB_ENCODE_WRITE_FIELDS_H_
#define QOV_LIB_ENCODE_WRITE_FIELDS_H_

#include <cstdint>

#include "lib/base/span.h"
#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"
#include "lib/encode/bit_writer.h"

namespace qov {

struct CodecMetadata;

// The cheapest selector for `value` and the field's size including the two
// selector bits; the lowest selector wins ties and an equal literal always
// wins. Failed when no choice covers the value.
Status ChooseU32Selector(const U32Coding& coding, uint32_t value,
                         uint32_t* selector, uint64_t* total_bits);
Status WriteCodedU32(const U32Coding& coding, uint32_t value,
                     BitWriter* writer);
// Always Ok.
Status WriteCodedU64(uint64_t value, BitWriter* writer);
// Bits that WriteCodedU64 writes for `value` (2 to 73).
uint64_t CodedU64Bits(uint64_t value);
// The 16 bits of a half float, mantissa truncated; values below 2^-24 give
// 0 (sign dropped). False for NaN, infinities and magnitudes >= 65536.
bool FloatToHalfBits(float value, uint32_t* bits);

// Checks that every field is representable and counts the bundle's bits.
// Its DefaultsFlag stores into each bundle's all_default flag whether the
// bundle holds only defaults.
class CanEncodeVisitor : public fields_internal::VisitorBase {
 public:
  Status CodedU32(const U32Coding& coding, uint32_t, uint32_t* field) override;
  Status FixedBits(uint32_t n, uint32_t, uint32_t* field) override;
  Status CodedU64(uint64_t, uint64_t* field) override;
  Status Half(float, float* field) override;
  Status DefaultsFlag(Fields* bundle, bool* all_default,
                      bool* use_defaults) override;
  Status OpenExtensions(uint64_t* extensions) override;
  Status CloseExtensions() override;

  bool ok() const { return ok_; }
  uint64_t total_bits() const { return total_bits_; }
  // 0 while no non-empty extension block was seen.
  uint64_t extension_start() const { return extension_start_; }
  // Bits of the one non-empty extension block: from after its mask to the
  // close of that same block.
  uint64_t ExtensionBits() const;
  uint64_t extension_block_mask() const { return extension_block_mask_; }

 private:
  bool ok_ = true;
  uint64_t total_bits_ = 0;
  uint64_t extensions_mask_ = 0;       // the last mask visited
  uint64_t extension_start_ = 0;
  uint64_t extension_end_ = 0;         // 0 until the block is closed
  uint64_t extension_block_mask_ = 0;  // the mask of the non-empty block
  uint64_t extension_depth_ = 0;       // nesting level of that block
  bool extension_block_open_ = false;
};

// Writes a measured bundle. Unwritable values clear ok() and write nothing;
// the listing goes on.
class WriteVisitor : public fields_internal::VisitorBase {
 public:
  WriteVisitor(uint64_t extension_bits, BitWriter* writer)
      : extension_bits_(extension_bits), writer_(writer) {}

  Status CodedU32(const U32Coding& coding, uint32_t, uint32_t* field) override;
  Status FixedBits(uint32_t n, uint32_t, uint32_t* field) override;
  Status CodedU64(uint64_t, uint64_t* field) override;
  Status Half(float, float* field) override;
  Status OpenExtensions(uint64_t* extensions) override;

  bool ok() const { return ok_; }
  // True once a non-zero extension mask was written.
  bool wrote_extension_block() const { return wrote_extension_block_; }

 private:
  uint64_t extension_bits_;
  BitWriter* writer_;
  bool ok_ = true;
  bool wrote_extension_block_ = false;
};

namespace Bundle {

// Checks and sizes `bundle`: *extension_bits is the size of its one
// non-empty extension block (0 if none), *total_bits the size of the whole
// encoding. Stores into every visited bundle's all_default flag whether that
// bundle holds only defaults (the bundle is changed; the write relies on it).
// Failed for unencodable values or more than one non-empty extension block.
Status MeasureEncoding(const Fields& bundle, uint64_t* extension_bits,
                       uint64_t* total_bits);

// Measures, then writes the bundle in a budget of exactly the measured size.
// Nothing is written when the measure fails.
Status Write(const Fields& bundle, BitWriter* writer, LayerType layer,
             AuxOut* aux);

}  // namespace Bundle

// Writes the codestream signature bytes FF 0A.
class SignatureWriteTask {
 public:
  explicit SignatureWriteTask(BitWriter* writer) : writer_(writer) {}
  Status operator()() const;

 private:
  BitWriter* writer_;
};

// Writes the byte count of an ICC profile as a U64.
class IccSizeWriteTask {
 public:
  IccSizeWriteTask(const Span& icc, BitWriter* writer)
      : icc_(icc), writer_(writer) {}
  Status operator()() const;

 private:
  const Span& icc_;
  BitWriter* writer_;
};

// The codestream signature, in its own 16-bit budget charged to kHeader.
Status WriteCodestreamSignature(BitWriter* writer, AuxOut* aux);

// The start of a codestream: the signature, the size header, the image
// metadata and the custom transform data (whose xyb flag is first copied
// from the metadata), each in its own budget charged to kHeader. What
// follows (the ICC stream or the padding to a byte boundary, then frames)
// is the caller's.
Status WriteCodestreamHeaders(CodecMetadata* metadata, BitWriter* writer,
                              AuxOut* aux);

// The size field that opens a codestream's ICC stream (the byte count of
// `icc`), in its own budget.
Status WriteICC(Span icc, BitWriter* writer, LayerType layer, AuxOut* aux);

}  // namespace qov

#endif  // QOV_LIB_ENCODE_WRITE_FIELDS_H_
