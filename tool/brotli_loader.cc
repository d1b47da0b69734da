// The program loads the Brotli decoder library only when a stream first needs
// it: the report never decompresses a box, so most runs never do, and each
// library loaded at start-up costs every run its mapping and relocation.
// These four entry points are the only ones the decoder takes from that
// library; they forward to the library's own, loaded once. Without the
// library, creating a decoder instance fails (the caller's failure path);
// the other three are only ever called with an instance.
#include <dlfcn.h>

#include "brotli/decode.h"

namespace {

struct BrotliEntryPoints {
  decltype(&BrotliDecoderCreateInstance) create = nullptr;
  decltype(&BrotliDecoderDestroyInstance) destroy = nullptr;
  decltype(&BrotliDecoderDecompressStream) decompress_stream = nullptr;
  decltype(&BrotliDecoderIsFinished) is_finished = nullptr;
  bool complete() const {
    return create != nullptr && destroy != nullptr && decompress_stream != nullptr &&
           is_finished != nullptr;
  }
};

const BrotliEntryPoints& Loaded() {
  static const BrotliEntryPoints entry_points = [] {
    BrotliEntryPoints e;
    void* library = dlopen("libbrotlidec.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return e;
    e.create = reinterpret_cast<decltype(e.create)>(
        dlsym(library, "BrotliDecoderCreateInstance"));
    e.destroy = reinterpret_cast<decltype(e.destroy)>(
        dlsym(library, "BrotliDecoderDestroyInstance"));
    e.decompress_stream = reinterpret_cast<decltype(e.decompress_stream)>(
        dlsym(library, "BrotliDecoderDecompressStream"));
    e.is_finished = reinterpret_cast<decltype(e.is_finished)>(
        dlsym(library, "BrotliDecoderIsFinished"));
    if (!e.complete()) return BrotliEntryPoints();
    return e;
  }();
  return entry_points;
}

}  // namespace

extern "C" {

BrotliDecoderState* BrotliDecoderCreateInstance(brotli_alloc_func alloc_func,
                                                brotli_free_func free_func,
                                                void* opaque) {
  const BrotliEntryPoints& e = Loaded();
  if (!e.complete()) return nullptr;
  return e.create(alloc_func, free_func, opaque);
}

void BrotliDecoderDestroyInstance(BrotliDecoderState* state) {
  Loaded().destroy(state);
}

BrotliDecoderResult BrotliDecoderDecompressStream(BrotliDecoderState* state,
                                                  size_t* available_in,
                                                  const uint8_t** next_in,
                                                  size_t* available_out,
                                                  uint8_t** next_out,
                                                  size_t* total_out) {
  return Loaded().decompress_stream(state, available_in, next_in, available_out,
                                    next_out, total_out);
}

BROTLI_BOOL BrotliDecoderIsFinished(const BrotliDecoderState* state) {
  return Loaded().is_finished(state);
}

}  // extern "C"
