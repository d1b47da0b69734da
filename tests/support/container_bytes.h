// Byte builders for test files: concatenation, big-endian fields and the
// boxes of the file-format container.
#ifndef QOV_TESTS_SUPPORT_CONTAINER_BYTES_H_
#define QOV_TESTS_SUPPORT_CONTAINER_BYTES_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace qov {

using Bytes = std::vector<uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts);
Bytes StringBytes(const std::string& text);
void AppendBE(uint64_t value, int bytes, Bytes* out);

// A box with a 32-bit size, with a 64-bit size (size field 1), or running to
// the end of the file (size field 0).
Bytes Box(const char (&type)[5], const Bytes& contents);
Bytes Box64(const char (&type)[5], const Bytes& contents);
Bytes BoxToEnd(const char (&type)[5], const Bytes& contents);
// The 12-byte signature box.
Bytes SignatureBox();
// An 'ftyp' box with brand 'jxl ' and the given minor version.
Bytes FtypBox(uint32_t minor_version);
// A 'jxlp' box: the part index word (bit 31 for the last part), then bytes.
Bytes PartBox(uint32_t index, bool last, const Bytes& bytes);
// A brotli stream holding `data` as one uncompressed meta-block.
Bytes BrotliStored(const Bytes& data);

}  // namespace qov

#endif  // QOV_TESTS_SUPPORT_CONTAINER_BYTES_H_
