// Synthesis of ICC 4.4 profiles for colour encodings described by fields,
// and the tag-body writers it is built from. All numbers big-endian.
#ifndef QOV_LIB_COLOR_ICC_SYNTH_H_
#define QOV_LIB_COLOR_ICC_SYNTH_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/base/status.h"
#include "lib/color/color_math.h"
#include "qov/qov.h"

namespace qov {

// Builds the whole profile of c into *profile. Failed (profile untouched)
// for Unknown colour space or transfer, XYB with an intent other than
// Perceptual, bad chromaticities, or a value without s15Fixed16 form.
Status SynthesizeIccProfile(const QovColorEncoding& c,
                            std::vector<uint8_t>* profile);

// The description text ('desc' tag) of c: a well-known name or the codes.
std::string IccDescription(const QovColorEncoding& c);

// --- tag-body writers (append to the tag data) ------------------------------

// s15Fixed16 of v (rounded half away from zero); Failed when |v| exceeds
// 32767.994140625 or v is NaN.
Status ToS15Fixed16(float v, int32_t* out);

void AppendBigEndian16(uint32_t v, std::vector<uint8_t>* bytes);
void AppendBigEndian32(uint32_t v, std::vector<uint8_t>* bytes);
void AppendSignature(const char sig[4], std::vector<uint8_t>* bytes);
Status AppendS15Fixed16(float v, std::vector<uint8_t>* bytes);

void AppendMlucTag(const std::string& text, std::vector<uint8_t>* tags);
Status AppendXyzTag(float x, float y, float z, std::vector<uint8_t>* tags);
Status AppendSf32Tag(const Matrix3x3& m, std::vector<uint8_t>* tags);
// Function type 0 takes one parameter (g), type 3 five (g, a, b, c, d).
Status AppendParametricCurve(const float* params, uint32_t function_type,
                             std::vector<uint8_t>* tags);
void AppendCurveTable(const uint16_t* samples, size_t count,
                      std::vector<uint8_t>* tags);

// Writes v at pos, growing bytes with zeros when it is too short.
void WriteBigEndian32At(uint32_t v, size_t pos, std::vector<uint8_t>* bytes);

// Pads the tag data to a multiple of 4 and records where the tag just
// written lies: last_offset += last_size, last_size = rest of the data.
void PadAndLocateTag(std::vector<uint8_t>* tags, uint32_t* last_offset,
                     uint32_t* last_size);

// Appends a 12-byte table entry and remembers its offset for the fix-up.
void AppendTagTableEntry(const char sig[4], uint32_t offset, uint32_t size,
                         std::vector<uint8_t>* table,
                         std::vector<uint32_t>* offsets);

// The 'cicp' body, padded, and its entry, for RGB encodings with named
// primaries (and a matching white point) and a named transfer function.
void AppendCicpTag(const QovColorEncoding& c, std::vector<uint8_t>* tags,
                   std::vector<uint8_t>* table, std::vector<uint32_t>* offsets,
                   uint32_t* last_offset, uint32_t* last_size);

// Bradford adaptation of the white point to D50; Failed when y is 0.
StatusOr<Matrix3x3> ComputeChadMatrix(double wx, double wy);

// Columns: the red, green and blue colorants adapted to D50.
StatusOr<Matrix3x3> ComputeColorants(const QovColorEncoding& c);

}  // namespace qov

#endif  // QOV_LIB_COLOR_ICC_SYNTH_H_
