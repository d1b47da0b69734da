// Field-bundle framework: every header record lists its fields once, in
// bitstream order, through a Visitor; visitors set defaults, compare with
// defaults, read (here) or measure and write (lib/encode/write_fields.h).
//
// Field-listing rules that every bundle follows:
//  1. A bundle with an all_default flag visits it first with DefaultsFlag;
//     when that answers use_defaults it calls ApplyDefaults(this) and
//     returns Ok.
//  2. Fields are visited in bitstream order; any non-Ok status is returned
//     at once, unchanged (NeedMoreBytes travels up to the caller).
//  3. Fields present only under a condition are visited only when
//     Gate(condition) answers true.
//  4. A list whose length comes from the stream is resized only when
//     IsDecoding() answers true; lists whose length is known from elsewhere
//     are resized under every visitor. Elements are visited with Nested.
//  5. Validity checks stand between the visits and return Failed.
//  6. A bundle with an extension block ends with OpenExtensions(&extensions)
//     and CloseExtensions().
//  7. Fields stored with an offset are adjusted before and after the visit
//     so that every visitor sees the coded form.
//
// Example:
//   Status Foo::EnumerateFields(Visitor* v) {
//     QOV_VISIT_DEFAULTS_FLAG(v, this, &all_default);
//     QOV_RETURN_IF_ERROR(v->CodedU32(kEnumCoding, 0, &kind));
//     if (v->Gate(kind == 1)) QOV_RETURN_IF_ERROR(v->Nested(&inner));
//     QOV_RETURN_IF_ERROR(v->OpenExtensions(&extensions));
//     return v->CloseExtensions();
//   }
#ifndef QOV_LIB_BITSTREAM_FIELDS_H_
#define QOV_LIB_BITSTREAM_FIELDS_H_

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"

namespace qov {

class Visitor;

// Base class of every header bundle.
class Fields {
 public:
  virtual ~Fields() = default;
  // Lists the bundle's fields in bitstream order (see the rules above).
  virtual Status EnumerateFields(Visitor* visitor) = 0;
};

class Visitor {
 public:
  virtual ~Visitor() = default;

  // Runs the nested bundle's listing one level deeper; Failed at depth 64.
  virtual Status VisitBundle(Fields* bundle) = 0;
  virtual Status Flag(bool default_value, bool* field) = 0;
  virtual Status CodedU32(const U32Coding& coding, uint32_t default_value,
                          uint32_t* field) = 0;
  // An n-bit field, 1 <= n <= 32.
  virtual Status FixedBits(uint32_t n, uint32_t default_value,
                           uint32_t* field) = 0;
  virtual Status CodedU64(uint64_t default_value, uint64_t* field) = 0;
  // A float field coded as a 16-bit half float.
  virtual Status Half(float default_value, float* field) = 0;
  // True when the fields guarded by `condition` are to be visited. The two
  // defaults visitors always answer true, so hidden fields get defaults too.
  virtual bool Gate(bool condition) = 0;
  // Visits the bundle's all_default flag. On Ok, *use_defaults is true when
  // the listing is to apply the defaults (ApplyDefaults) and stop; false
  // when the remaining fields are to be visited.
  virtual Status DefaultsFlag(Fields* bundle, bool* all_default,
                              bool* use_defaults) = 0;
  virtual void ApplyDefaults(Fields* bundle) = 0;
  // A nested bundle field.
  virtual Status Nested(Fields* bundle) = 0;
  // True only for the reading visitor.
  virtual bool IsDecoding() const = 0;
  // The extension mask (a U64) that opens an extension block...
  virtual Status OpenExtensions(uint64_t* extensions) = 0;
  // ...and the end of that block (skips unread extension bits when reading).
  virtual Status CloseExtensions() = 0;
};

namespace fields_internal {

// Behaviour shared by every concrete visitor.
class VisitorBase : public Visitor {
 public:
  static constexpr uint64_t kMaxDepth = 64;

  Status VisitBundle(Fields* bundle) override;
  Status Flag(bool default_value, bool* field) override;
  bool Gate(bool condition) override { return condition; }
  Status DefaultsFlag(Fields* bundle, bool* all_default,
                      bool* use_defaults) override;
  void ApplyDefaults(Fields*) override {}
  Status Nested(Fields* bundle) override { return VisitBundle(bundle); }
  bool IsDecoding() const override { return false; }
  Status OpenExtensions(uint64_t* extensions) override;
  Status CloseExtensions() override;

