// Decoding of one modular sub-stream: the group header, the transforms'
// reshaping of the channel list, the MA tree and entropy codes (the frame's
// global ones or a set read here), every channel, the final ANS state, and
// on request the undoing of the transforms.
#ifndef QOV_LIB_MODULAR_MODULAR_STREAM_H_
#define QOV_LIB_MODULAR_MODULAR_STREAM_H_

#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/fields.h"
#include "lib/modular/channel_decoder.h"
#include "lib/modular/ma_tree.h"
#include "lib/modular/modular_image.h"
#include "lib/modular/transform.h"
#include "lib/modular/weighted_predictor.h"

namespace qov {

// The header that opens every modular sub-stream.
class GroupHeader : public Fields {
 public:
  GroupHeader();
  ~GroupHeader() override = default;
  GroupHeader(const GroupHeader&) = default;
  GroupHeader& operator=(const GroupHeader&) = default;

  Status EnumerateFields(Visitor* visitor) override;

  bool use_global_tree = false;
  weighted::Header wp_header;
  std::vector<Transform> transforms;  // in stream order
};

// The limits of one stream decode.
struct ModularSettings {
  // Non-meta channels wider or taller than this are not decoded here.
  uint64_t channel_size_limit = 0xFFFFFF;
  uint64_t group_dimension = 0x1FFFFFFF;
  // Decodes every channel with the general tree walk (tests compare the
  // fast paths with it).
  bool force_tree_path = false;
  // When given, receives the path of every decoded channel, in order.
  std::vector<ChannelPath>* paths_taken = nullptr;
};

// Decodes the stream at `reader` into `image`, whose channels have the
// sizes the stream must fill. `header` receives the group header (a local
// one when null). `stream_id` is MA-tree property 1. The three global
// pointers may be null; they are needed only when the header asks for the
// global tree. Without allow_truncated, input that ends early is Failed
// (NeedMoreBytes when it ends inside the group header) and the channels not
// decoded are zero-filled; with it, NeedMoreBytes after the channel in
// which it ended, and the later channels are zero-filled. Failed for malformed data, a wrong final ANS state, or
// (after undoing the transforms) channels other than the ones prepared.
Status DecodeModularStream(BitReader& reader, ModularImage& image,
                           GroupHeader* header, uint64_t stream_id,
                           const ModularSettings& settings,
                           bool undo_transforms, const MaTree* global_tree,
                           const EntropyCodeSet* global_codes,
                           const std::vector<uint8_t>* global_context_map,
                           bool allow_truncated);

// The decoding proper, without undoing transforms.
Status DecodeModularChannels(BitReader& reader, ModularImage& image,
                             GroupHeader& header, uint64_t stream_id,
                             const ModularSettings& settings,
                             const MaTree* global_tree,
                             const EntropyCodeSet* global_codes,
                             const std::vector<uint8_t>* global_context_map,
                             bool allow_truncated);

// Failed when a channel too large for one group has a subsampling that
// the group dimension cannot cover.
Status ValidateChannelSizes(const ModularImage& image,
                            const ModularSettings& settings);

}  // namespace qov

#endif  // QOV_LIB_MODULAR_MODULAR_STREAM_H_
