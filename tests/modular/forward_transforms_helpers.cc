// Encoder-side RCT and squeeze for the tests.
#include "tests/modular/forward_transforms_helpers.h"

#include "lib/modular/squeeze.h"

namespace qov::test {

void ForwardRctKind(uint32_t k, const int64_t out[3], int64_t in[3]) {
  in[0] = out[0];
  in[1] = out[1];
  in[2] = out[2];
  switch (k) {
    case 1: in[2] = out[2] - out[0]; break;
    case 2: in[1] = out[1] - out[0]; break;
    case 3: in[1] = out[1] - out[0]; in[2] = out[2] - out[0]; break;
    case 4: in[1] = out[1] - ((out[0] + out[2]) >> 1); break;
    case 5:
      in[2] = out[2] - out[0];
      in[1] = out[1] - ((out[0] + out[2]) >> 1);
      break;
    case 6: {
      const int64_t co = out[0] - out[2];
      const int64_t t = out[2] + (co >> 1);
      const int64_t cg = out[1] - t;
      in[0] = t + (cg >> 1);
      in[1] = co;
      in[2] = cg;
      break;
    }
    default: break;
  }
}

std::vector<Plain> ToPlain(const ModularImage& image) {
  std::vector<Plain> out;
  for (size_t c = 0; c < image.channels.size(); ++c) {
    const ModularChannel& ch = image.channels[c];
    out.push_back({{ch.width, ch.height, ch.hshift, ch.vshift}, ch.component,
                   test::Samples(image, c)});
  }
  return out;
}

namespace {

// Splits one channel into average and residual.
void ForwardSqueezeOne(const Plain& in, bool horizontal, Plain* avg, Plain* res) {
  const uint64_t w = in.shape.width, h = in.shape.height;
  const uint64_t n = horizontal ? w : h;      // along the step
  const uint64_t lines = horizontal ? h : w;  // across it
  const uint64_t an = (n + 1) >> 1, rn = n >> 1;
  auto at = [&](const std::vector<int32_t>& v, uint64_t width, uint64_t line,
                uint64_t i) -> int32_t {
    return horizontal ? v[line * width + i] : v[i * width + line];
  };
  *avg = in;
  *res = in;
  if (horizontal) {
    avg->shape.width = an;
    res->shape.width = rn;
    if (avg->shape.hshift >= 0) ++avg->shape.hshift;
  } else {
    avg->shape.height = an;
    res->shape.height = rn;
    if (avg->shape.vshift >= 0) ++avg->shape.vshift;
  }
  res->shape.hshift = avg->shape.hshift;
  res->shape.vshift = avg->shape.vshift;
  const uint64_t aw = avg->shape.width, rw = res->shape.width;
  avg->v.assign(avg->shape.width * avg->shape.height, 0);
  res->v.assign(res->shape.width * res->shape.height, 0);
  auto set = [&](std::vector<int32_t>& v, uint64_t width, uint64_t line,
                 uint64_t i, int64_t value) {
    (horizontal ? v[line * width + i] : v[i * width + line]) =
        static_cast<int32_t>(value);
  };
  for (uint64_t line = 0; line < lines; ++line) {
    for (uint64_t i = 0; i < an; ++i) {
      if (i < rn) {
        const int64_t first = at(in.v, w, line, 2 * i);
        const int64_t second = at(in.v, w, line, 2 * i + 1);
        set(avg->v, aw, line, i, first - (first - second) / 2);
      } else {
        set(avg->v, aw, line, i, at(in.v, w, line, n - 1));
      }
    }
    for (uint64_t i = 0; i < rn; ++i) {
      const int64_t first = at(in.v, w, line, 2 * i);
      const int64_t second = at(in.v, w, line, 2 * i + 1);
      const int64_t a = at(avg->v, aw, line, i);
      const int64_t next = i + 1 < an ? at(avg->v, aw, line, i + 1) : a;
      const int64_t before = i > 0 ? at(in.v, w, line, 2 * i - 1) : a;
      set(res->v, rw, line, i,
          (first - second) - SqueezeTendency(before, a, next));
    }
  }
}

}  // namespace

void ForwardSqueeze(std::vector<Plain>& ch, uint64_t& meta,
                  const std::vector<SqueezeParams>& steps) {
  for (const SqueezeParams& s : steps) {
    const uint64_t b = s.first_channel, k = s.channel_count, e = b + k - 1;
    uint64_t base = s.in_place ? e + 1 : ch.size();
    if (b < meta) meta += k;
    std::vector<Plain> residuals(k);
    for (uint64_t j = 0; j < k; ++j) {
      Plain avg;
      ForwardSqueezeOne(ch[b + j], s.horizontal, &avg, &residuals[j]);
      ch[b + j] = avg;
    }
    ch.insert(ch.begin() + base, residuals.begin(), residuals.end());
  }
}

ModularImage FromPlain(const std::vector<Plain>& ch, uint64_t meta) {
  std::vector<ChannelShape> shapes;
  for (const Plain& p : ch) shapes.push_back(p.shape);
  ModularImage image = test::MakeImage(shapes, meta);
  for (size_t c = 0; c < ch.size(); ++c) {
    test::Fill(image, c, ch[c].v);
    image.channels[c].component = ch[c].component;
  }
  return image;
}

}  // namespace qov::test
