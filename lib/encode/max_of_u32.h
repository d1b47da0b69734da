// Largest value of an array of unsigned 32-bit integers (SIMD).
#ifndef QOV_LIB_ENCODE_MAX_OF_U32_H_
#define QOV_LIB_ENCODE_MAX_OF_U32_H_

#include <cstddef>
#include <cstdint>

namespace qov {

// 0 for a count of 0. Contract: reads whole vectors, so up to 7 readable
// entries must follow the last value (their contents are ignored).
uint32_t MaxOfU32(const uint32_t* values, size_t count);
uint32_t MaxOfU32Scalar(const uint32_t* values, size_t count);

}  // namespace qov

#endif  // QOV_LIB_ENCODE_MAX_OF_U32_H_
