// Counts the bytes requested from operator new in the JPEG test program, so
// that tests can show a reader does not allocate ahead of its input. Left
// out under AddressSanitizer, which brings its own operator new.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "tests/jpeg/jpeg_test_helpers.h"

#if defined(__SANITIZE_ADDRESS__)
#define QOV_JPEG_COUNT_NEW 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QOV_JPEG_COUNT_NEW 0
#endif
#endif
#ifndef QOV_JPEG_COUNT_NEW
#define QOV_JPEG_COUNT_NEW 1
#endif

namespace {
std::atomic<uint64_t> g_new_bytes{0};
}  // namespace

#if QOV_JPEG_COUNT_NEW
void* operator new(size_t size) {
  g_new_bytes += size;
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#endif

namespace qov::test {
bool CountsNewBytes() { return QOV_JPEG_COUNT_NEW != 0; }
uint64_t NewBytesSoFar() { return g_new_bytes.load(); }
}  // namespace qov::test
