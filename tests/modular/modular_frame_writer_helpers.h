// Test-side writer of whole modular frames on the project's bit writer and
// entropy coder: the frame header, an unpermuted table of contents and the
// sections (DC global with the global tree and stream, DC groups, AC
// global, AC groups of every pass), every sub-stream cut from the frame's
// coded channels as the modular frame reader expects them.
#ifndef QOV_TESTS_MODULAR_MODULAR_FRAME_WRITER_HELPERS_H_
#define QOV_TESTS_MODULAR_MODULAR_FRAME_WRITER_HELPERS_H_

#include <cstdint>
#include <functional>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/encode/bit_writer.h"
#include "lib/modular/modular_stream.h"
#include "tests/modular/modular_stream_writer_helpers.h"

namespace qov::modular_test {

struct ModularFrameSpec {
  explicit ModularFrameSpec(const CodecMetadata* metadata) : header(metadata) {}

  FrameHeader header;  // encoding modular, is_last etc. set by the test
  // The frame's channel list as the global stream codes it (after the
  // global transforms), each at its full (shifted) size.
  std::vector<TestChannel> channels;
  size_t meta_channel_count = 0;
  // Transforms and weighted-predictor parameters of the global stream
  // (use_global_tree is set by the writer).
  GroupHeader global_header;
  // One tree and code set for every stream, written in the DC-global
  // section; else each stream carries its own copy of `tree`.
  bool global_tree = false;
  std::vector<MaTreeNode> tree;
  CodeOptions code;
  // Writes the frame features (patches, splines, noise, as the header's
  // flags say) at the start of the DC-global section; none when empty.
  std::function<Status(BitWriter*)> features;
  // VarDCT frames (`channels` then holds the extra channels only): the
  // VarDCT parts around the modular streams. `vardct_global` follows the DC
  // steps (quantizer, block contexts, colour-correlation DC factors);
  // `vardct_dc` precedes a DC group's modular stream (its DC coefficients)
  // and `vardct_metadata` follows it (its block metadata); `ac_global` is
  // the AC-global section; `vardct_ac` precedes the modular stream of a
  // group in a pass (its coefficients). Empty ones write nothing.
  std::function<Status(BitWriter*)> vardct_global;
  std::function<Status(uint64_t dc_group, BitWriter*)> vardct_dc;
  std::function<Status(uint64_t dc_group, BitWriter*)> vardct_metadata;
  std::function<Status(BitWriter*)> ac_global;
  std::function<Status(uint64_t pass, uint64_t group, BitWriter*)> vardct_ac;
};

// Sets the VarDCT parts of `spec` for a frame of 8x8 DCT varblocks only,
// default quantisation tables, colour correlation and block contexts, every
// block's quantised DC `dc` (Y, X, B) and no AC coefficient in any pass
// (one code of a single symbol: no bits per block).
void SetFlatVarDctParts(ModularFrameSpec* spec, const int32_t dc[3]);

// The stream number of the modular AC data of group g in pass p.
uint64_t AcStreamNumber(const FrameGeometry& geometry, uint64_t pass,
                        uint64_t group);

// Bytes of the frame: header, TOC, sections in logical order. For a
// single-section frame the parts follow one another bit by bit.
Status WriteModularFrame(const ModularFrameSpec& spec,
                         std::vector<uint8_t>* bytes);

// The header and an unpermuted TOC for sections of these byte contents,
// followed by the sections.
Status AssembleFrame(const FrameHeader& header,
                     const std::vector<std::vector<uint8_t>>& sections,
                     std::vector<uint8_t>* bytes);

// Image metadata of a width x height image with 8-bit samples, not all
// default (xyb_encoded false); callers change what their file needs.
CodecMetadata PlainMetadata(uint32_t width, uint32_t height);

// Appends an extra channel of `kind` with 8-bit samples.
void AddExtraChannel(CodecMetadata* metadata, ExtraChannelKind kind,
                     bool alpha_associated = false);

// The codestream's start: signature, size header, image metadata and
// transform data (XYB as the metadata says), padded to a byte.
Status WriteImageHeader(const CodecMetadata& metadata,
                        std::vector<uint8_t>* bytes);

// Writes `bits` low bits of `value` in a budget of its own.
Status PutRawBits(BitWriter* writer, uint32_t bits, uint64_t value);

// The part of a channel that a frame rectangle covers (shifted, clipped).
TestChannel CutChannel(const TestChannel& channel, uint64_t x0, uint64_t y0,
                       uint64_t xsize, uint64_t ysize);

// Writes one stream (header, then tree and codes or only tokens with
// `global_codes`) of `channels`, of which the first `end` are coded.
Status WriteOneStream(const GroupHeader& header,
                      const std::vector<MaTreeNode>& tree,
                      const CodeOptions& code, std::vector<TestChannel> channels,
                      size_t end, int32_t stream_id, BitWriter* writer);

}  // namespace qov::modular_test

#endif  // QOV_TESTS_MODULAR_MODULAR_FRAME_WRITER_HELPERS_H_
