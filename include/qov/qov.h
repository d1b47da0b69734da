/* libqov: a streaming JPEG XL decoder behind a flat C interface.
 *
 * This is the library's only public header. */
#ifndef QOV_QOV_H_
#define QOV_QOV_H_

#include <stdbool.h>
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

/* --- colour record --- */
/** Colour space of a colour encoding. */
typedef enum {
  QOV_COLOR_SPACE_RGB = 0,
  QOV_COLOR_SPACE_GRAY = 1,
  QOV_COLOR_SPACE_XYB = 2,
  QOV_COLOR_SPACE_UNKNOWN = 3,
} QovColorSpace;

/** White point of a colour encoding. */
typedef enum {
  QOV_WHITE_POINT_D65 = 1,
  QOV_WHITE_POINT_CUSTOM = 2,
  QOV_WHITE_POINT_E = 10,
  QOV_WHITE_POINT_DCI = 11,
} QovWhitePoint;

/** Primaries of an RGB colour encoding. */
typedef enum {
  QOV_PRIMARIES_SRGB = 1,
  QOV_PRIMARIES_CUSTOM = 2,
  QOV_PRIMARIES_2100 = 9,
  QOV_PRIMARIES_P3 = 11,
} QovPrimaries;

/** Transfer function; QOV_TRANSFER_FUNCTION_GAMMA means an explicit gamma. */
typedef enum {
  QOV_TRANSFER_FUNCTION_709 = 1,
  QOV_TRANSFER_FUNCTION_UNKNOWN = 2,
  QOV_TRANSFER_FUNCTION_LINEAR = 8,
  QOV_TRANSFER_FUNCTION_SRGB = 13,
  QOV_TRANSFER_FUNCTION_PQ = 16,
  QOV_TRANSFER_FUNCTION_DCI = 17,
  QOV_TRANSFER_FUNCTION_HLG = 18,
  QOV_TRANSFER_FUNCTION_GAMMA = 65535,
} QovTransferFunction;

/** Rendering intent of a colour encoding. */
typedef enum {
  QOV_RENDERING_INTENT_PERCEPTUAL = 0,
  QOV_RENDERING_INTENT_RELATIVE = 1,
  QOV_RENDERING_INTENT_SATURATION = 2,
  QOV_RENDERING_INTENT_ABSOLUTE = 3,
} QovRenderingIntent;

/** A colour encoding described by its fields. Enumerated members hold the
 * values of the enumerations above. An encoding that is only an ICC profile
 * reads as colour space Unknown, white point and primaries Custom and
 * transfer function Unknown. */
typedef struct {
  uint32_t color_space;          /**< QovColorSpace */
  uint32_t white_point;          /**< QovWhitePoint */
  double white_point_xy[2];      /**< CIE x, y of the white point */
  uint32_t primaries;            /**< QovPrimaries; 0 for grey and XYB */
  double primaries_red_xy[2];    /**< CIE x, y of red */
  double primaries_green_xy[2];  /**< CIE x, y of green */
  double primaries_blue_xy[2];   /**< CIE x, y of blue */
  uint32_t transfer_function;    /**< QovTransferFunction */
  double gamma;                  /**< the exponent when transfer_function is
                                      QOV_TRANSFER_FUNCTION_GAMMA, else 0 */
  uint32_t rendering_intent;     /**< QovRenderingIntent */
} QovColorEncoding;
/* --- end colour record --- */

/* ------------------------------------------------------------------------ */
/* Decoder interface                                                          */
/* ------------------------------------------------------------------------ */

