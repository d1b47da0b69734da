#include "tests/jpeg/jpeg_decode_loop_helpers.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "lib/api/internal_pixel_hook.h"

namespace qov::test {

bool JpegLoopResult::Saw(int32_t status) const {
  return std::find(events.begin(), events.end(), status) != events.end();
}

JpegLoopResult RunJpegLoop(const Bytes& file, const JpegLoopOptions& o) {
  JpegLoopResult result;
  QovDecoder dec = QovDecoderCreate(nullptr);
  if (dec == nullptr || QovDecoderSubscribeEvents(dec, o.events) != QOV_DEC_OK) {
    QovDecoderDelete(dec);
    result.events.push_back(QOV_DEC_FAILED);
    return result;
  }
  Bytes space(o.output_space != 0 ? o.output_space : 4 * file.size() + 1024);
  if (o.attach) {
    if (QovInternalAttachJpegOutput(dec, space.data(), space.size()) != QOV_DEC_OK) {
      result.events.push_back(-2);
      QovDecoderDelete(dec);
      return result;
    }
  }
  const uint64_t chunk = o.chunk == 0 ? std::max<uint64_t>(file.size(), 1) : o.chunk;
  uint64_t given = 0;
  bool done = false;
  for (int guard = 0; guard < 100000000; ++guard) {
    const QovDecoderStatus s = QovDecoderAdvance(dec);
    if (s == QOV_DEC_WANT_INPUT) {
      const uint64_t consumed = given - QovDecoderReclaimInput(dec);
      if (given >= file.size()) {
        result.events.push_back(s);
        break;
      }
      given = std::min<uint64_t>(file.size(), given + chunk);
      QovDecoderProvideInput(dec, file.data() + consumed, given - consumed);
      if (given == file.size()) QovDecoderEndInput(dec);
      continue;
    }
    result.events.push_back(s);
    if (s == QOV_DEC_JPEG_DATA || s == QOV_DEC_BOX_START) continue;
    if (s == QOV_DEC_WANT_JPEG_OUTPUT && o.grow_output && space.size() < (1u << 30)) {
      QovInternalReleaseJpegOutput(dec);
      space.assign(space.size() * 2, 0);
      QovInternalAttachJpegOutput(dec, space.data(), space.size());
      continue;
    }
    if (s == QOV_DEC_IMAGE_DONE && !done) {
      done = true;
      const uint64_t left = QovInternalReleaseJpegOutput(dec);
      result.space_left = left;
      result.jpeg.assign(space.begin(), space.end() - static_cast<ptrdiff_t>(left));
      if (o.run_to_end) continue;
    }
    break;
  }
  if (!done && o.attach) result.space_left = QovInternalReleaseJpegOutput(dec);
  QovDecoderDelete(dec);
  return result;
}

std::vector<ContainerBox> SplitBoxes(const Bytes& file) {
  std::vector<ContainerBox> boxes;
  size_t p = 0;
  while (p + 8 <= file.size()) {
    uint64_t size = 0;
    for (int i = 0; i < 4; ++i) size = (size << 8) | file[p + i];
    size_t header = 8;
    if (size == 1 && p + 16 <= file.size()) {
      size = 0;
      for (int i = 0; i < 8; ++i) size = (size << 8) | file[p + 8 + i];
      header = 16;
    } else if (size == 0) {
      size = file.size() - p;
    }
    if (size < header || size > file.size() - p) break;
    ContainerBox box;
    box.type.assign(file.begin() + p + 4, file.begin() + p + 8);
    box.bytes.assign(file.begin() + p, file.begin() + p + size);
    boxes.push_back(std::move(box));
    p += size;
  }
  return boxes;
}

Bytes JoinBoxes(const std::vector<ContainerBox>& boxes) {
  Bytes out;
  for (const ContainerBox& box : boxes) {
    out.insert(out.end(), box.bytes.begin(), box.bytes.end());
  }
  return out;
}

ContainerBox MakeBox(const std::string& type, const Bytes& content,
                     bool unbounded) {
  ContainerBox box;
  box.type = type;
  const uint64_t size = unbounded ? 0 : content.size() + 8;
  for (int shift = 24; shift >= 0; shift -= 8) {
    box.bytes.push_back(static_cast<uint8_t>(size >> shift));
  }
  box.bytes.insert(box.bytes.end(), type.begin(), type.end());
  box.bytes.insert(box.bytes.end(), content.begin(), content.end());
  return box;
}

int FindBox(const std::vector<ContainerBox>& boxes, const std::string& type) {
  for (size_t i = 0; i < boxes.size(); ++i) {
    if (boxes[i].type == type) return static_cast<int>(i);
  }
  return -1;
}

Bytes ReadTestFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace qov::test
