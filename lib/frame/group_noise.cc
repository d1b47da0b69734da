// Noise of one AC group, written into the group's render input.
#include "lib/frame/frame_decoding_state.h"
#include "lib/frame/noise.h"

namespace qov {

void AddGroupNoise(FrameDecodingState& state, const FrameGeometry& geometry,
                   const FrameHeader& header, uint64_t group,
                   uint64_t storage_index) {
  if (state.render_pipeline == nullptr || header.metadata == nullptr) return;
  GroupRenderInput input =
      state.render_pipeline->OpenGroupInput(group, storage_index);
  const size_t first = 3 + header.metadata->m.extra_channel_info.size();
  if (input.buffers.size() < first + 3) return;
  NoiseRect rects[3];
  for (size_t c = 0; c < 3; ++c) {
    const GroupBuffer& buffer = input.buffers[first + c];
    if (buffer.plane == nullptr) return;
    rects[c] = {buffer.plane, buffer.rect.x0, buffer.rect.y0, buffer.rect.xsize,
                buffer.rect.ysize};
  }
  AddGroupNoiseTiles(state.visible_frame_index, state.nonvisible_frame_index,
                     geometry.group_dim, geometry.xsize_groups,
                     header.upsampling, group, rects);
}

}  // namespace qov