/** @file
 * A decoder is driven by one loop: provide input, advance until the decoder
 * wants more, reclaim what it did not consume, repeat. Events that the caller
 * subscribed to come back from QovDecoderAdvance one at a time; the caller
 * reads the matching information with the getters and advances again.
 *
 * Buffers: the caller owns every buffer it passes in (input, box buffer,
 * name, ICC and record outputs). The decoder reads the input in place and
 * keeps a pointer to it only between QovDecoderProvideInput and the matching
 * QovDecoderReclaimInput; likewise the box buffer between
 * QovDecoderProvideBoxBuffer and QovDecoderReclaimBoxBuffer.
 *
 * Complete provide/advance/reclaim loop (error handling trimmed to the
 * essentials):
 * @code
 *   QovDecoder dec = QovDecoderCreate(NULL);
 *   if (!dec) return -1;
 *   QovDecoderSubscribeEvents(dec, QOV_DEC_HEADER_INFO | QOV_DEC_COLOR_INFO |
 *                                      QOV_DEC_FRAME_START);
 *   uint8_t* buf = NULL;   // caller-owned input buffer
 *   size_t held = 0;       // bytes in buf
 *   int ok = 0;
 *   for (;;) {
 *     QovDecoderStatus s = QovDecoderAdvance(dec);
 *     if (s == QOV_DEC_OK) { ok = 1; break; }        // finished
 *     if (s == QOV_DEC_FAILED) break;                 // bad data or misuse
 *     if (s == QOV_DEC_WANT_INPUT) {
 *       // Unconsumed bytes are always the tail of what was provided:
 *       // move them to the front and append new bytes behind them.
 *       size_t tail = (size_t)QovDecoderReclaimInput(dec);
 *       if (tail > 0) memmove(buf, buf + held - tail, tail);
 *       buf = realloc(buf, tail + 2048);
 *       size_t got = fread(buf + tail, 1, 2048, file);
 *       held = tail + got;
 *       if (got == 0 && feof(file)) break;            // truncated file
 *       QovDecoderProvideInput(dec, buf, held);
 *       if (feof(file)) QovDecoderEndInput(dec);
 *     } else if (s == QOV_DEC_HEADER_INFO) {
 *       QovBasicInfo info;
 *       QovDecoderGetBasicInfo(dec, &info);
 *     } else if (s == QOV_DEC_FRAME_START) {
 *       QovFrameHeader fh;
 *       QovDecoderGetFrameHeader(dec, &fh);
 *     }
 *   }
 *   QovDecoderReclaimInput(dec);   // detach before freeing buf
 *   QovDecoderDelete(dec);
 *   free(buf);
 * @endcode
 */

/** Opaque decoder handle. One handle decodes one file; it cannot be reset.
 * A handle is used by one thread at a time. */
typedef struct QovDecoderStruct* QovDecoder;

/** Result of the fallible decoder calls and of QovDecoderAdvance.
 * The event values (0x40 and above) are also the bits of the subscription
 * mask of QovDecoderSubscribeEvents. */
