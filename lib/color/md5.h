// MD5 message digest (RFC 1321), used as the identifier of synthesised ICC
// profiles.
#ifndef QOV_LIB_COLOR_MD5_H_
#define QOV_LIB_COLOR_MD5_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace qov {

std::array<uint8_t, 16> Md5Digest(const uint8_t* data, size_t size);

}  // namespace qov

#endif  // QOV_LIB_COLOR_MD5_H_
