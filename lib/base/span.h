// A non-owning view of bytes: the input of bit readers and parsers.
#ifndef QOV_LIB_BASE_SPAN_H_
#define QOV_LIB_BASE_SPAN_H_

#include <cstddef>
#include <cstdint>

namespace qov {

struct Span {
  const uint8_t* data = nullptr;
  size_t size = 0;

  constexpr Span() = default;
  constexpr Span(const uint8_t* d, size_t n) : data(d), size(n) {}

  const uint8_t* begin() const { return data; }
  const uint8_t* end() const { return data + size; }
  bool empty() const { return size == 0; }
  uint8_t operator[](size_t i) const { return data[i]; }
};

}  // namespace qov

#endif  // QOV_LIB_BASE_SPAN_H_