typedef enum {
  /** Success; from QovDecoderAdvance: decoding is finished. */
  QOV_DEC_OK = 0,
  /** Error in the data, a limit exceeded, or misuse of the interface. */
  QOV_DEC_FAILED = 1,
  /** All usable input is consumed: reclaim the input and provide more
   * (the unconsumed tail first), or end the input. */
  QOV_DEC_WANT_INPUT = 2,
  /** The preview frame is to be decoded and no output target is attached.
   * This interface has no operation attaching one. */
  QOV_DEC_WANT_PREVIEW_BUFFER = 3,
  /** A displayed frame's pixels are wanted (QOV_DEC_IMAGE_DONE subscribed)
   * and no image output target is attached. Repeats on every advance. */
  QOV_DEC_WANT_IMAGE_BUFFER = 5,
  /** The JPEG output space is used up. */
  QOV_DEC_WANT_JPEG_OUTPUT = 6,
  /** The box buffer is full before the box contents end: reclaim it and
   * provide a buffer for the rest; output continues where it stopped. */
  QOV_DEC_WANT_BOX_OUTPUT = 7,
  /** Event (one-shot): size header and image metadata are read;
   * QovDecoderGetBasicInfo and the extra-channel getters answer. */
  QOV_DEC_HEADER_INFO = 0x40,
  /** Event (one-shot): the colour encoding and ICC profile are read;
   * the colour getters answer. */
  QOV_DEC_COLOR_INFO = 0x100,
  /** Event (one-shot): the preview frame is decoded. */
  QOV_DEC_PREVIEW_DONE = 0x200,
  /** Event: a reported frame's header is read; the frame getters answer
   * until the decoder moves on to the next frame header. */
  QOV_DEC_FRAME_START = 0x400,
  /** Event: a displayed frame (or the reconstructed JPEG) is complete. */
  QOV_DEC_IMAGE_DONE = 0x1000,
  /** Event (one-shot): a JPEG-reconstruction box was parsed. */
  QOV_DEC_JPEG_DATA = 0x2000,
  /** Event: a box header was read; the box queries answer and a box buffer
   * may be provided before the next advance. */
  QOV_DEC_BOX_START = 0x4000,
  /** Event: more of the current frame can be shown. */
  QOV_DEC_FRAME_PROGRESS = 0x8000,
  /** Event: the current box's contents are completely in the box buffer.
   * Reclaim the buffer: while it stays attached, every advance reports the
   * box complete again. */
  QOV_DEC_BOX_COMPLETE = 0x10000
} QovDecoderStatus;

/** A box type: four characters, not zero-terminated. */
typedef char QovBoxType[4];

/** Creates a decoder. @p memory_manager may be NULL (runtime heap); it is
 * copied, so the record itself need not outlive the call.
 * @return the handle, or NULL when the manager has exactly one callback or
 * the allocation fails. */
QovDecoder QovDecoderCreate(const QovMemoryManager* memory_manager);

/** Destroys a decoder and everything it owns. NULL is ignored. Buffers the
 * caller provided are not touched. */
void QovDecoderDelete(QovDecoder dec);

/** Sets the events QovDecoderAdvance reports (an OR of the event values).
 * Other bits above 0x3f are stored and never reported.
 * @return QOV_DEC_OK; QOV_DEC_FAILED when a bit of 0x3f is set or decoding
 * has started (after the first QovDecoderAdvance). */
QovDecoderStatus QovDecoderSubscribeEvents(QovDecoder dec, int32_t events_wanted);

/** Non-zero: report sizes and frame placement in the stored orientation
 * instead of the displayed one.
 * @return QOV_DEC_OK; QOV_DEC_FAILED after the first QovDecoderAdvance. */
QovDecoderStatus QovDecoderKeepOrientation(QovDecoder dec, int32_t keep_orientation);

/** Non-zero (the default): layers are composed into full frames and only
 * displayed frames are reported. Zero: every layer is reported with its own
 * size, crop and blending.
 * @return QOV_DEC_OK; QOV_DEC_FAILED after the first QovDecoderAdvance. */
QovDecoderStatus QovDecoderEnableCoalescing(QovDecoder dec, int32_t coalescing);

/** Attaches @p size input bytes. The decoder reads them in place; the caller
 * keeps them unchanged until QovDecoderReclaimInput.
 * @return QOV_DEC_OK; QOV_DEC_FAILED when an input is still attached, the
 * input was ended, or @p data is NULL with a non-zero size (NULL with size 0
 * attaches nothing). */
QovDecoderStatus QovDecoderProvideInput(QovDecoder dec, const uint8_t* data,
                                        uint64_t size);

/** Detaches the input.
 * @return the number of bytes not consumed: always the tail of what was
 * provided; provide them again, in front of any new bytes. 0 when nothing is
 * attached. */
uint64_t QovDecoderReclaimInput(QovDecoder dec);

/** Tells the decoder that no input follows the attached bytes. Final. */
void QovDecoderEndInput(QovDecoder dec);

