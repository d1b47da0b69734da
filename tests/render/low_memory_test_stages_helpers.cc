// Test stages for the pipeline comparisons.
#include <atomic>

#include "tests/render/low_memory_test_stages.h"

namespace qov::lowmem_test {
namespace {

float* At(float* row, int64_t i) { return row + kRowLeadSamples + i; }

bool InMask(uint32_t mask, size_t c) { return c < 32 && ((mask >> c) & 1) != 0; }

class FilterStage : public RenderPipelineStage {
 public:
  FilterStage(uint32_t mask, uint64_t bx, uint64_t by, uint64_t sx, uint64_t sy)
      : RenderPipelineStage(StageGeometry{bx, by, sx, sy}), mask_(mask) {}
  Status RenderRow(const ChannelRowSet& in, const ChannelRowSet& out,
                   size_t extra_left, size_t extra_right, size_t xsize, size_t /*xpos*/,
                   size_t /*ypos*/, size_t /*thread*/) const override {
    const StageGeometry& g = geometry();
    const int64_t bx = g.border_x, by = g.border_y;
    const int64_t px = int64_t{1} << g.shift_x, py = int64_t{1} << g.shift_y;
    for (size_t c = 0; c < in.size(); ++c) {
      if (!InMask(mask_, c)) continue;
      for (int64_t o = -static_cast<int64_t>(extra_left);
           o < static_cast<int64_t>(xsize + extra_right); ++o) {
        for (int64_t ky = 0; ky < py; ++ky) {
          for (int64_t kx = 0; kx < px; ++kx) {
            float sum = 0.f;
            for (int64_t dy = -by; dy <= by; ++dy) {
              for (int64_t dx = -bx; dx <= bx; ++dx) {
                const float w = 1.0f / (3.0f + static_cast<float>(dx * dx + 2 * dy * dy) +
                                        0.25f * static_cast<float>(dx + kx) +
                                        0.125f * static_cast<float>(dy - ky));
                sum += w * At(in[c][dy + by], o + dx)[0];
              }
            }
            At(out[c][ky], o * px + kx)[0] = sum * 0.25f;
          }
        }
      }
    }
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    return InMask(mask_, c) ? RowChannelMode::kSeparateOutput : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "TestFilter"; }

 private:
  uint32_t mask_;
};

class ShadeStage : public RenderPipelineStage {
 public:
  explicit ShadeStage(uint32_t mask) : RenderPipelineStage(StageGeometry{}), mask_(mask) {}
  Status RenderRow(const ChannelRowSet& in, const ChannelRowSet& /*out*/,
                   size_t extra_left, size_t extra_right, size_t xsize, size_t xpos,
                   size_t ypos, size_t /*thread*/) const override {
    for (size_t c = 0; c < in.size(); ++c) {
      if (!InMask(mask_, c)) continue;
      for (int64_t o = -static_cast<int64_t>(extra_left);
           o < static_cast<int64_t>(xsize + extra_right); ++o) {
        float* s = At(in[c][0], o);
        const int64_t x = static_cast<int64_t>(xpos) + o;
        s[0] = 0.75f * s[0] + 0.01f * static_cast<float>(x % 37) +
               0.02f * static_cast<float>(ypos % 29) + 0.5f * static_cast<float>(c);
      }
    }
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    return InMask(mask_, c) ? RowChannelMode::kModifyRows : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "TestShade"; }

 private:
  uint32_t mask_;
};

class MixStage : public RenderPipelineStage {
 public:
  MixStage(size_t to, size_t from) : RenderPipelineStage(StageGeometry{}), to_(to), from_(from) {}
  Status RenderRow(const ChannelRowSet& in, const ChannelRowSet& /*out*/,
                   size_t extra_left, size_t extra_right, size_t xsize, size_t /*xpos*/,
                   size_t /*ypos*/, size_t /*thread*/) const override {
    for (int64_t o = -static_cast<int64_t>(extra_left);
         o < static_cast<int64_t>(xsize + extra_right); ++o) {
      At(in[to_][0], o)[0] += 0.3f * At(in[from_][0], o)[0];
    }
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    if (c == to_) return RowChannelMode::kModifyRows;
    if (c == from_) return RowChannelMode::kReadOnly;
    return RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "TestMix"; }

 private:
  size_t to_, from_;
};

class CrossStage : public RenderPipelineStage {
 public:
  CrossStage(size_t a, size_t b) : RenderPipelineStage(StageGeometry{}), a_(a), b_(b) {}
  Status RenderRow(const ChannelRowSet& in, const ChannelRowSet& /*out*/,
                   size_t extra_left, size_t extra_right, size_t xsize, size_t /*xpos*/,
                   size_t /*ypos*/, size_t /*thread*/) const override {
    for (int64_t o = -static_cast<int64_t>(extra_left);
         o < static_cast<int64_t>(xsize + extra_right); ++o) {
      float* a = At(in[a_][0], o);
      float* b = At(in[b_][0], o);
      a[0] += 0.3f * b[0];
      b[0] += 0.2f * a[0];
    }
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c == a_ || c == b_ ? RowChannelMode::kModifyRows : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "TestCross"; }

