/* libqov: a streaming JPEG XL decoder behind a flat C interface.
 *
 * This is the library's only public header. */
#ifndef QOV_QOV_H_
#define QOV_QOV_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** Allocation callback: returns `size` bytes, or NULL on failure. */
typedef void* (*QovAllocFunc)(void* opaque, uint64_t size);
/** Release callback for what QovAllocFunc returned. */
typedef void (*QovFreeFunc)(void* opaque, void* address);

/** The caller's allocator. Give both callbacks or neither; with neither the
 * runtime heap is used. Callbacks may be called from any decoding thread. */
typedef struct QovMemoryManagerStruct {
  void* opaque;       /**< passed back as the first argument of both callbacks */
  QovAllocFunc alloc; /**< may be NULL only together with free */
  QovFreeFunc free;   /**< may be NULL only together with alloc */
} QovMemoryManager;

/* The decoder interface follows below. */

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* QOV_QOV_H_ */
