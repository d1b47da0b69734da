// Visitors of the decoding side and the bundle-level operations.
#include "lib/bitstream/fields.h"

#include <cmath>

namespace qov {
namespace fields_internal {

Status VisitorBase::VisitBundle(Fields* bundle) {
  if (depth_ >= kMaxDepth) return FailedStatus();
  ++depth_;
  begun_ <<= 1;
  ended_ <<= 1;
  const Status status = bundle->EnumerateFields(this);
  begun_ >>= 1;
  ended_ >>= 1;
  --depth_;
  return status;
}

Status VisitorBase::Flag(bool default_value, bool* field) {
  uint32_t bit = *field ? 1 : 0;
  QOV_RETURN_IF_ERROR(FixedBits(1, default_value ? 1 : 0, &bit));
  *field = (bit == 1);
  return OkStatus();
}

Status VisitorBase::DefaultsFlag(Fields*, bool* all_default,
                                 bool* use_defaults) {
  QOV_RETURN_IF_ERROR(Flag(true, all_default));
  *use_defaults = *all_default;
  return OkStatus();
}

Status VisitorBase::OpenExtensions(uint64_t* extensions) {
  QOV_RETURN_IF_ERROR(CodedU64(0, extensions));
  begun_ |= 1;
  return OkStatus();
}

Status VisitorBase::CloseExtensions() {
  ended_ |= 1;
  return OkStatus();
}

}  // namespace fields_internal

// --- InitVisitor -------------------------------------------------------------

Status InitVisitor::Flag(bool default_value, bool* field) {
  *field = default_value;
  return OkStatus();
}
Status InitVisitor::CodedU32(const U32Coding&, uint32_t default_value,
                             uint32_t* field) {
  *field = default_value;
  return OkStatus();
}
Status InitVisitor::FixedBits(uint32_t, uint32_t default_value,
                              uint32_t* field) {
  *field = default_value;
  return OkStatus();
}
Status InitVisitor::CodedU64(uint64_t default_value, uint64_t* field) {
  *field = default_value;
  return OkStatus();
}
Status InitVisitor::Half(float default_value, float* field) {
  *field = default_value;
  return OkStatus();
}
Status InitVisitor::DefaultsFlag(Fields*, bool* all_default,
                                 bool* use_defaults) {
  *all_default = true;
  *use_defaults = false;  // visit the rest so that every field is set
  return OkStatus();
}

// --- AllDefaultVisitor -------------------------------------------------------

Status AllDefaultVisitor::CodedU32(const U32Coding&, uint32_t default_value,
                                   uint32_t* field) {
  all_default_ &= (*field == default_value);
  return OkStatus();
}
Status AllDefaultVisitor::FixedBits(uint32_t, uint32_t default_value,
                                    uint32_t* field) {
  all_default_ &= (*field == default_value);
  return OkStatus();
}
Status AllDefaultVisitor::CodedU64(uint64_t default_value, uint64_t* field) {
  all_default_ &= (*field == default_value);
  return OkStatus();
}
Status AllDefaultVisitor::Half(float default_value, float* field) {
  // A NaN field compares false and so is never default.
  all_default_ &= (std::fabs(*field - default_value) < 1e-6f);
  return OkStatus();
}
Status AllDefaultVisitor::DefaultsFlag(Fields*, bool*, bool* use_defaults) {
  *use_defaults = false;
  return OkStatus();
}

// --- ReadVisitor -------------------------------------------------------------

ReadVisitor::ReadVisitor(BitReader* reader) : reader_(reader) {}

Status ReadVisitor::VisitBundle(Fields* bundle) {
  if (depth_ < kMaxDepth) extensions_[depth_ + 1] = ExtensionRecord();
  return VisitorBase::VisitBundle(bundle);
}

Status ReadVisitor::CodedU32(const U32Coding& coding, uint32_t,
                             uint32_t* field) {
  *field = ReadCodedU32(coding, reader_);
  return reader_->CheckBounds();
}

Status ReadVisitor::FixedBits(uint32_t n, uint32_t, uint32_t* field) {
  if (n == 0 || n > 32) return FailedStatus();
  *field = static_cast<uint32_t>(reader_->Read(n));
  return reader_->CheckBounds();
}

Status ReadVisitor::CodedU64(uint64_t, uint64_t* field) {
  *field = ReadCodedU64(reader_);
  return reader_->CheckBounds();
}

Status ReadVisitor::Half(float, float* field) {
  if (!ReadHalfFloat(reader_, field).ok()) values_ok_ = false;
  return reader_->CheckBounds();
}

void ReadVisitor::ApplyDefaults(Fields* bundle) {
  SetDefaultVisitor defaults;
  bundle->EnumerateFields(&defaults).IgnoreError();
}

Status ReadVisitor::OpenExtensions(uint64_t* extensions) {
  QOV_RETURN_IF_ERROR(VisitorBase::OpenExtensions(extensions));
  ExtensionRecord& record = extensions_[depth_];
  record = ExtensionRecord();
  if (*extensions == 0) return OkStatus();
  for (uint64_t mask = *extensions; mask != 0; mask &= mask - 1) {
    uint64_t size = 0;
    QOV_RETURN_IF_ERROR(CodedU64(0, &size));
    if (record.total + size < record.total) return FailedStatus();
    record.total += size;
  }
  record.start = reader_->Position();
  return OkStatus();
}

Status ReadVisitor::CloseExtensions() {
  QOV_RETURN_IF_ERROR(VisitorBase::CloseExtensions());
  const ExtensionRecord record = extensions_[depth_];
  extensions_[depth_] = ExtensionRecord();
  if (record.start == 0 || !skip_extensions_) return OkStatus();
  const uint64_t end = record.start + record.total;
  if (end < record.start) return FailedStatus();
  const uint64_t position = reader_->Position();
  if (position > end) return FailedStatus();
  if (position < end) reader_->SkipLong(end - position);
  const Status status = reader_->CheckBounds();
  if (status.need_more_bytes()) NoteNeededBits(end);
  return status;
}

// --- Bundle ------------------------------------------------------------------

namespace Bundle {

void ResetToDefaults(Fields* bundle) {
  InitVisitor visitor;
  bundle->EnumerateFields(&visitor).IgnoreError();
}

bool HoldsDefaults(Fields& bundle) {
  AllDefaultVisitor visitor;
  bundle.EnumerateFields(&visitor).IgnoreError();
  return visitor.AllDefault();
}

Status Decode(BitReader& reader, Fields& bundle) {
  ReadVisitor visitor(&reader);
  QOV_RETURN_IF_ERROR(bundle.EnumerateFields(&visitor));
  return visitor.values_ok() ? OkStatus() : FailedStatus();
}

bool HasEnoughData(BitReader& reader, Fields& bundle) {
  return !Decode(reader, bundle).need_more_bytes();
}

}  // namespace Bundle

Status RequireBits(Visitor* visitor, uint64_t n) {
  auto* reading = dynamic_cast<ReadVisitor*>(visitor);
  if (reading == nullptr || !visitor->IsDecoding()) return FailedStatus();
  const BitReader* reader = reading->reader();
  const uint64_t position = reader->Position(), total = reader->InputBits();
  if (position > total || n > total - position) {
    if (position <= total && n <= UINT64_MAX - position) {
      reading->NoteNeededBits(position + n);
    }
    return NeedMoreBytesStatus();
  }
  return OkStatus();
}

// --- BundleProbe -------------------------------------------------------------

// Reads like ReadVisitor; a nested bundle of the top level that an earlier
// read took whole, starting at the same bit, is skipped.
class ProbeVisitor : public ReadVisitor {
 public:
  ProbeVisitor(BitReader* reader, std::vector<BundleProbeBase::Whole>* whole,
               uint64_t* skipped)
      : ReadVisitor(reader), whole_(whole), skipped_(skipped) {}