  uint64_t depth() const { return depth_; }

 protected:
  uint64_t depth_ = 1;  // 1 for the bundle at the top
  // One bit per nesting level (bit 0 = current level): extension blocks
  // opened and closed. Kept for bookkeeping; nothing decides on them.
  uint64_t begun_ = 0;
  uint64_t ended_ = 0;
};

}  // namespace fields_internal

// Sets every field of one bundle to its default; nested bundles are left
// alone (they reset themselves in their own constructors).
class InitVisitor : public fields_internal::VisitorBase {
 public:
  Status Flag(bool default_value, bool* field) override;
  Status CodedU32(const U32Coding&, uint32_t default_value,
                  uint32_t* field) override;
  Status FixedBits(uint32_t, uint32_t default_value, uint32_t* field) override;
  Status CodedU64(uint64_t default_value, uint64_t* field) override;
  Status Half(float default_value, float* field) override;
  bool Gate(bool) override { return true; }
  Status DefaultsFlag(Fields*, bool* all_default, bool* use_defaults) override;
  Status Nested(Fields*) override { return OkStatus(); }
};

// Like InitVisitor, descending into nested bundles.
class SetDefaultVisitor : public InitVisitor {
 public:
  Status Nested(Fields* bundle) override { return VisitBundle(bundle); }
};

// Answers whether every visited field holds its default (floats within 1e-6).
class AllDefaultVisitor : public fields_internal::VisitorBase {
 public:
  Status CodedU32(const U32Coding&, uint32_t default_value,
                  uint32_t* field) override;
  Status FixedBits(uint32_t, uint32_t default_value, uint32_t* field) override;
  Status CodedU64(uint64_t default_value, uint64_t* field) override;
  Status Half(float default_value, float* field) override;
  // Visits the remaining fields without looking at the flag.
  Status DefaultsFlag(Fields*, bool*, bool* use_defaults) override;

  bool AllDefault() const { return all_default_; }

 private:
  bool all_default_ = true;
};

// Decodes a bundle from a BitReader. After every field it records the
// position as checked and answers NeedMoreBytes when the reader went past
// the end of its input.
class ReadVisitor : public fields_internal::VisitorBase {
 public:
  explicit ReadVisitor(BitReader* reader);

  Status VisitBundle(Fields* bundle) override;
  Status CodedU32(const U32Coding& coding, uint32_t default_value,
                  uint32_t* field) override;
  Status FixedBits(uint32_t n, uint32_t default_value,
                   uint32_t* field) override;
  Status CodedU64(uint64_t default_value, uint64_t* field) override;
  // An infinity or NaN leaves the field unchanged and makes the whole
  // decode fail once the listing is done.
  Status Half(float default_value, float* field) override;
  void ApplyDefaults(Fields* bundle) override;
  bool IsDecoding() const override { return true; }
  Status OpenExtensions(uint64_t* extensions) override;
  Status CloseExtensions() override;

  bool values_ok() const { return values_ok_; }
  BitReader* reader() const { return reader_; }
  // The least input, in bits, that the bundle was seen to need when a read
  // ran short (a length read from the stream or an extension block said
  // so); 0 when nothing beyond the next byte is known.
  uint64_t needed_bits() const { return needed_bits_; }
  void NoteNeededBits(uint64_t bits) {
    if (bits > needed_bits_) needed_bits_ = bits;
  }

 private:
  // The extension block of one nesting level: bits declared by its sizes and
  // the position where those bits begin (0: no non-empty block open).
  struct ExtensionRecord {
    uint64_t total = 0;
    uint64_t start = 0;
  };

