// A colour-management module for tests. It checks its calls (per-thread
// buffers of exactly pixels_per_thread pixels, runs refused beyond them),
// records the two profiles it was given, and maps each output channel to
// 2 x input + channel (grey source: 2 x input; CMYK source: input - black).
#ifndef QOV_TESTS_SUPPORT_CMS_TEST_MODULE_H_
#define QOV_TESTS_SUPPORT_CMS_TEST_MODULE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/color/output_color.h"
#include "qov/qov.h"

namespace qov::test {

struct CmsTestModule {
  struct State {
    CmsTestModule* module;
    uint64_t pixels;
    uint64_t in_channels, out_channels;
    std::vector<std::vector<float>> in, out;
  };
  // What the initialisation callback received for one side.
  struct Profile {
    std::vector<uint8_t> icc;
    QovColorEncoding encoding{};
    uint64_t channels = 0;
  };

  static Profile Record(const CmsColorProfile* p) {
    Profile r;
    r.icc.assign(p->icc_data, p->icc_data + p->icc_size);
    r.encoding = p->encoding;
    r.channels = p->channel_count;
    return r;
  }
  static void* Create(void* data, uint64_t threads, uint64_t pixels,
                      const CmsColorProfile* src, const CmsColorProfile* dst,
                      float /*intensity*/) {
    auto* m = static_cast<CmsTestModule*>(data);
    m->created++;
    m->last_pixels = pixels;
    m->last_threads = threads;
    m->source = Record(src);
    m->destination = Record(dst);
    m->src_channels = src->channel_count;
    m->dst_channels = dst->channel_count;
    if (m->fail_create) return nullptr;
    auto* s = new State{m, pixels, src->channel_count, dst->channel_count,
                        {}, {}};
    s->in.assign(threads, std::vector<float>(pixels * s->in_channels));
    s->out.assign(threads, std::vector<float>(pixels * s->out_channels));
    return s;
  }
  static float* In(void* st, size_t t) {
    return static_cast<State*>(st)->in.at(t).data();
  }
  static float* Out(void* st, size_t t) {
    return static_cast<State*>(st)->out.at(t).data();
  }
  static bool Run(void* st, size_t /*t*/, const float* in, float* out,
                  size_t n) {
    auto* s = static_cast<State*>(st);
    s->module->runs++;
    if (n > s->pixels) {
      s->module->overflow = true;
      return false;
    }
    if (s->module->fail_run) return false;
    for (size_t x = 0; x < n; ++x) {
      const float* px = in + x * s->in_channels;
      for (size_t c = 0; c < s->out_channels; ++c) {
        float v = s->in_channels == 1 ? 2 * px[0] : 2 * px[c] + c;
        if (s->in_channels == 4) v = px[c] - px[3];
        out[x * s->out_channels + c] = v;
      }
    }
    return true;
  }
  static void Destroy(void* st) {
    auto* s = static_cast<State*>(st);
    s->module->destroyed++;
    delete s;
  }
  CmsInterface Interface() {
    CmsInterface cms;
    cms.transform_data = this;
    cms.create_transform = &Create;
    cms.input_buffer = &In;
    cms.output_buffer = &Out;
    cms.run_transform = &Run;
    cms.destroy_transform = &Destroy;
    return cms;
  }

  int created = 0, destroyed = 0, runs = 0;
  uint64_t last_pixels = 0, last_threads = 0;
  uint64_t src_channels = 0, dst_channels = 0;
  Profile source, destination;  // of the last initialisation
  bool fail_create = false, fail_run = false, overflow = false;
};

}  // namespace qov::test

#endif  // QOV_TESTS_SUPPORT_CMS_TEST_MODULE_H_
