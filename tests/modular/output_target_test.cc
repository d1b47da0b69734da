// The pixel output target through the decoder loop: small modular files
// with a preview frame and several displayed frames, written here, decoded
// through the internal pixel hook into 8-bit targets that must receive
// exactly the samples that were coded. A target serves one frame: every
// frame that wants pixels asks for its own, and a buffer of an earlier
// frame is never written again.
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "lib/api/internal_pixel_hook.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "qov/qov.h"
#include "tests/modular/modular_frame_writer_helpers.h"

namespace qov {
namespace {

using modular_test::Leaf;
using modular_test::ModularFrameSpec;
using modular_test::TestChannel;

constexpr uint32_t kWidth = 8, kHeight = 6;
constexpr uint32_t kPreviewWidth = 4, kPreviewHeight = 3;

// 8-bit samples of one frame: red, green, blue, alpha planes.
struct Picture {
  uint32_t width = 0, height = 0;
  std::vector<int32_t> planes[4];
};

Picture MakePicture(uint32_t w, uint32_t h, uint32_t seed) {
  Picture p;
  p.width = w;
  p.height = h;
  for (uint32_t c = 0; c < 4; ++c) {
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        p.planes[c].push_back(static_cast<int32_t>((x * 41 + y * 67 + c * 23 + seed * 101) % 256));
      }
    }
  }
  return p;
}

// Interleaved RGBA bytes as an 8-bit four-channel target receives them.
std::vector<uint8_t> Rgba(const Picture& p) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < p.planes[0].size(); ++i) {
    for (size_t c = 0; c < 4; ++c) out.push_back(static_cast<uint8_t>(p.planes[c][i]));
  }
  return out;
}

std::vector<uint8_t> Alpha(const Picture& p) {
  return std::vector<uint8_t>(p.planes[3].begin(), p.planes[3].end());
}

CodecMetadata Metadata(bool preview) {
  CodecMetadata metadata = modular_test::PlainMetadata(kWidth, kHeight);
  modular_test::AddExtraChannel(&metadata, ExtraChannelKind::kAlpha);
  if (preview) {
    metadata.m.have_preview = true;
    metadata.m.preview_size.div8 = false;
    metadata.m.preview_size.ratio = 0;
    metadata.m.preview_size.xsize = kPreviewWidth;
    metadata.m.preview_size.ysize = kPreviewHeight;
  }
  return metadata;
}

// The codestream: the preview first when the metadata announces one, then
// full-size frames replacing the image, the last one marked last.
std::vector<uint8_t> WriteFile(const CodecMetadata& metadata, const Picture* preview,
                               const std::vector<Picture>& frames) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(modular_test::WriteImageHeader(metadata, &bytes).ok());
  std::vector<std::pair<const Picture*, bool>> list;  // picture, is preview
  if (preview != nullptr) list.emplace_back(preview, true);
  for (const Picture& f : frames) list.emplace_back(&f, false);
  for (size_t i = 0; i < list.size(); ++i) {
    const Picture& pic = *list[i].first;
    ModularFrameSpec spec(&metadata);
    FrameHeader& h = spec.header;
    h.is_preview = list[i].second;  // sizes the frame by the preview
    h.all_default = false;
    h.encoding = static_cast<uint32_t>(FrameCoding::kModular);
    h.color_transform = static_cast<uint32_t>(ColorTransformKind::kNone);
    h.loop_filter.gab = false;
    h.loop_filter.epf_iters = 0;
    h.ec_upsampling.assign(1, 1);
    h.ec_blending_info.resize(1);
    h.is_last = list[i].second || i + 1 == list.size();
    for (size_t c = 0; c < 4; ++c) {
      TestChannel ch;
      ch.width = pic.width;
      ch.height = pic.height;
      ch.samples = pic.planes[c];
      spec.channels.push_back(ch);
    }
    spec.tree = modular_test::Flatten(Leaf(5));
    std::vector<uint8_t> frame;
    EXPECT_TRUE(modular_test::WriteModularFrame(spec, &frame).ok());
    bytes.insert(bytes.end(), frame.begin(), frame.end());
  }
  return bytes;
}

// What the decoder asked for and wrote.
struct Delivery {
  std::string error;
  std::vector<int32_t> events;  // every status but QOV_DEC_WANT_INPUT
  std::vector<std::pair<uint64_t, uint64_t>> sizes;  // per target attached
  std::deque<std::vector<uint8_t>> targets;          // RGBA, in attach order
  std::vector<uint8_t> first_alpha;  // alpha output of the first target
};

