// The exact description of a JPEG file that JPEG reconstruction data carries:
// markers, segments, tables, scan script and padding bits. Together with the
// quantised coefficients it rebuilds the file byte for byte.
#ifndef QOV_LIB_JPEG_JPEG_DATA_H_
#define QOV_LIB_JPEG_JPEG_DATA_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/fields.h"

namespace qov {
namespace jpeg {

inline constexpr size_t kMaxMarkerSequence = 16384;
inline constexpr uint32_t kMaxBlockIndex = 0xC000000;
inline constexpr uint32_t kMaxTrailingBytes = 0x410101;  // exclusive
// A JPEG file numbers its ICC chunks in one byte.
inline constexpr size_t kMaxIccSegments = 255;

enum JpegAppSegmentKind : int32_t {
  kOther = 0,  // stored verbatim in the reconstruction data
  kIcc = 1,    // body: the codestream's ICC profile
  kExif = 2,   // body: the 'Exif' box
  kXmp = 3,    // body: the 'xml ' box
};

struct JpegQuantSpec {
  int32_t values[64] = {};  // natural order
  uint32_t precision = 0;   // 0: 8-bit values, 1: 16-bit
  uint32_t table_id = 0;
  bool is_last = true;
};

struct JpegHuffmanSpec {
  // counts[L]: codes of length L (1..16); counts[0] adds to the total only.
  uint32_t counts[17] = {};
  // Symbols in code order; the last used one is the sentinel 256.
  uint32_t symbols[257] = {};
  uint32_t slot_id = 0;  // (is AC) << 4 | table id
  bool is_last = true;

  uint32_t Total() const {
    uint32_t total = 0;
    for (uint32_t c : counts) total += c;
    return total;
  }
};

struct JpegComponentData {
  uint32_t id = 0;
  uint32_t h_sampling = 1;
  uint32_t v_sampling = 1;
  uint32_t quant_index = 0;
  uint32_t width_in_blocks = 0;
  uint32_t height_in_blocks = 0;
  // 64 per block, blocks in raster order, natural order inside a block.
  std::vector<int16_t> coefficients;
};

struct JpegScanComponent {
  uint32_t component_index = 0;
  uint32_t dc_table = 0;
  uint32_t ac_table = 0;
};

struct JpegRunPatch {
  uint32_t block_index = 0;
  uint32_t count = 1;  // extra ZRL symbols after the block's last coefficient
};

struct JpegScanSpec {
  uint32_t ss = 0;
  uint32_t se = 63;
  uint32_t ah = 0;
  uint32_t al = 0;
  uint32_t component_count = 1;
  JpegScanComponent components[4];
  uint32_t aux_value = 10;
  // Blocks before which a pending end-of-band run is written out.
  std::vector<uint32_t> reset_points;
  std::vector<JpegRunPatch> extra_zero_runs;
};

// Segment sizes that the bundle announces while reading; the reconstruction
// box reader allocates each segment only when its bytes arrive.
struct JpegAnnouncedSizes {
  std::vector<uint32_t> app;
  std::vector<uint32_t> com;
  std::vector<uint32_t> inter_marker;
  uint32_t trailing = 0;
};

class JPEGData : public Fields {
 public:
  JPEGData() = default;
  ~JPEGData() override = default;

  // Reads or writes the bundle. Reading leaves the segment vectors empty
  // and their sizes in `announced` (see ReadJpegReconstructionData).
  Status EnumerateFields(Visitor* visitor) override;

  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t restart_interval = 0;
  // Whole segments without the leading 0xFF: marker byte, length, payload.
  std::vector<std::vector<uint8_t>> app_segments;
  std::vector<int32_t> app_segment_kinds;
  std::vector<std::vector<uint8_t>> com_segments;
  std::vector<JpegQuantSpec> quant_tables;
  std::vector<JpegHuffmanSpec> huffman_tables;
  std::vector<JpegComponentData> component_list;
  std::vector<JpegScanSpec> scans;
  // Second marker bytes after SOI; 0xFF stands for an inter-marker segment.
  std::vector<uint8_t> marker_sequence;
  std::vector<std::vector<uint8_t>> inter_marker_segments;
  std::vector<uint8_t> trailing_bytes;
  bool has_padding_bits = false;
  std::vector<uint8_t> padding_bit_values;  // each 0 or 1

  JpegAnnouncedSizes announced;

 private:
  Status VisitMarkers(Visitor* visitor);
  Status VisitSegmentsAndTables(Visitor* visitor);
  Status VisitHuffmanTables(Visitor* visitor);
  Status VisitScans(Visitor* visitor);
  Status VisitScanExtras(Visitor* visitor, JpegScanSpec* scan);
  Status VisitTail(Visitor* visitor);
  Status CheckTableUse() const;

  // Marker counts of the last visit.
  uint32_t num_app_ = 0, num_com_ = 0, num_scans_ = 0, num_inter_ = 0;
  bool has_dri_ = false;
};

// A Huffman table as the bundle and a DHT segment describe it: the counts
// form a prefix code (no length over-subscribed), the total is 1 to 257,
// the last symbol is the sentinel 256 and no symbol repeats; a DC table
// holds only symbols 0 to 11 besides the sentinel.
bool IsValidHuffmanSpec(const JpegHuffmanSpec& table);

}  // namespace jpeg
}  // namespace qov

#endif  // QOV_LIB_JPEG_JPEG_DATA_H_