 private:
  size_t a_, b_;
};

class CompositeStage : public RenderPipelineStage {
 public:
  CompositeStage(size_t channels, size_t w, size_t h, int32_t x0, int32_t y0)
      : RenderPipelineStage(StageGeometry{}), channels_(channels), w_(w), h_(h),
        x0_(x0), y0_(y0) {}
  Status RenderRow(const ChannelRowSet& in, const ChannelRowSet& /*out*/,
                   size_t extra_left, size_t extra_right, size_t xsize, size_t xpos,
                   size_t /*ypos*/, size_t /*thread*/) const override {
    if (extra_left != 0 || extra_right != 0) return FailedStatus();
    for (size_t c = 0; c < channels_; ++c) {
      for (size_t o = 0; o < xsize; ++o) {
        At(in[c][0], o)[0] += 0.001f * static_cast<float>((xpos + o) % 7) + 0.5f;
      }
    }
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c < channels_ ? RowChannelMode::kModifyRows : RowChannelMode::kNotUsed;
  }
  bool UsesImageCoordinates() const override { return true; }
  void ImageGeometry(size_t* w, size_t* h, std::pair<int32_t, int32_t>* origin) const override {
    *w = w_;
    *h = h_;
    *origin = {x0_, y0_};
  }
  Status RenderPaddingRow(const ChannelRowSet& out, size_t xsize, size_t xpos,
                          size_t ypos) const override {
    for (size_t c = 0; c < channels_; ++c) {
      for (size_t o = 0; o < xsize; ++o) {
        At(out[c][0], o)[0] = -1.0f - 0.01f * static_cast<float>((xpos + o) % 13) -
                              0.001f * static_cast<float>(ypos % 11);
      }
    }
    return OkStatus();
  }
  const char* StageName() const override { return "TestComposite"; }

 private:
  size_t channels_, w_, h_;
  int32_t x0_, y0_;
};

class CaptureStage : public RenderPipelineStage {
 public:
  CaptureStage(size_t channels, Capture* capture)
      : RenderPipelineStage(StageGeometry{}), channels_(channels), capture_(capture) {}
  Status RenderRow(const ChannelRowSet& in, const ChannelRowSet& /*out*/,
                   size_t extra_left, size_t extra_right, size_t xsize, size_t xpos,
                   size_t ypos, size_t /*thread*/) const override {
    if (extra_left != 0 || extra_right != 0 || xpos + xsize > capture_->xsize ||
        ypos >= capture_->ysize) {
      capture_->bad_write = true;
      return FailedStatus();
    }
    for (size_t c = 0; c < channels_; ++c) {
      for (size_t o = 0; o < xsize; ++o) {
        const size_t at = ypos * capture_->xsize + xpos + o;
        capture_->samples[c][at] = At(in[c][0], o)[0];
        ++capture_->writes[c][at];
      }
    }
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c < channels_ ? RowChannelMode::kReadOnly : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "TestCapture"; }

 private:
  size_t channels_;
  Capture* capture_;
};

class FailingStage : public RenderPipelineStage {
 public:
  explicit FailingStage(int fail_at) : RenderPipelineStage(StageGeometry{}), fail_at_(fail_at) {}
  Status RenderRow(const ChannelRowSet&, const ChannelRowSet&, size_t, size_t, size_t,
                   size_t, size_t, size_t) const override {
    return calls_.fetch_add(1) == fail_at_ ? FailedStatus() : OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c == 0 ? RowChannelMode::kModifyRows : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "TestFailing"; }

 private:
  int fail_at_;
  mutable std::atomic<int> calls_{0};
};

}  // namespace

std::unique_ptr<RenderPipelineStage> MakeFilterStage(uint32_t mask, uint64_t bx,
                                                     uint64_t by, uint64_t sx,
                                                     uint64_t sy) {
  return std::make_unique<FilterStage>(mask, bx, by, sx, sy);
}
std::unique_ptr<RenderPipelineStage> MakeShadeStage(uint32_t mask) {
  return std::make_unique<ShadeStage>(mask);
}
std::unique_ptr<RenderPipelineStage> MakeMixStage(size_t to, size_t from) {
  return std::make_unique<MixStage>(to, from);
}
std::unique_ptr<RenderPipelineStage> MakeCrossStage(size_t a, size_t b) {
  return std::make_unique<CrossStage>(a, b);
}
std::unique_ptr<RenderPipelineStage> MakeCompositeStage(size_t channels, size_t image_w,
                                                        size_t image_h, int32_t x0,
                                                        int32_t y0) {
  return std::make_unique<CompositeStage>(channels, image_w, image_h, x0, y0);
}
std::unique_ptr<RenderPipelineStage> MakeCaptureStage(size_t channels, Capture* capture) {
  return std::make_unique<CaptureStage>(channels, capture);
}
std::unique_ptr<RenderPipelineStage> MakeFailingStage(int fail_at) {
  return std::make_unique<FailingStage>(fail_at);
}

}  // namespace qov::lowmem_test
