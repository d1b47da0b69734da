// Writer against reader. The input's first bytes choose how tokens are coded
// (prefix or ANS codes, clustering, split configurations, LZ77 with or
// without row widths) and the rest becomes token streams; the encoder's
// entropy coder writes them and the decoder's entropy-code reader and symbol
// reader must give back every value exactly, end in the final ANS state and
// stay inside the written bits. The same input is also read as header
// bundles; a bundle that decodes is written with the bundle writer, and that
// must read back and write again to the same bits.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "lib/base/memory.h"
#include "lib/base/span.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/fields.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/bitstream/symbol_reader.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/entropy_writer.h"
#include "lib/encode/write_fields.h"

namespace {

using namespace qov;

// Reads the input front to back; zeros once it is used up.
class ByteSource {
 public:
  ByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool empty() const { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Names the broken promise, then stops.
#define Check(condition) QOV_FUZZ_CHECK("round trip broken", condition)

void EntropyRoundTrip(const uint8_t* data, size_t size) {
  ByteSource in(data, size);
  HistogramParams p;
  const uint8_t a = in.Byte(), b = in.Byte(), c = in.Byte();
  p.clustering_mode = a % 3;
  p.split_config_mode = (a / 3) % 6;
  p.lz77_mode = (a / 18) % 4;
  p.ans_strategy = static_cast<HistogramParams::ANSHistogramStrategy>(b % 4);
  p.force_prefix_codes = (b & 4) != 0;
  p.choose_code_kind = p.force_prefix_codes || (b & 8) != 0;
  p.separate_histogram_writers = (b & 16) != 0;
  // A full alphabet needs the 8-bit ANS alphabet that a split search or
  // separate writers give.
  p.add_all_symbols = (b & 32) != 0 &&
                      (p.split_config_mode == 2 || p.split_config_mode == 4 ||
                       p.separate_histogram_writers);
  p.histogram_limit = (b & 64) != 0 ? 1 + c % 5 : ~size_t{0};
  const size_t num_contexts = 1 + (c >> 2) % 48;
  const size_t num_streams = 1 + in.Byte() % 3;
  const uint8_t widths = in.Byte();
  if (widths & 1) {
    for (size_t s = 0; s < num_streams; ++s) p.stream_widths.push_back(in.Byte() % 70);
  }

  // Tokens: a context byte, then a value whose width the top bits of a
  // selector byte choose (small values are common, so LZ77 and runs pay).
  std::vector<std::vector<Token>> original(num_streams);
  size_t stream = 0;
  while (!in.empty()) {
    const uint8_t selector = in.Byte();
    if (selector == 0xFF) {  // next stream
      stream = (stream + 1) % num_streams;
      continue;
    }
    const uint32_t context = in.Byte() % num_contexts;
    uint32_t value = selector & 0x1F;
    const uint32_t extra_bytes = selector >> 5;  // 0..7, capped at 4 bytes
    for (uint32_t i = 0; i < extra_bytes && i < 4; ++i) value = (value << 8) | in.Byte();
    original[stream].emplace_back(context, value);
  }

  std::vector<std::vector<Token>> tokens = original;
  EntropyEncodingData codes;
  BitWriter writer(HeapMemoryManager());
  const auto cost = BuildAndEncodeHistograms(HeapMemoryManager(), p, num_contexts, tokens,
                                             &codes, &writer, LayerType::kHeader,
                                             nullptr);
  if (!cost.ok()) return;  // the encoder declines (nothing was written)
  for (const auto& s : tokens) {
    if (!WriteTokens(s, codes, 0, &writer, LayerType::kHeader, nullptr).ok()) return;
  }
  Check(writer.healthy());
  const Span span = writer.GetSpan();
  BitReader reader(span);
  EntropyCodeSet set;
  std::vector<uint8_t> context_map;
  Check(ReadEntropyCodeSet(HeapMemoryManager(), reader, num_contexts, &set, context_map, false).ok());
  // LZ77 adds a context for the copy lengths.
  Check(context_map.size() == num_contexts + (set.lz77.enabled ? 1 : 0));
  Check(set.lz77.enabled == codes.lz77.enabled);
  for (size_t s = 0; s < original.size(); ++s) {
    const uint64_t width = s < p.stream_widths.size() ? p.stream_widths[s] : 0;
    auto symbols = SymbolReader::Create(set, reader, width);
    Check(symbols.ok());
    for (const Token& t : original[s]) {
      Check(symbols->ReadClusteredUint(context_map[t.context], reader) == t.value);
    }
    Check(symbols->CheckFinalState());
  }
  Check(!reader.PastEnd());
  Check(reader.Close().ok());
}

// Writes a bundle; the bits, or nothing when the writer declines.
template <typename T>
bool WriteBundle(const T& bundle, std::vector<uint8_t>* out) {
  BitWriter writer(HeapMemoryManager());
  if (!Bundle::Write(bundle, &writer, LayerType::kHeader, nullptr).ok()) return false;
  Check(writer.healthy());
  writer.ZeroPadToByte();
  const Span span = writer.GetSpan();
  out->assign(span.data, span.data + span.size);
  return true;
}

// Decoded from the input, written, read back, written again: the two
// writes agree and the read-back decodes.
template <typename T>
void BundleRoundTrip(const T& decoded) {
  std::vector<uint8_t> first, second;
  if (!WriteBundle(decoded, &first)) return;
  T again = decoded;  // carries the members that are not in the stream
  Bundle::ResetToDefaults(again);
  BitReader reader(Span(first.data(), first.size()));
  Check(Bundle::Decode(reader, again).ok());
  Check(reader.Close().ok());
  Check(WriteBundle(again, &second));
  Check(first == second);
}

void HeaderRoundTrip(const uint8_t* data, size_t size) {
  CodecMetadata metadata;
  BitReader reader(Span(data, size));
  const bool headers = Bundle::Decode(reader, metadata.size).ok() &&
                       Bundle::Decode(reader, metadata.m).ok();
  if (!headers) {
    reader.Close().IgnoreError();
    return;
  }
  FrameHeader frame_header(&metadata);
  const bool frame = Bundle::Decode(reader, frame_header).ok();
  reader.Close().IgnoreError();
  BundleRoundTrip(metadata.size);
  BundleRoundTrip(metadata.m);
  if (frame) BundleRoundTrip(frame_header);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Token streams from the first 16 KiB only: whole sample files as seeds
  // would make every run slow without reaching more of the coder.
  EntropyRoundTrip(data, std::min<size_t>(size, 16384));
  HeaderRoundTrip(data, size);
  return 0;
}
