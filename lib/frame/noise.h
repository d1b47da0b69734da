// Noise: the strength table of a frame and the pseudo-random planes whose
// values depend only on the frame counters and the tile position.
#ifndef QOV_LIB_FRAME_NOISE_H_
#define QOV_LIB_FRAME_NOISE_H_

#include <cstddef>
#include <cstdint>

#include "lib/base/image.h"
#include "lib/bitstream/bit_reader.h"

namespace qov {

// The eight noise strengths of a frame, each k / 1024 for a 10-bit k.
struct NoiseStrengthTable {
  float lut[8] = {};

  // Reads eight 10-bit values. Never fails: reading past the end is the
  // caller's to notice through the reader.
  void Decode(BitReader& reader);
};

// A rectangle of a float plane that receives noise.
struct NoiseRect {
  PlaneStorage* plane = nullptr;  // of float samples
  uint64_t x0 = 0;
  uint64_t y0 = 0;
  uint64_t xsize = 0;
  uint64_t ysize = 0;
};

// Seeds a generator from (visible_frame, nonvisible_frame) and the tile
// position (x, y), only the low 32 bits of each counting, and fills the
// three rectangles in order, the generator carrying on between them. Row by
// row, each row from a fresh step of 16 values; values lie in [1, 2).
// Dispatched per target; every target gives the same bits. Writes exactly
// the rectangles, which must lie inside their planes.
// AddNoisePlanesScalar is the reference the SIMD copies are tested against;
// the decoder reaches it only through AddNoisePlanes on the one-lane target.
// The other functions here are the decoder's.
void AddNoisePlanes(uint64_t visible_frame, uint64_t nonvisible_frame,
                    uint64_t x, uint64_t y, const NoiseRect rects[3]);
void AddNoisePlanesScalar(uint64_t visible_frame, uint64_t nonvisible_frame,
                          uint64_t x, uint64_t y, const NoiseRect rects[3]);

// The noise of AC group `group`: with D the group dimension, G the groups per
// row and U the upsampling factor, U x U tiles of D x D, each cut to the
// given rectangles (one per noise channel, at upsampled resolution) and
// filled by AddNoisePlanes at tile position (D (U gx + ix), D (U gy + iy)).
void AddGroupNoiseTiles(uint64_t visible_frame, uint64_t nonvisible_frame,
                        uint64_t group_dim, uint64_t groups_per_row,
                        uint64_t upsampling, uint64_t group,
                        const NoiseRect channels[3]);

class FrameDecodingState;
struct FrameGeometry;
class FrameHeader;

// Writes the noise planes of AC group `group` into the render pipeline's
// input for that group and buffer set `storage_index` (the channels after
// colour and extra channels), from the state's frame counters. Does nothing
// without a pipeline or when its input lacks the noise channels.
void AddGroupNoise(FrameDecodingState& state, const FrameGeometry& geometry,
                   const FrameHeader& header, uint64_t group,
                   uint64_t storage_index);

// SplitMix64's finaliser, the seeding step of the generator.
inline uint64_t NoiseSeedMix(uint64_t z) {
  z ^= z >> 30;
  z *= 0xBF58476D1CE4E5B9ull;
  z ^= z >> 27;
  z *= 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Eight lanes of xorshift128+ state: s0 then s1 per lane.
struct NoiseGeneratorState {
  uint64_t s0[8];
  uint64_t s1[8];
};
NoiseGeneratorState SeedNoiseGenerator(uint64_t visible_frame,
                                       uint64_t nonvisible_frame, uint64_t x,
                                       uint64_t y);

}  // namespace qov

#endif  // QOV_LIB_FRAME_NOISE_H_