  BitReader* reader_;
  bool values_ok_ = true;
  uint64_t needed_bits_ = 0;
  bool skip_extensions_ = true;
  // Indexed by nesting depth, so a nested bundle's extension block never
  // disturbs the block of the bundle around it.
  ExtensionRecord extensions_[kMaxDepth + 1];
};

// Bundle-level operations.
namespace Bundle {

// Sets every field to its default (nested bundles keep their own values).
// Bundle constructors call it on themselves.
void ResetToDefaults(Fields* bundle);
inline void ResetToDefaults(Fields& bundle) { ResetToDefaults(&bundle); }

// True when every field of the listing (nested bundles included) holds its
// default. The listing runs in full, with its side effects.
bool HoldsDefaults(Fields& bundle);

// Reads the bundle. Returns the listing's status (NeedMoreBytes when the
// input is too short), else Failed when a half-float field held infinity or
// NaN, else Ok. The reader ends after the last bit read or skipped; after a
// failure the bundle holds whatever was read and must be reset or dropped.
Status Decode(BitReader& reader, Fields& bundle);

// The same decode; false only when it answered NeedMoreBytes. Use it on a
// scratch reader and bundle before committing to a header.
bool HasEnoughData(BitReader& reader, Fields& bundle);

}  // namespace Bundle

// Answers, while input keeps arriving, whether it holds a whole bundle, with
// work linear in the input however small the pieces. After a shortfall it
// waits until the input reaches the least size the bundle was seen to need;
// a new read skips the nested bundles of the top level that an earlier read
// took whole (their values stay in the probe's own copy of the bundle, and
// the bits before the end of the input never change).
class BundleProbeBase {
 public:
  enum class Answer { kWhole, kNeedMore, kFailed };

  // Forgets earlier reads and frees their records (the next probe starts
  // from a fresh copy); Reset also zeroes the counters.
  void Finish();
  void Reset();

  // Reads made and bits read (skips not counted) since the last Reset.
  uint64_t reads() const { return reads_; }
  uint64_t bits_read() const { return bits_read_; }

 protected:
  // `reader` stands at the bundle's first bit; *fresh is set when the copy
  // must be taken again from the caller's bundle before reading.
  bool ShouldRead(const BitReader& reader, bool* fresh);
  Answer Read(BitReader& reader, Fields& copy);

 private:
  struct Whole {
    uint64_t start, end;  // bit positions of a nested bundle read whole
    bool values_ok;
  };
  friend class ProbeVisitor;
  bool active_ = false;
  uint64_t start_bit_ = 0;
  uint64_t wait_until_bits_ = 0;
  uint64_t last_input_bits_ = 0;
  std::vector<Whole> whole_;
  uint64_t reads_ = 0;
  uint64_t bits_read_ = 0;

 protected:
  bool whole_values_ok_ = false;  // of the last read that answered kWhole
  uint64_t end_bit_ = 0;
};

template <typename T>
class BundleProbe : public BundleProbeBase {
 public:
  // `reader` is over all the input so far, at the bundle's first bit;
  // `bundle` holds the values the bundle starts from (copied on a fresh
  // start). The reader given is not moved.
  Answer Probe(const BitReader& reader, const T& bundle) {
    bool fresh = false;
    if (!ShouldRead(reader, &fresh)) return Answer::kNeedMore;
    if (fresh) copy_ = bundle;
    BitReader scratch = reader;
    return Read(scratch, copy_);
  }
  // After kWhole: moves the values read into `bundle` and returns true with
  // the bundle's end position, when every value read was valid; false (the
  // caller then decodes itself) otherwise.
  bool TakeWhole(T* bundle, uint64_t* end_bit) {
    if (!whole_values_ok_) return false;
    *bundle = std::move(copy_);
    *end_bit = end_bit_;
    return true;
  }
  void Finish() {
    BundleProbeBase::Finish();
    copy_ = T();
  }
  void Reset() {
    Finish();
    BundleProbeBase::Reset();
  }

 private:
  T copy_;
};

// The frame driver's entry for reading a frame header: Bundle::Decode.
inline Status DecodeFrameHeaderFields(BitReader& reader, Fields& frame_header) {
  return Bundle::Decode(reader, frame_header);
}

// Inside a listing, before a part whose length was read from the stream:
// with the reading visitor, NeedMoreBytes when fewer than n bits remain in
// its input, else Ok; with any other visitor Failed (ask IsDecoding first).
Status RequireBits(Visitor* visitor, uint64_t n);

}  // namespace qov

// Rule 1 of the field listings: visits the bundle's all_default flag and,
// when the bundle holds only defaults, applies them and ends the listing.
#define QOV_VISIT_DEFAULTS_FLAG(visitor, bundle, all_default_field)           \
  do {                                                                        \
    bool qov_use_defaults_ = false;                                           \
    QOV_RETURN_IF_ERROR((visitor)->DefaultsFlag((bundle), (all_default_field), \
                                                &qov_use_defaults_));         \
    if (qov_use_defaults_) {                                                  \
      (visitor)->ApplyDefaults(bundle);                                       \
      return ::qov::OkStatus();                                               \
    }                                                                         \
  } while (0)

#endif  // QOV_LIB_BITSTREAM_FIELDS_H_