/** Decodes until an event or a status is due.
 * @return an event value (act on it, then call again), QOV_DEC_WANT_INPUT
 * (reclaim, provide more, call again), QOV_DEC_WANT_BOX_OUTPUT (reclaim the box
 * buffer, provide more space, call again), QOV_DEC_WANT_IMAGE_BUFFER or
 * QOV_DEC_WANT_PREVIEW_BUFFER (pixels were asked for; this interface cannot
 * attach a target), QOV_DEC_OK when finished, QOV_DEC_FAILED on bad data or
 * when the input ended early. A failure is final: every later call returns
 * QOV_DEC_FAILED; delete the handle. */
QovDecoderStatus QovDecoderAdvance(QovDecoder dec);

/** Attaches a buffer for the contents of the current box. Allowed only right
 * after QOV_DEC_BOX_START (or after reclaiming a buffer of the same box). The
 * caller owns @p data; the decoder writes into it until
 * QovDecoderReclaimBoxBuffer. 'brob' boxes are output as stored (inner type
 * first, then the compressed stream).
 * @return QOV_DEC_OK; QOV_DEC_FAILED when a buffer is attached already or no
 * box is current. */
QovDecoderStatus QovDecoderProvideBoxBuffer(QovDecoder dec, uint8_t* data,
                                            uint64_t size);

/** Detaches the box buffer.
 * @return the number of bytes at its end that were not written; 0 when none
 * is attached. */
uint64_t QovDecoderReclaimBoxBuffer(QovDecoder dec);

/** Writes the current box's type into @p type (required). With
 * @p decompressed non-zero, a 'brob' box gives its inner type.
 * @return QOV_DEC_OK; QOV_DEC_FAILED when no box is current. */
QovDecoderStatus QovDecoderQueryBoxType(QovDecoder dec, QovBoxType type,
                                        int32_t decompressed);

/** The current box's size including its header (0 for a box that runs to the
 * end of the file). @p size may be NULL.
 * @return QOV_DEC_OK; QOV_DEC_FAILED when no box is current. */
QovDecoderStatus QovDecoderQueryBoxSize(QovDecoder dec, uint64_t* size);

/** The current box's content size (0 for a box that runs to the end of the
 * file). @p size may be NULL.
 * @return QOV_DEC_OK; QOV_DEC_FAILED when no box is current. */
QovDecoderStatus QovDecoderQueryBoxContentSize(QovDecoder dec, uint64_t* size);

/* ---- Public records ---- */

/** Preview size. */
typedef struct {
  uint32_t xsize;
  uint32_t ysize;
} QovPreviewHeader;

/** Animation timing. */
typedef struct {
  uint32_t tps_numerator;   /**< ticks per second = numerator / denominator */
  uint32_t tps_denominator;
  uint32_t num_loops;       /**< 0: loop forever */
  int32_t have_timecodes;
} QovAnimationHeader;

/** Basic image information. Booleans are 0 or 1. */
typedef struct {
  int32_t have_container;
  uint32_t xsize;  /**< oriented unless keep-orientation is set */
  uint32_t ysize;
  uint32_t bits_per_sample;           /**< of the colour channels */
  uint32_t exponent_bits_per_sample;  /**< 0 for integer samples */
  float intensity_target;             /**< nits */
  float min_nits;
  int32_t relative_to_max_display;
  float linear_below;
  int32_t uses_original_profile;      /**< 1 when not XYB-encoded */
  int32_t have_preview;
  int32_t have_animation;
  uint32_t orientation;  /**< 1..8; 1 when the decoder applies it */
  uint32_t num_color_channels;  /**< 1 grey, else 3 */
  uint32_t num_extra_channels;
  uint32_t alpha_bits;           /**< of the first alpha channel, else 0 */
  uint32_t alpha_exponent_bits;
  int32_t alpha_premultiplied;
  QovPreviewHeader preview;      /**< when have_preview */
  QovAnimationHeader animation;  /**< when have_animation */
  uint32_t intrinsic_xsize;
  uint32_t intrinsic_ysize;
  uint8_t reserved[100];  /**< zero */
} QovBasicInfo;

