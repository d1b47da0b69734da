// Resource bounds: the decoder's memory stays bounded while it passes over
// frames and boxes of any size. Files whose frames total gigabytes are made
// on the fly (headers and tables of contents written with the project's own
// writer, section bytes as runs of zeros that are never materialised) and
// fed in chunks; the test watches both what the memory manager hands out
// and the ordinary heap (sampled after every advance).
//
// Why the ordinary heap stays bounded: per frame the decoder keeps one
// driver with its header and table of contents, whose entry count is capped
// (kMaxTocEntries) whatever the section sizes say; sizes only ever move the
// skip counter. Box sizes only set the end of the current box.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "lib/api/decoder_state.h"
#include "lib/bitstream/frame_header.h"
#include "lib/color/icc_reader.h"
#include "lib/encode/entropy_writer.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/write_fields.h"
#include "lib/frame/toc.h"
#include "qov/qov.h"
#include "tests/api/decoder_test_helpers.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QOV_TEST_HEAP_FROM_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QOV_TEST_HEAP_FROM_ASAN 1
#endif
#ifdef QOV_TEST_HEAP_FROM_ASAN
#include <sanitizer/allocator_interface.h>
#else
#include <malloc.h>
#endif

namespace qov {
namespace {

// Bytes of the ordinary heap in use now.
uint64_t HeapInUse() {
#ifdef QOV_TEST_HEAP_FROM_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kGiB = uint64_t{1} << 30;

// A file made of literal byte runs and runs of zeros.
class SegmentedFile {
 public:
  void Add(const Bytes& bytes) {
    if (!bytes.empty()) segments_.push_back({size_, bytes, 0});
    size_ += bytes.size();
  }
  void AddZeros(uint64_t n) {
    if (n != 0) segments_.push_back({size_, {}, n});
    size_ += n;
  }
  uint64_t size() const { return size_; }

  // Whether [offset, offset + n) lies inside one run of zeros.
  bool AllZeros(uint64_t offset, uint64_t n) const {
    const Segment& s = Find(offset);
    return s.bytes.empty() && offset + n <= s.start + s.zeros;
  }
  void Copy(uint64_t offset, uint64_t n, uint8_t* out) const {
    while (n > 0) {
      const Segment& s = Find(offset);
      const uint64_t length = s.bytes.empty() ? s.zeros : s.bytes.size();
      const uint64_t k = std::min(n, s.start + length - offset);
      if (s.bytes.empty()) {
        std::memset(out, 0, k);
      } else {
        std::memcpy(out, s.bytes.data() + (offset - s.start), k);
      }
      out += k;
      offset += k;
      n -= k;
    }
  }

 private:
  struct Segment {
    uint64_t start;
    Bytes bytes;     // literal bytes, or
    uint64_t zeros;  // this many zeros
  };
  const Segment& Find(uint64_t offset) const {
    auto it = std::upper_bound(segments_.begin(), segments_.end(), offset,
                               [](uint64_t o, const Segment& s) { return o < s.start; });
    return *(it - 1);
  }
  std::vector<Segment> segments_;
  uint64_t size_ = 0;
};

// A memory manager that counts the bytes it has handed out.
struct CountingManager {
  std::map<void*, uint64_t> blocks;
  uint64_t current = 0;
  uint64_t peak = 0;
  uint64_t largest = 0;

  QovMemoryManager Manager() {
    QovMemoryManager m{};
    m.opaque = this;
    m.alloc = [](void* opaque, uint64_t size) -> void* {
      auto* c = static_cast<CountingManager*>(opaque);
      void* p = std::malloc(size);
      if (p == nullptr) return nullptr;
      c->blocks[p] = size;
      c->current += size;
      c->peak = std::max(c->peak, c->current);
      c->largest = std::max(c->largest, size);
      return p;
    };
    m.free = [](void* opaque, void* p) {
      auto* c = static_cast<CountingManager*>(opaque);
      if (p == nullptr) return;
      c->current -= c->blocks.at(p);
      c->blocks.erase(p);
      std::free(p);
    };
    return m;
  }
};

constexpr U32Coding kTocSizeCoding(Bits(10), BitsOffset(14, 1024), BitsOffset(22, 17408),
                                   BitsOffset(30, 4211712));
// The largest section size a table of contents can hold.
constexpr uint64_t kLargestSection = (uint64_t{1} << 30) - 1 + 4211712;

// Frame header and table of contents (no permutation) for the given sizes.
Bytes FrameHead(const FrameHeader& header, const std::vector<uint64_t>& sizes) {
  BitWriter writer(HeapMemoryManager());
  EXPECT_TRUE(Bundle::Write(header, &writer, LayerType::kHeader, nullptr).ok());
  EXPECT_TRUE(writer
                  .WithBitBudget(64 * (sizes.size() + 1), LayerType::kToc, nullptr,
                                 [&]() {
                                   writer.PutBits(1, 0);
                                   writer.ZeroPadToByte();
                                   for (const uint64_t size : sizes) {
                                     QOV_RETURN_IF_ERROR(WriteCodedU32(
                                         kTocSizeCoding, static_cast<uint32_t>(size),
                                         &writer));
                                   }
                                   writer.ZeroPadToByte();
                                   return OkStatus();
                                 })
                  .ok());
  EXPECT_TRUE(writer.healthy());
  const Span span = writer.GetSpan();
  return Bytes(span.data, span.data + span.size);
}

// A 4096 x 4096 modular image (256 groups, 4 DC groups: 262 sections per
// frame). Frame k, named "frame k", has sections of section_sizes[k] bytes
// each; one more frame, the last, has small ones.
struct HugeCodestream {
  Bytes headers;
  std::vector<Bytes> frame_heads;
  std::vector<uint64_t> frame_data;  // section bytes of each frame
};

HugeCodestream MakeHugeCodestream(const std::vector<uint64_t>& section_sizes) {
  CodestreamWriter w;
  w.SetSize(4096, 4096);
  HugeCodestream cs;
  cs.headers = w.Write();  // signature, headers, padding; no frame
  for (size_t k = 0; k <= section_sizes.size(); ++k) {
    FrameHeader h = w.NewFrame();
    const bool last = k == section_sizes.size();
    h.is_last = last;
    h.name = "frame " + std::to_string(k);
    const FrameGeometry g = h.ComputeGeometry();
    EXPECT_EQ(256u, g.num_groups);
    const uint64_t entries = TocEntryCount(g.num_groups, g.num_dc_groups, 1);
    const uint64_t each = last ? 100 : section_sizes[k];
    cs.frame_heads.push_back(FrameHead(h, std::vector<uint64_t>(entries, each)));
    cs.frame_data.push_back(each * entries);
  }
  return cs;
}

struct StreamResult {
  QovDecoderStatus last = QOV_DEC_FAILED;
  uint64_t frames = 0;
  uint64_t boxes = 0;
  uint64_t heap_growth = 0;  // largest heap use after an advance, over the start
  uint64_t rounds = 0;
};

// Streams the file the way qovinfo does (same events and options) in chunks
// of `chunk` bytes. Runs of zeros are provided from one zero block, never
// copied.
StreamResult StreamThrough(const SegmentedFile& file, size_t chunk,
                           const QovMemoryManager* manager) {
  StreamResult result;
  Bytes buffer(2 * chunk), zeros(chunk, 0);
  QovDecoder dec = QovDecoderCreate(manager);
  EXPECT_NE(nullptr, dec);
  if (dec == nullptr) return result;
  QovDecoderKeepOrientation(dec, 1);
  QovDecoderEnableCoalescing(dec, 0);
  EXPECT_EQ(QOV_DEC_OK,
            QovDecoderSubscribeEvents(dec, QOV_DEC_HEADER_INFO | QOV_DEC_COLOR_INFO |
                                               QOV_DEC_FRAME_START | QOV_DEC_BOX_START |
                                               QOV_DEC_BOX_COMPLETE));
  const uint64_t heap_start = HeapInUse();
  const uint8_t* provided = nullptr;
  uint64_t provided_size = 0;
  uint64_t offset = 0;
  for (;;) {
    const QovDecoderStatus s = QovDecoderAdvance(dec);
    const uint64_t heap = HeapInUse();
    if (heap > heap_start) result.heap_growth = std::max(result.heap_growth, heap - heap_start);
    if (s == QOV_DEC_FRAME_START) {
      ++result.frames;
    } else if (s == QOV_DEC_BOX_START) {
      ++result.boxes;
    } else if (s == QOV_DEC_WANT_INPUT) {
      const uint64_t tail = QovDecoderReclaimInput(dec);
      EXPECT_LE(tail, provided_size);
      EXPECT_LE(tail, chunk);
      if (tail > provided_size || tail > chunk) break;
      if (tail != 0) std::memmove(buffer.data(), provided + (provided_size - tail), tail);
      const uint64_t n = std::min<uint64_t>(chunk, file.size() - offset);
      if (n == 0) break;  // more wanted after the end: the decoder lied
      if (tail == 0 && file.AllZeros(offset, n)) {
        provided = zeros.data();
      } else {
        file.Copy(offset, n, buffer.data() + tail);
        provided = buffer.data();
      }
      provided_size = tail + n;
      offset += n;
      ++result.rounds;
      EXPECT_EQ(QOV_DEC_OK, QovDecoderProvideInput(dec, provided, provided_size));
      if (offset == file.size()) QovDecoderEndInput(dec);
    } else if (s == QOV_DEC_HEADER_INFO || s == QOV_DEC_COLOR_INFO ||
               s == QOV_DEC_BOX_COMPLETE) {
      continue;
    } else {
      result.last = s;
      break;
    }
  }
  QovDecoderDelete(dec);
  return result;
}

// The two files of one size class: a bare codestream (whose last frame's
// data the decoder never reads, so it is left out) and a container whose two
// codestream parts, with 64-bit box sizes, split inside the second frame's
// sections around a box of `skipped_box` bytes that is passed over.
struct HugeFile {
  const char* name;
  SegmentedFile file;
  uint64_t boxes;
};

std::vector<HugeFile> MakeHugeFiles(const HugeCodestream& cs, uint64_t skipped_box) {
  std::vector<HugeFile> files;
  {
    HugeFile f{"bare codestream", {}, 0};
    f.file.Add(cs.headers);
    for (size_t k = 0; k < cs.frame_heads.size(); ++k) {
      f.file.Add(cs.frame_heads[k]);
      if (k + 1 < cs.frame_heads.size()) f.file.AddZeros(cs.frame_data[k]);
    }
    files.push_back(std::move(f));
  }
  {
    constexpr uint64_t kSplit = 12345;  // bytes of frame 1's sections in part 1
    HugeFile f{"container", {}, 5};     // signature, 'ftyp', two parts, 'free'
    uint64_t first_part = cs.headers.size() - kSplit;
    for (size_t k = 0; k < 2; ++k) first_part += cs.frame_heads[k].size() + cs.frame_data[k];
    uint64_t second_part = kSplit;
    for (size_t k = 2; k < cs.frame_heads.size(); ++k) {
      second_part += cs.frame_heads[k].size() + cs.frame_data[k];
    }
    auto box64 = [](const char* type, uint64_t contents) {
      Bytes b;
      AppendBE(1, 4, &b);
      b.insert(b.end(), type, type + 4);
      AppendBE(16 + contents, 8, &b);
      return b;
    };
    Bytes head = Concat({SignatureBox(), FtypBox(0), box64("jxlp", 4 + first_part)});
    AppendBE(0, 4, &head);  // part index 0
    f.file.Add(head);
    f.file.Add(cs.headers);
    f.file.Add(cs.frame_heads[0]);
    f.file.AddZeros(cs.frame_data[0]);
    f.file.Add(cs.frame_heads[1]);
    f.file.AddZeros(cs.frame_data[1] - kSplit);
    f.file.Add(box64("free", skipped_box));
    f.file.AddZeros(skipped_box);
    Bytes second = box64("jxlp", 4 + second_part);
    AppendBE(0x80000001u, 4, &second);  // part index 1, the last
    f.file.Add(second);
    f.file.AddZeros(kSplit);
    for (size_t k = 2; k < cs.frame_heads.size(); ++k) {
      f.file.Add(cs.frame_heads[k]);
      f.file.AddZeros(cs.frame_data[k]);
    }
    files.push_back(std::move(f));
  }
  return files;
}

TEST(ResourceBoundsTest, PassingOverGigabytesOfFramesStaysBounded) {
  struct SizeClass {
    const char* name;
    std::vector<uint64_t> section_sizes;  // of the frames before the last
    uint64_t skipped_box;
    size_t chunk;
  };
  const SizeClass kClasses[] = {
      // qovinfo's 2048-byte inputs over frames of 16 MiB and 1 GiB.
      {"2 GiB in tool-sized chunks", {64 * 1024, 4 * kMiB}, kGiB, 2048},
      // 1 MiB inputs over frames of 1 GiB and of the largest sections a
      // table of contents allows (262 x 1.08 GB), and a 300 GiB box.
      {"580 GiB in large chunks", {4 * kMiB, kLargestSection}, 300 * kGiB, kMiB},
  };
  for (const SizeClass& size_class : kClasses) {
    const HugeCodestream cs = MakeHugeCodestream(size_class.section_sizes);
    for (const HugeFile& f : MakeHugeFiles(cs, size_class.skipped_box)) {
      SCOPED_TRACE(std::string(size_class.name) + ", " + f.name);
      CountingManager counting;
      const QovMemoryManager manager = counting.Manager();
      const StreamResult r = StreamThrough(f.file, size_class.chunk, &manager);
      EXPECT_EQ(QOV_DEC_OK, r.last);
      EXPECT_EQ(cs.frame_heads.size(), r.frames);
      EXPECT_EQ(f.boxes, r.boxes);
      // Every byte before the last frame went through.
      EXPECT_GE(r.rounds, (f.file.size() - cs.frame_data.back()) / size_class.chunk);
      EXPECT_EQ(0u, counting.current);
      // The copy buffer holds at most one input's codestream bytes and a
      // header's worth; everything else is small and of fixed size.
      EXPECT_LE(counting.peak, 2 * size_class.chunk + 256 * 1024);
      EXPECT_LE(r.heap_growth, kMiB);
    }
  }
}

// While the bytes of a frame that is passed over are still arriving, each
// input only drops bytes: the frame's driver and header stay as they are
// until the next frame's bytes are there.
TEST(ResourceBoundsTest, PassingOverAFrameKeepsItsDriverUntilTheNextHeader) {
  const HugeCodestream cs = MakeHugeCodestream({4096});  // a 1 MiB frame
  Bytes file = cs.headers;
  file.insert(file.end(), cs.frame_heads[0].begin(), cs.frame_heads[0].end());
  file.resize(file.size() + cs.frame_data[0], 0);
  file.insert(file.end(), cs.frame_heads[1].begin(), cs.frame_heads[1].end());

  QovDecoder dec = QovDecoderCreate(nullptr);
  ASSERT_EQ(QOV_DEC_OK, QovDecoderEnableCoalescing(dec, 0));  // report every frame
  ASSERT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(dec, QOV_DEC_FRAME_START));
  size_t offset = 0;
  std::vector<std::string> names;
  int skipping_rounds = 0;
  const FrameDriver* skipping_driver = nullptr;
  for (;;) {
    const QovDecoderStatus s = QovDecoderAdvance(dec);
    if (s == QOV_DEC_FRAME_START) {
      names.push_back(dec->frame_header->name);
      continue;
    }
    if (s != QOV_DEC_WANT_INPUT) {
      EXPECT_EQ(QOV_DEC_OK, s);
      break;
    }
    if (dec->skip_bytes > 0) {
      // Passing over frame 0: its header and driver are still the ones read.
      if (skipping_driver == nullptr) skipping_driver = dec->frame_driver.get();
      EXPECT_EQ(skipping_driver, dec->frame_driver.get());
      ASSERT_NE(nullptr, dec->frame_header);
      EXPECT_EQ("frame 0", dec->frame_header->name);
      ++skipping_rounds;
    }
    ASSERT_EQ(0u, QovDecoderReclaimInput(dec));
    const size_t n = std::min<size_t>(4096, file.size() - offset);
    ASSERT_GT(n, 0u);
    ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(dec, file.data() + offset, n));
    offset += n;
    if (offset == file.size()) QovDecoderEndInput(dec);
  }
  QovDecoderDelete(dec);
  EXPECT_GT(skipping_rounds, 50);
  EXPECT_EQ((std::vector<std::string>{"frame 0", "frame 1"}), names);
}

// A compressed ICC stream that claims 2^28 inner bytes and codes 70000 of
// them (two size varints, then zeros that cost no bits once the header is
// past): a few dozen bytes. The reader decodes up to its expansion check
// (inner bytes against stream bytes read) and fails there, having grown its
// buffer with the bytes decoded, never towards the size the field claims.
TEST(ResourceBoundsTest, IccSizeFieldDoesNotDriveAllocation) {
  // Output size 2^28 and command size 0 (base-128 varints), then zeros.
  Bytes inner = {0x80, 0x80, 0x80, 0x80, 0x01, 0x00};
  inner.resize(70000, 0);
  std::vector<std::vector<Token>> streams(1);
  for (size_t i = 0; i < inner.size(); ++i) {
    const uint8_t p1 = i >= 1 ? inner[i - 1] : 0, p2 = i >= 2 ? inner[i - 2] : 0;
    streams[0].emplace_back(IccByteContext(i, p1, p2), inner[i]);
  }
  const std::vector<Token> tokens = streams[0];
  BitWriter writer(HeapMemoryManager());
  ASSERT_TRUE(writer
                  .WithBitBudget(80, LayerType::kHeader, nullptr,
                                 [&]() { return WriteCodedU64(uint64_t{1} << 28, &writer); })
                  .ok());
  EntropyEncodingData codes;
  HistogramParams params;  // ANS, no LZ77
  ASSERT_TRUE(BuildAndEncodeHistograms(HeapMemoryManager(), params, 41, streams, &codes, &writer,
                                       LayerType::kHeader, nullptr)
                  .ok());
  ASSERT_TRUE(WriteTokens(tokens, codes, 0, &writer, LayerType::kHeader, nullptr).ok());
  const Span stream = writer.GetSpan();
  ASSERT_LT(stream.size, 200u);

  CountingManager counting;
  const QovMemoryManager manager = counting.Manager();
  uint8_t* icc = nullptr;
  uint64_t icc_size = 0;
  EXPECT_FALSE(QovDecompressICCProfile(&manager, stream.data, stream.size, &icc, &icc_size));
  EXPECT_EQ(0u, counting.current);
  // It got as far as the check (64 KiB decoded), and no further.
  EXPECT_GE(counting.peak, 65536u);
  EXPECT_LE(counting.peak, kMiB);
  EXPECT_LE(counting.largest, 256 * 1024u);
}

}  // namespace
}  // namespace qov
