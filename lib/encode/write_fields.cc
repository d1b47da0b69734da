// Field codings of the writer side and the bundle-writing visitors.
#include "lib/encode/write_fields.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "lib/bitstream/image_metadata.h"

namespace qov {

Status ChooseU32Selector(const U32Coding& coding, uint32_t value,
                         uint32_t* selector, uint64_t* total_bits) {
  uint64_t best = 64;
  uint32_t best_selector = 0;
  for (uint32_t s = 0; s < 4; ++s) {
    const U32Choice choice = coding[s];
    if (ChoiceIsValue(choice)) {
      if (ChoiceValue(choice) == value) {
        best = 2;
        best_selector = s;
        break;
      }
      continue;
    }
    const uint64_t offset = ChoiceOffset(choice);
    const uint64_t n = ChoiceBitCount(choice);
    if (offset <= value && value < offset + (uint64_t{1} << n) && n + 2 < best) {
      best = n + 2;
      best_selector = s;
    }
  }
  if (best == 64) return FailedStatus();
  *selector = best_selector;
  *total_bits = best;
  return OkStatus();
}

Status WriteCodedU32(const U32Coding& coding, uint32_t value,
                     BitWriter* writer) {
  uint32_t selector = 0;
  uint64_t bits = 0;
  QOV_RETURN_IF_ERROR(ChooseU32Selector(coding, value, &selector, &bits));
  writer->PutBits(2, selector);
  const U32Choice choice = coding[selector];
  if (!ChoiceIsValue(choice)) {
    writer->PutBits(ChoiceBitCount(choice), value - ChoiceOffset(choice));
  }
  return OkStatus();
}

Status WriteCodedU64(uint64_t value, BitWriter* writer) {
  if (value == 0) {
    writer->PutBits(2, 0);
  } else if (value <= 16) {
    writer->PutBits(2, 1);
    writer->PutBits(4, value - 1);
  } else if (value <= 272) {
    writer->PutBits(2, 2);
    writer->PutBits(8, value - 17);
  } else {
    writer->PutBits(2, 3);
    writer->PutBits(12, value & 0xFFF);
    value >>= 12;
    int groups = 0;
    while (value != 0) {
      if (groups == 6) {
        // Bits 60..63: the last group has no terminator.
        writer->PutBits(1, 1);
        writer->PutBits(4, value & 0xF);
        return OkStatus();
      }
      writer->PutBits(1, 1);
      writer->PutBits(8, value & 0xFF);
      value >>= 8;
      ++groups;
    }
    writer->PutBits(1, 0);
  }
  return OkStatus();
}

uint64_t CodedU64Bits(uint64_t value) {
  if (value == 0) return 2;
  if (value <= 16) return 6;
  if (value <= 272) return 10;
  uint64_t bits = 2 + 12;
  value >>= 12;
  for (int groups = 0; value != 0; ++groups) {
    if (groups == 6) return bits + 5;
    bits += 9;
    value >>= 8;
  }
  return bits + 1;
}

bool FloatToHalfBits(float value, uint32_t* bits) {
  uint32_t f;
  std::memcpy(&f, &value, 4);
  const uint32_t sign = (f >> 16) & 0x8000u;
  const uint32_t e = (f >> 23) & 0xFF;
  const uint32_t m = f & 0x7FFFFFu;
  if (e > 142) return false;
  if (e < 103) {
    *bits = 0;
  } else if (e <= 112) {
    *bits = sign | ((1u << (e - 103)) + (m >> (126 - e)));
  } else {
    *bits = sign | ((e - 112) << 10) | (m >> 13);
  }
  return true;
}

// --- CanEncodeVisitor ----------------------------------------------------------

Status CanEncodeVisitor::CodedU32(const U32Coding& coding, uint32_t,
                                  uint32_t* field) {
  uint32_t selector = 0;
  uint64_t bits = 0;
  if (ChooseU32Selector(coding, *field, &selector, &bits).ok()) {
    total_bits_ += bits;
  } else {
    ok_ = false;
  }
  return OkStatus();
}

Status CanEncodeVisitor::FixedBits(uint32_t n, uint32_t, uint32_t* field) {
  if (n == 0 || n > 32 || (static_cast<uint64_t>(*field) >> n) != 0) {
    ok_ = false;
  }
  total_bits_ += n;
  return OkStatus();
}

Status CanEncodeVisitor::CodedU64(uint64_t, uint64_t* field) {
  total_bits_ += CodedU64Bits(*field);
  return OkStatus();
}

Status CanEncodeVisitor::Half(float, float* field) {
  const float value = *field;
  if (!std::isfinite(value) || std::fabs(value) > 65504.0f) ok_ = false;
  total_bits_ += 16;
  return OkStatus();
}

Status CanEncodeVisitor::DefaultsFlag(Fields* bundle, bool* all_default,
                                      bool* use_defaults) {
  AllDefaultVisitor defaults;
  bundle->EnumerateFields(&defaults).IgnoreError();
  *all_default = defaults.AllDefault();
  QOV_RETURN_IF_ERROR(Flag(true, all_default));
  *use_defaults = *all_default;
  return OkStatus();
}

Status CanEncodeVisitor::OpenExtensions(uint64_t* extensions) {
  QOV_RETURN_IF_ERROR(VisitorBase::OpenExtensions(extensions));
  extensions_mask_ = *extensions;
  if (*extensions == 0) return OkStatus();
  // One non-empty extension block per written tree.
  if (extension_start_ != 0) return FailedStatus();
  extension_start_ = total_bits_;
  if (extension_start_ == 0) return FailedStatus();
  extension_block_mask_ = *extensions;
  extension_depth_ = depth_;
  extension_block_open_ = true;
  return OkStatus();
}

Status CanEncodeVisitor::CloseExtensions() {
  QOV_RETURN_IF_ERROR(VisitorBase::CloseExtensions());
  // Nesting is strict: the next close at the block's own level is its end.
  if (extension_block_open_ && depth_ == extension_depth_) {
    extension_end_ = total_bits_;
    extension_block_open_ = false;
  }
  return OkStatus();
}

uint64_t CanEncodeVisitor::ExtensionBits() const {
  if (extension_start_ == 0) return 0;
  const uint64_t end = extension_block_open_ ? total_bits_ : extension_end_;
  return end - extension_start_;
}

// --- WriteVisitor ----------------------------------------------------------------

Status WriteVisitor::CodedU32(const U32Coding& coding, uint32_t,
                              uint32_t* field) {
  if (!WriteCodedU32(coding, *field, writer_).ok()) ok_ = false;
  return OkStatus();
}

Status WriteVisitor::FixedBits(uint32_t n, uint32_t, uint32_t* field) {
  if (n == 0 || n > 32 || (static_cast<uint64_t>(*field) >> n) != 0) {
    ok_ = false;
    return OkStatus();
  }
  writer_->PutBits(n, *field);
  return OkStatus();
}

Status WriteVisitor::CodedU64(uint64_t, uint64_t* field) {
  return WriteCodedU64(*field, writer_);
}

Status WriteVisitor::Half(float, float* field) {
  uint32_t bits = 0;
  if (!FloatToHalfBits(*field, &bits)) {
    ok_ = false;
    return OkStatus();
  }
  writer_->PutBits(16, bits);
  return OkStatus();
}

Status WriteVisitor::OpenExtensions(uint64_t* extensions) {
  QOV_RETURN_IF_ERROR(VisitorBase::OpenExtensions(extensions));
  if (*extensions == 0) return OkStatus();
  wrote_extension_block_ = true;
  // Every extension bit is ascribed to the lowest set mask bit.
  QOV_RETURN_IF_ERROR(WriteCodedU64(extension_bits_, writer_));
  for (uint64_t rest = *extensions & (*extensions - 1); rest != 0;
       rest &= rest - 1) {
    QOV_RETURN_IF_ERROR(WriteCodedU64(0, writer_));
  }
  return OkStatus();
}

// --- Bundle ------------------------------------------------------------------------

namespace Bundle {

Status MeasureEncoding(const Fields& bundle, uint64_t* extension_bits,
                       uint64_t* total_bits) {
  Fields& target = const_cast<Fields&>(bundle);
  CanEncodeVisitor visitor;
  QOV_RETURN_IF_ERROR(target.EnumerateFields(&visitor));
  if (!visitor.ok()) return FailedStatus();
  uint64_t ext = 0;
  uint64_t total = visitor.total_bits();
  if (visitor.extension_start() != 0) {
    if (visitor.total_bits() < visitor.extension_start()) return FailedStatus();
    ext = visitor.ExtensionBits();
    total += CodedU64Bits(ext);
    const int set_bits = std::popcount(visitor.extension_block_mask());
    if (set_bits >= 2) total += 2 * static_cast<uint64_t>(set_bits - 1);
  }
  *extension_bits = ext;
  *total_bits = total;
  return OkStatus();
}

Status Write(const Fields& bundle, BitWriter* writer, LayerType layer,
             AuxOut* aux) {
  uint64_t extension_bits = 0, total_bits = 0;
  QOV_RETURN_IF_ERROR(MeasureEncoding(bundle, &extension_bits, &total_bits));
  Fields& target = const_cast<Fields&>(bundle);
  const BitWriter::Task task = [&]() -> Status {
    WriteVisitor visitor(extension_bits, writer);
    QOV_RETURN_IF_ERROR(target.EnumerateFields(&visitor));
    if (!visitor.ok()) return FailedStatus();
    if (extension_bits != 0 && !visitor.wrote_extension_block()) {
      return FailedStatus();
    }
    return OkStatus();
  };
  return writer->WithBitBudget(total_bits, layer, aux, task, false);
}

}  // namespace Bundle

Status SignatureWriteTask::operator()() const {
  writer_->PutBits(8, 0xFF);
  writer_->PutBits(8, 0x0A);
  return OkStatus();
}

Status IccSizeWriteTask::operator()() const {
  return WriteCodedU64(icc_.size, writer_);
}

Status WriteCodestreamSignature(BitWriter* writer, AuxOut* aux) {
  const SignatureWriteTask task(writer);
  return writer->WithBitBudget(16, LayerType::kHeader, aux, task, false);
}

Status WriteCodestreamHeaders(CodecMetadata* metadata, BitWriter* writer,
                              AuxOut* aux) {
  QOV_RETURN_IF_ERROR(WriteCodestreamSignature(writer, aux));
  QOV_RETURN_IF_ERROR(
      Bundle::Write(metadata->size, writer, LayerType::kHeader, aux));
  QOV_RETURN_IF_ERROR(
      Bundle::Write(metadata->m, writer, LayerType::kHeader, aux));
  metadata->transform_data.xyb = metadata->m.xyb_encoded;
  return Bundle::Write(metadata->transform_data, writer, LayerType::kHeader,
                       aux);
}

Status WriteICC(Span icc, BitWriter* writer, LayerType layer, AuxOut* aux) {
  const IccSizeWriteTask task(icc, writer);
  return writer->WithBitBudget(CodedU64Bits(icc.size), layer, aux, task,
                               false);
}

}  // namespace qov
