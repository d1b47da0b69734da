// Encoder-side transforms written for the tests: the forward RCT of one
// pixel and the forward squeeze on plain channel lists, so that undoing
// them can be checked against the original samples.
#ifndef QOV_TESTS_MODULAR_FORWARD_TRANSFORMS_HELPERS_H_
#define QOV_TESTS_MODULAR_FORWARD_TRANSFORMS_HELPERS_H_

#include <cstdint>
#include <vector>

#include "lib/modular/modular_image.h"
#include "lib/modular/transform.h"
#include "tests/modular/modular_test_helpers.h"

namespace qov::test {

// Forward of RCT colour kind k: from (out0, out1, out2) to the coded
// (in0, in1, in2), in 64-bit for values well inside the 32-bit range.
void ForwardRctKind(uint32_t k, const int64_t out[3], int64_t in[3]);

// A channel as a plain record.
struct Plain {
  ChannelShape shape;
  int32_t component;
  std::vector<int32_t> v;  // row-major
};

std::vector<Plain> ToPlain(const ModularImage& image);
ModularImage FromPlain(const std::vector<Plain>& channels, uint64_t meta);

// Applies the squeeze steps in order (the encoder's side), with the channel
// placement of the decoder's channel-list step.
void ForwardSqueeze(std::vector<Plain>& channels, uint64_t& meta,
                    const std::vector<SqueezeParams>& steps);

}  // namespace qov::test

#endif  // QOV_TESTS_MODULAR_FORWARD_TRANSFORMS_HELPERS_H_