  // Also false when a skipped bundle held an invalid value.
  bool all_values_ok() const { return values_ok() && skipped_values_ok_; }

  Status Nested(Fields* bundle) override {
    if (depth() != 1) return ReadVisitor::Nested(bundle);
    BitReader* r = reader();
    const size_t ordinal = next_++;
    const uint64_t start = r->Position();
    if (ordinal < whole_->size()) {
      const BundleProbeBase::Whole w = (*whole_)[ordinal];
      if (w.start == start) {
        r->SkipLong(w.end - start);
        *skipped_ += w.end - start;
        if (!w.values_ok) skipped_values_ok_ = false;
        return r->CheckBounds();
      }
      whole_->resize(ordinal);  // not met when the input only grows
    }
    QOV_RETURN_IF_ERROR(ReadVisitor::Nested(bundle));
    whole_->push_back({start, r->Position(), values_ok()});
    return OkStatus();
  }

 private:
  bool skipped_values_ok_ = true;
  std::vector<BundleProbeBase::Whole>* whole_;
  uint64_t* skipped_;
  size_t next_ = 0;
};

void BundleProbeBase::Finish() {
  active_ = false;
  whole_values_ok_ = false;
  end_bit_ = 0;
  start_bit_ = wait_until_bits_ = last_input_bits_ = 0;
  whole_.clear();
  whole_.shrink_to_fit();
}

void BundleProbeBase::Reset() {
  Finish();
  reads_ = bits_read_ = 0;
}

bool BundleProbeBase::ShouldRead(const BitReader& reader, bool* fresh) {
  *fresh = false;
  if (!active_ || reader.Position() != start_bit_ ||
      reader.InputBits() < last_input_bits_) {
    active_ = true;
    start_bit_ = reader.Position();
    wait_until_bits_ = 0;
    whole_.clear();
    *fresh = true;
    return true;
  }
  return reader.InputBits() >= wait_until_bits_;
}

BundleProbeBase::Answer BundleProbeBase::Read(BitReader& reader, Fields& copy) {
  ++reads_;
  last_input_bits_ = reader.InputBits();
  uint64_t skipped = 0;
  ProbeVisitor visitor(&reader, &whole_, &skipped);
  const Status status = copy.EnumerateFields(&visitor);
  const uint64_t end = reader.Position();
  bits_read_ += end - start_bit_ - skipped;
  if (!reader.Close().ok()) return Answer::kFailed;
  if (!status.need_more_bytes()) {
    whole_values_ok_ = status.ok() && visitor.all_values_ok();
    end_bit_ = end;
    return Answer::kWhole;
  }
  // Bits up to the end of the input are final; at least one more byte, or
  // as far as a length already read reaches.
  uint64_t wait = reader.InputBits() + 1;
  if (visitor.needed_bits() > wait) wait = visitor.needed_bits();
  wait_until_bits_ = wait;
  return Answer::kNeedMore;
}

}  // namespace qov