// Decodes `file` handed over in `chunk`-byte pieces (0: at once). Every
// buffer request is first answered by advancing again without a target (it
// must repeat), then by a new 8-bit RGBA target; the first target also gets
// an alpha output.
Delivery Decode(const std::vector<uint8_t>& file, int32_t events, bool coalescing,
                size_t chunk) {
  Delivery d;
  QovDecoder dec = QovDecoderCreate(nullptr);
  struct Deleter {
    QovDecoder d;
    ~Deleter() { QovDecoderDelete(d); }
  } deleter{dec};
  if (dec == nullptr || QovDecoderEnableCoalescing(dec, coalescing ? 1 : 0) != QOV_DEC_OK ||
      QovDecoderSubscribeEvents(dec, events) != QOV_DEC_OK) {
    d.error = "set-up refused";
    return d;
  }
  const size_t step = chunk == 0 ? file.size() : chunk;
  size_t given = 0;
  int32_t last_request = 0;
  for (int i = 0; i < 100000; ++i) {
    const QovDecoderStatus s = QovDecoderAdvance(dec);
    if (s == QOV_DEC_WANT_INPUT) {
      const size_t consumed = given - QovDecoderReclaimInput(dec);
      if (given == file.size()) {
        d.error = "truncated";
        return d;
      }
      given = std::min(file.size(), given + step);
      if (QovDecoderProvideInput(dec, file.data() + consumed, given - consumed) != QOV_DEC_OK) {
        d.error = "input refused";
        return d;
      }
      if (given == file.size()) QovDecoderEndInput(dec);
      continue;
    }
    d.events.push_back(s);
    if (s == QOV_DEC_OK || s == QOV_DEC_FAILED) return d;
    if (s != QOV_DEC_WANT_PREVIEW_BUFFER && s != QOV_DEC_WANT_IMAGE_BUFFER) {
      last_request = 0;
      continue;
    }
    if (last_request != s) {
      last_request = s;  // ask once more without a target
      continue;
    }
    d.events.pop_back();  // the repeat is not listed
    last_request = 0;
    uint64_t w = 0, h = 0;
    if (QovInternalOutputSize(dec, &w, &h) != QOV_DEC_OK) {
      d.error = "no output size";
      return d;
    }
    d.sizes.emplace_back(w, h);
    d.targets.emplace_back(w * h * 4, 0);
    InternalPixelTarget target;
    target.format.num_channels = 4;
    target.format.data_type = OutputSampleType::kUint8;
    target.buffer = d.targets.back().data();
    target.buffer_size = d.targets.back().size();
    if (QovInternalAttachPixelOutput(dec, target) != QOV_DEC_OK) {
      d.error = "target refused";
      return d;
    }
    if (d.targets.size() == 1) {
      d.first_alpha.assign(w * h, 0);
      InternalPixelTarget alpha = target;
      alpha.format.num_channels = 1;
      alpha.buffer = d.first_alpha.data();
      alpha.buffer_size = d.first_alpha.size();
      if (QovInternalAttachExtraChannelOutput(dec, 0, alpha) != QOV_DEC_OK) {
        d.error = "alpha output refused";
        return d;
      }
    }
  }
  d.error = "too many advances";
  return d;
}

TEST(OutputTargetTest, EveryFrameThatWantsPixelsGetsItsOwnTarget) {
  const Picture preview = MakePicture(kPreviewWidth, kPreviewHeight, 1);
  const Picture first = MakePicture(kWidth, kHeight, 2);
  const Picture second = MakePicture(kWidth, kHeight, 3);
  constexpr int32_t kPreviewEvents =
      QOV_DEC_HEADER_INFO | QOV_DEC_PREVIEW_DONE | QOV_DEC_IMAGE_DONE;
  constexpr int32_t kImageEvents = QOV_DEC_HEADER_INFO | QOV_DEC_IMAGE_DONE;
  struct Case {
    const char* what;
    bool with_preview;
    std::vector<Picture> frames;
    int32_t events;
    bool coalescing;
    std::vector<int32_t> want_events;  // between the header event and OK
    std::vector<const Picture*> want_targets;
  };
  const Case cases[] = {
      {"preview, then the image",
       true,
       {first},
       kPreviewEvents,
       true,
       {QOV_DEC_WANT_PREVIEW_BUFFER, QOV_DEC_PREVIEW_DONE, QOV_DEC_WANT_IMAGE_BUFFER,
        QOV_DEC_IMAGE_DONE},
       {&preview, &first}},
      {"preview not subscribed: passed over",
       true,
       {first},
       kImageEvents,
       true,
       {QOV_DEC_WANT_IMAGE_BUFFER, QOV_DEC_IMAGE_DONE},
       {&first}},
      {"two displayed frames",
       false,
       {first, second},
       kImageEvents,
       false,
       {QOV_DEC_WANT_IMAGE_BUFFER, QOV_DEC_IMAGE_DONE, QOV_DEC_WANT_IMAGE_BUFFER,
        QOV_DEC_IMAGE_DONE},
       {&first, &second}},
      {"preview, then two displayed frames",
       true,
       {first, second},
       kPreviewEvents,
       false,
       {QOV_DEC_WANT_PREVIEW_BUFFER, QOV_DEC_PREVIEW_DONE, QOV_DEC_WANT_IMAGE_BUFFER,
        QOV_DEC_IMAGE_DONE, QOV_DEC_WANT_IMAGE_BUFFER, QOV_DEC_IMAGE_DONE},
       {&preview, &first, &second}},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> file =
        WriteFile(Metadata(c.with_preview), c.with_preview ? &preview : nullptr, c.frames);
    std::vector<int32_t> want_events = {QOV_DEC_HEADER_INFO};
    want_events.insert(want_events.end(), c.want_events.begin(), c.want_events.end());
    want_events.push_back(QOV_DEC_OK);
    for (const size_t chunk : {size_t{0}, size_t{7}}) {
      SCOPED_TRACE(std::string(c.what) + ", chunk " + std::to_string(chunk));
      const Delivery d = Decode(file, c.events, c.coalescing, chunk);
      ASSERT_EQ(d.error, "");
      EXPECT_EQ(d.events, want_events);
      ASSERT_EQ(d.targets.size(), c.want_targets.size());
      for (size_t k = 0; k < c.want_targets.size(); ++k) {
        const Picture& p = *c.want_targets[k];
        EXPECT_EQ(d.sizes[k], std::make_pair(uint64_t{p.width}, uint64_t{p.height}));
        EXPECT_EQ(d.targets[k], Rgba(p)) << "target " << k;
      }
      // Attached with the first target only, the alpha output keeps that
      // frame's alpha: later frames do not write into it.
      EXPECT_EQ(d.first_alpha, Alpha(*c.want_targets[0]));
    }
  }
}

}  // namespace
}  // namespace qov