/** Extra-channel kinds (the `type` of QovExtraChannelInfo). */
typedef enum {
  QOV_CHANNEL_ALPHA = 0,
  QOV_CHANNEL_DEPTH = 1,
  QOV_CHANNEL_SPOT_COLOR = 2,
  QOV_CHANNEL_SELECTION_MASK = 3,
  QOV_CHANNEL_BLACK = 4,
  QOV_CHANNEL_CFA = 5,
  QOV_CHANNEL_THERMAL = 6,
  QOV_CHANNEL_RESERVED0 = 7,
  QOV_CHANNEL_RESERVED1 = 8,
  QOV_CHANNEL_RESERVED2 = 9,
  QOV_CHANNEL_RESERVED3 = 10,
  QOV_CHANNEL_RESERVED4 = 11,
  QOV_CHANNEL_RESERVED5 = 12,
  QOV_CHANNEL_RESERVED6 = 13,
  QOV_CHANNEL_RESERVED7 = 14,
  QOV_CHANNEL_UNKNOWN = 15,
  QOV_CHANNEL_OPTIONAL = 16
} QovExtraChannelKind;

/** One extra channel. */
typedef struct {
  uint32_t type;  /**< QovExtraChannelKind */
  uint32_t bits_per_sample;
  uint32_t exponent_bits_per_sample;  /**< 0 for integer samples */
  uint32_t dim_shift;
  uint32_t name_length;  /**< bytes, without terminator */
  int32_t alpha_premultiplied;
  float spot_color[4];  /**< red, green, blue, solidity */
  uint32_t cfa_channel;
} QovExtraChannelInfo;

/** Blending of a layer. */
typedef struct {
  uint32_t blendmode;
  uint32_t source;
  uint32_t alpha;
  int32_t clamp;
} QovBlendingInfo;

/** Placement of a layer. */
typedef struct {
  int32_t have_crop;
  int32_t crop_x0;
  int32_t crop_y0;
  uint32_t xsize;
  uint32_t ysize;
  QovBlendingInfo blend_info;
  uint32_t save_as_reference;
} QovLayerPlacement;

/** The current frame. */
typedef struct {
  uint32_t duration;     /**< ticks */
  uint32_t timecode;
  uint32_t name_length;  /**< bytes, without terminator */
  int32_t is_last;
  QovLayerPlacement layer_info;
} QovFrameHeader;


/** Which colour encoding a colour getter describes. */
typedef enum {
  /** The encoding the codestream declares. */
  QOV_COLOR_SOURCE_CODESTREAM = 0,
  /** The encoding decoded pixels are delivered in (differs from the
   * codestream's only for XYB-encoded images). */
  QOV_COLOR_SOURCE_OUTPUT = 1
} QovColorSource;

/** Fills @p info (may be NULL: nothing written).
 * @return QOV_DEC_OK; QOV_DEC_WANT_INPUT before QOV_DEC_HEADER_INFO (keep
 * advancing). */
QovDecoderStatus QovDecoderGetBasicInfo(QovDecoder dec, QovBasicInfo* info);

/** Fills @p info (required) for extra channel @p index.
 * @return QOV_DEC_OK; QOV_DEC_WANT_INPUT before the header event;
 * QOV_DEC_FAILED for an index out of range. */
QovDecoderStatus QovDecoderGetExtraChannelInfo(QovDecoder dec, uint64_t index,
                                               QovExtraChannelInfo* info);

/** Copies the name of extra channel @p index and a terminating zero into the
 * caller's @p name of @p size bytes (at least name_length + 1).
 * @return QOV_DEC_OK; QOV_DEC_WANT_INPUT before the header event;
 * QOV_DEC_FAILED for an index out of range or a buffer too small (nothing
 * written). */
