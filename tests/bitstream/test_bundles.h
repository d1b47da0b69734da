// Small bundles used only by the tests of the field framework and of bundle
// writing. They exercise every visitor operation: all_default, enums, U32,
// U64, half floats, fixed-width fields, gates, nested bundles, lists sized
// from the stream and from elsewhere, and extension blocks with fields.
#ifndef QOV_TESTS_BITSTREAM_TEST_BUNDLES_H_
#define QOV_TESTS_BITSTREAM_TEST_BUNDLES_H_

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/bitstream/fields.h"

namespace qov {
namespace test {

// A bundle with an extension block. When `knows_extension_fields` is set
// (not part of the stream) the block holds a count and that many 11-bit
// words under extension bit 0; otherwise the listing defines no extension
// fields, as an older reader would, and the whole block is skipped.
struct TestInner : public Fields {
  TestInner() { Bundle::ResetToDefaults(this); }

  Status EnumerateFields(Visitor* v) override {
    bool use_defaults = false;
    QOV_RETURN_IF_ERROR(v->DefaultsFlag(this, &all_default, &use_defaults));
    if (use_defaults) {
      v->ApplyDefaults(this);
      return OkStatus();
    }
    QOV_RETURN_IF_ERROR(v->CodedU32(kEnumCoding, 0, &mode));
    if (mode > 20) return FailedStatus();
    if (v->Gate(mode == 2)) {
      QOV_RETURN_IF_ERROR(v->Flag(true, &sharp));
      QOV_RETURN_IF_ERROR(v->Half(0.5f, &strength));
    }
    QOV_RETURN_IF_ERROR(v->OpenExtensions(&extensions));
    if (knows_extension_fields && v->Gate((extensions & 1) != 0)) {
      QOV_RETURN_IF_ERROR(v->CodedU32(
          U32Coding(Val(0), Bits(3), BitsOffset(6, 8), BitsOffset(12, 72)), 0,
          &ext_count));
      if (v->IsDecoding()) {
        if (ext_count > 4000) return FailedStatus();
        ext_words.resize(ext_count);
      }
      for (uint32_t& w : ext_words) {
        QOV_RETURN_IF_ERROR(v->FixedBits(11, 0, &w));
      }
    }
    return v->CloseExtensions();
  }

  bool all_default = true;
  uint32_t mode = 0;
  bool sharp = true;
  float strength = 0.5f;
  uint64_t extensions = 0;
  uint32_t ext_count = 0;
  std::vector<uint32_t> ext_words;
  bool knows_extension_fields = true;  // not in the stream
};

struct TestOuter : public Fields {
  TestOuter() { Bundle::ResetToDefaults(this); }

  Status EnumerateFields(Visitor* v) override {
    bool use_defaults = false;
    QOV_RETURN_IF_ERROR(v->DefaultsFlag(this, &all_default, &use_defaults));
    if (use_defaults) {
      v->ApplyDefaults(this);
      return OkStatus();
    }
    QOV_RETURN_IF_ERROR(v->CodedU32(kEnumCoding, 0, &kind));
    if (kind > 3) return FailedStatus();
    QOV_RETURN_IF_ERROR(v->CodedU64(0, &count64));
    QOV_RETURN_IF_ERROR(v->Half(1.0f, &gain));
    // Stored 1..32, coded 0..31 (an offset field).
    bits5 -= 1;
    const Status s = v->FixedBits(5, 2, &bits5);
    bits5 += 1;
    QOV_RETURN_IF_ERROR(s);
    QOV_RETURN_IF_ERROR(v->Flag(false, &has_inner));
    if (v->Gate(has_inner)) QOV_RETURN_IF_ERROR(v->Nested(&inner));
    QOV_RETURN_IF_ERROR(v->CodedU32(
        U32Coding(Val(0), Bits(4), BitsOffset(5, 16), BitsOffset(10, 48)), 0,
        &name_length));
    if (v->IsDecoding()) name.resize(name_length);
    for (char& c : name) {
      uint32_t byte = static_cast<uint8_t>(c);
      QOV_RETURN_IF_ERROR(v->FixedBits(8, 0, &byte));
      c = static_cast<char>(byte);
    }
    // A list whose length is known from elsewhere: always two.
    pair.resize(2);
    for (TestInner& p : pair) QOV_RETURN_IF_ERROR(v->Nested(&p));
    QOV_RETURN_IF_ERROR(v->CodedU32(
        U32Coding(Val(7), Bits(8), BitsOffset(16, 256), Bits(32)), 7, &tail));
    QOV_RETURN_IF_ERROR(v->OpenExtensions(&extensions));
    return v->CloseExtensions();
  }

  void SetName(const std::string& s) {
    name = s;
    name_length = static_cast<uint32_t>(s.size());
  }

  bool all_default = true;
  uint32_t kind = 0;
  uint64_t count64 = 0;
  float gain = 1.0f;
  uint32_t bits5 = 3;  // 1..32
  bool has_inner = false;
  TestInner inner;
  uint32_t name_length = 0;
  std::string name;
  std::vector<TestInner> pair;
  uint32_t tail = 7;
  uint64_t extensions = 0;
};

inline bool SameInner(const TestInner& a, const TestInner& b) {
  return a.mode == b.mode && a.sharp == b.sharp && a.strength == b.strength &&
         a.extensions == b.extensions &&
         (!a.knows_extension_fields || !b.knows_extension_fields ||
          (a.ext_count == b.ext_count && a.ext_words == b.ext_words));
}

inline bool SameOuter(const TestOuter& a, const TestOuter& b) {
  if (a.pair.size() != b.pair.size()) return false;
  for (size_t i = 0; i < a.pair.size(); ++i) {
    if (!SameInner(a.pair[i], b.pair[i])) return false;
  }
  return a.kind == b.kind && a.count64 == b.count64 && a.gain == b.gain &&
         a.bits5 == b.bits5 && a.has_inner == b.has_inner &&
         SameInner(a.inner, b.inner) && a.name == b.name && a.tail == b.tail &&
         a.extensions == b.extensions;
}

// A chain of nested bundles, `links` deep below this one.
struct TestChain : public Fields {
  explicit TestChain(int links) {
    if (links > 0) next = std::make_unique<TestChain>(links - 1);
    Bundle::ResetToDefaults(this);
  }
  Status EnumerateFields(Visitor* v) override {
    QOV_RETURN_IF_ERROR(v->FixedBits(2, 1, &value));
    if (next) QOV_RETURN_IF_ERROR(v->Nested(next.get()));
    return OkStatus();
  }
  uint32_t value = 1;
  std::unique_ptr<TestChain> next;
};

}  // namespace test
}  // namespace qov

#endif  // QOV_TESTS_BITSTREAM_TEST_BUNDLES_H_
