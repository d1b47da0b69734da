// Reads arbitrary bytes as a size header, image metadata and a frame header,
// the way the decoder does: a trial decode first, then the real one. Checks
// that the bundles never read outside the input and that a trial decode that
// says the data is there agrees with the real decode.
#include <cstdint>
#include <cstdlib>

#include "lib/base/span.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qov;
  const Span span(data, size);
  CodecMetadata metadata;
  {
    BitReader trial(span);
    CodecMetadata scratch;
    const bool enough = Bundle::HasEnoughData(trial, scratch.size) &&
                        Bundle::HasEnoughData(trial, scratch.m);
    trial.Close().IgnoreError();
    BitReader reader(span);
    Status status = Bundle::Decode(reader, metadata.size);
    if (status.ok()) status = Bundle::Decode(reader, metadata.m);
    if (enough && status.need_more_bytes()) std::abort();
    if (!status.ok()) {
      reader.Close().IgnoreError();
      return 0;
    }
    FrameHeader frame_header(&metadata);
    if (Bundle::Decode(reader, frame_header).ok()) {
      (void)frame_header.ComputeGeometry();
    }
    reader.Close().IgnoreError();
  }
  return 0;
}