QovDecoderStatus QovDecoderGetExtraChannelName(QovDecoder dec, uint64_t index,
                                               char* name, uint64_t size);

/** Fills @p color_encoding (may be NULL).
 * @return QOV_DEC_OK; QOV_DEC_WANT_INPUT before the colour event;
 * QOV_DEC_FAILED when the encoding is given only as an ICC profile (use the
 * ICC getters then). */
QovDecoderStatus QovDecoderGetColorAsFields(QovDecoder dec, QovColorSource source,
                                            QovColorEncoding* color_encoding);

/** The byte count of the ICC profile of the chosen encoding (read from the
 * codestream, or synthesised from the fields). @p size may be NULL.
 * @return QOV_DEC_OK; QOV_DEC_WANT_INPUT before the colour event;
 * QOV_DEC_FAILED when an ICC encoding declares colour space XYB or Unknown. */
QovDecoderStatus QovDecoderGetICCProfileSize(QovDecoder dec, QovColorSource source,
                                             uint64_t* size);

/** Copies the ICC profile into the caller's @p icc_profile (required) of
 * @p size bytes, at least the profile size.
 * @return as QovDecoderGetICCProfileSize; also QOV_DEC_FAILED when @p size is
 * too small (nothing written). */
QovDecoderStatus QovDecoderGetColorAsICCProfile(QovDecoder dec, QovColorSource source,
                                                uint8_t* icc_profile, uint64_t size);

/** Fills @p header (required) for the current frame: from its
 * QOV_DEC_FRAME_START until the next advance moves past it.
 * @return QOV_DEC_OK; QOV_DEC_FAILED when no frame is current. */
QovDecoderStatus QovDecoderGetFrameHeader(QovDecoder dec, QovFrameHeader* header);

/** Copies the current frame's name and a terminating zero into the caller's
 * @p name of @p size bytes (at least name_length + 1).
 * @return QOV_DEC_OK; QOV_DEC_FAILED when no frame is current or the buffer
 * is too small. */
QovDecoderStatus QovDecoderGetFrameName(QovDecoder dec, char* name, uint64_t size);

/* ---- Stand-alone helpers (no handle) ---- */

/** The parts of a gain-map ('jhgm') box. The pointers point into the bytes
 * given to QovGainMapParse: nothing is copied or allocated. */
typedef struct {
  uint8_t version;
  uint16_t metadata_size;
  const uint8_t* metadata;
  int32_t has_color_encoding;
  QovColorEncoding color_encoding;  /**< untouched without one */
  uint32_t compressed_icc_size;
  const uint8_t* compressed_icc;  /**< for QovDecompressICCProfile */
  uint32_t gain_map_size;
  const uint8_t* gain_map;        /**< a codestream */
} QovGainMapRecord;

/** Splits the contents of a 'jhgm' box of @p size bytes at @p data into
 * @p record. @p consumed (may be NULL) receives @p size on success.
 * @return true on success; false on NULL arguments, truncated or
 * inconsistent sizes, a colour encoding that does not decode from exactly its
 * bytes, or a gain map of 2^32 bytes or more (fields written before the
 * failing check stay written). */
bool QovGainMapParse(QovGainMapRecord* record, const uint8_t* data, uint64_t size,
                     uint64_t* consumed);

/** Decodes a compressed ICC stream of @p size bytes into a plain profile
 * allocated through @p memory_manager (NULL: runtime heap). On success
 * *@p icc_profile belongs to the caller, who releases it with the same
 * manager's free callback (or free() without a manager).
 * @return true on success; false when the manager is invalid, the stream is
 * bad or truncated, or the allocation fails. */
bool QovDecompressICCProfile(const QovMemoryManager* memory_manager,
                             const uint8_t* data, uint64_t size,
                             uint8_t** icc_profile, uint64_t* icc_profile_size);


#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* QOV_QOV_H_ */
