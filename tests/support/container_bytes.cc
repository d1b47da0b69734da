// Byte builders for test files (see the header).
#include "tests/support/container_bytes.h"

#include <cstring>

namespace qov {

namespace {

void AppendRaw(const void* data, size_t n, Bytes* out) {
  if (n == 0) return;
  const size_t at = out->size();
  out->resize(at + n);
  std::memcpy(out->data() + at, data, n);
}

}  // namespace

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) AppendRaw(p.data(), p.size(), &out);
  return out;
}

Bytes StringBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

void AppendBE(uint64_t value, int bytes, Bytes* out) {
  const size_t at = out->size();
  out->resize(at + static_cast<size_t>(bytes));
  for (int i = 0; i < bytes; ++i) {
    (*out)[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
  }
}

Bytes Box(const char (&type)[5], const Bytes& contents) {
  Bytes out;
  AppendBE(contents.size() + 8, 4, &out);
  AppendRaw(type, 4, &out);
  AppendRaw(contents.data(), contents.size(), &out);
  return out;
}

Bytes Box64(const char (&type)[5], const Bytes& contents) {
  Bytes out;
  AppendBE(1, 4, &out);
  AppendRaw(type, 4, &out);
  AppendBE(contents.size() + 16, 8, &out);
  AppendRaw(contents.data(), contents.size(), &out);
  return out;
}

Bytes BoxToEnd(const char (&type)[5], const Bytes& contents) {
  Bytes out;
  AppendBE(0, 4, &out);
  AppendRaw(type, 4, &out);
  AppendRaw(contents.data(), contents.size(), &out);
  return out;
}

Bytes SignatureBox() {
  return {0x00, 0x00, 0x00, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
}

Bytes FtypBox(uint32_t minor_version) {
  Bytes contents = StringBytes("jxl ");
  AppendBE(minor_version, 4, &contents);
  const Bytes brand = StringBytes("jxl ");
  AppendRaw(brand.data(), brand.size(), &contents);
  return Box("ftyp", contents);
}

Bytes PartBox(uint32_t index, bool last, const Bytes& bytes) {
  Bytes contents;
  AppendBE(index | (last ? 0x80000000u : 0u), 4, &contents);
  AppendRaw(bytes.data(), bytes.size(), &contents);
  return Box("jxlp", contents);
}

Bytes BrotliStored(const Bytes& data) {
  // Window bits 16 (one 0 bit); a meta-block that is not last, 4 nibbles of
  // length - 1, stored; padded to a byte; the bytes; a last empty meta-block.
  // Bit layout of the first 21 bits: 0, 0, 00, MLEN-1 (16 bits), 1.
  const uint64_t mlen = data.size() - 1;
  uint64_t bits = (mlen << 4) | (uint64_t{1} << 20);
  Bytes out = {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
               static_cast<uint8_t>(bits >> 16)};
  AppendRaw(data.data(), data.size(), &out);
  out.push_back(0x03);  // ISLAST, ISLASTEMPTY
  return out;
}

}  // namespace qov
