// Mock stages, their whole-image reference computations and the feeding,
// threading and allocation helpers of the render tests.
#include "tests/render/render_test_kit_helpers.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "lib/base/bits.h"

namespace qov::test {

namespace {

constexpr size_t kLead = kRowLeadSamples;
constexpr float kPoison = 1e30f;

bool Uses(const MockStageDef& def, size_t c) {
  return std::find(def.channels.begin(), def.channels.end(), c) !=
         def.channels.end();
}

// The span of a RenderRow call relative to xpos: [begin, end).
struct Span {
  int64_t begin, end;
};
Span SpanOf(size_t extra_left, size_t extra_right, size_t xsize) {
  return {-static_cast<int64_t>(extra_left),
          static_cast<int64_t>(xsize + extra_right)};
}

// The per-sample formulas, shared by the stages and the reference so that
// both give the same bits.
float BoxValue(const float* const* rows, int64_t x, int64_t border) {
  float sum = 0.0f;
  for (int64_t dy = 0; dy <= 2 * border; ++dy) {
    for (int64_t dx = -border; dx <= border; ++dx) sum += rows[dy][x + dx];
  }
  const float count = static_cast<float>((2 * border + 1) * (2 * border + 1));
  return sum / count;
}

// rows: the 5 rows around the current one; x: the input position.
float UpsampleValue(const float* const* rows, int64_t x, uint64_t shift,
                    uint64_t j, uint64_t k) {
  const float scale = static_cast<float>(uint64_t{1} << shift);
  const float fx = (static_cast<float>(j) + 0.5f) / scale - 0.5f;
  const float fy = (static_cast<float>(k) + 0.5f) / scale - 0.5f;
  const float c = rows[2][x];
  const float horizontal = rows[2][x + 1] - rows[2][x - 1];
  const float vertical = rows[3][x] - rows[1][x];
  const float far = rows[2][x + 2] - rows[2][x - 2] + rows[4][x] - rows[0][x];
  return c + horizontal * fx + vertical * fy + far * 0.01f;
}

float CoordinateValue(uint64_t x, uint64_t y) {
  return static_cast<float>(x) + 4096.0f * static_cast<float>(y);
}

class MockStage : public RenderPipelineStage {
 public:
  explicit MockStage(const MockStageDef& def)
      : RenderPipelineStage(GeometryOf(def)), def_(def) {}

  static StageGeometry GeometryOf(const MockStageDef& def) {
    StageGeometry g;
    if (def.kind == MockKind::kBox) g.border_x = g.border_y = def.param;
    if (def.kind == MockKind::kUpsample) {
      g.border_x = g.border_y = 2;
      g.shift_x = g.shift_y = def.param;
    }
    return g;
  }

  RowChannelMode ChannelModeOf(size_t c) const override {
    if (def_.kind == MockKind::kImage) return RowChannelMode::kModifyRows;
    if (!Uses(def_, c)) return RowChannelMode::kNotUsed;
    if (def_.kind == MockKind::kBox || def_.kind == MockKind::kUpsample) {
      return RowChannelMode::kSeparateOutput;
    }
    return RowChannelMode::kModifyRows;
  }

  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t /*thread_id*/) const override {
    const Span span = SpanOf(extra_left, extra_right, xsize);
    for (size_t c = 0; c < input_rows.size(); ++c) {
      if (ChannelModeOf(c) == RowChannelMode::kNotUsed) continue;
      const std::vector<float*>& in = input_rows[c];
      switch (def_.kind) {
        case MockKind::kBox: {
          const int64_t b = static_cast<int64_t>(def_.param);
          // Pipelines may hand out more rows than the stage needs.
          if (in.size() < static_cast<size_t>(2 * b + 1) ||
              output_rows[c].size() < 1) {
            return FailedStatus();
          }
          const float* rows[65];
          for (size_t k = 0; k < in.size(); ++k) rows[k] = in[k] + kLead;
          float* out = output_rows[c][0] + kLead;
          for (int64_t x = span.begin; x < span.end; ++x) {
            out[x] = BoxValue(rows, x, b);
          }
          break;
        }
        case MockKind::kUpsample: {
          const uint64_t s = def_.param;
          const int64_t n = int64_t{1} << s;
          if (in.size() < 5 || output_rows[c].size() < static_cast<size_t>(n)) {
            return FailedStatus();
          }
          const float* rows[5];
          for (size_t k = 0; k < 5; ++k) rows[k] = in[k] + kLead;
          for (int64_t k = 0; k < n; ++k) {
            float* out = output_rows[c][k] + kLead;
            for (int64_t x = span.begin; x < span.end; ++x) {
              for (int64_t j = 0; j < n; ++j) {
                out[x * n + j] = UpsampleValue(rows, x, s, j, k);
              }
            }
            if (def_.poison) {
              for (int64_t t = 0; t < 7 * n; ++t) out[span.end * n + t] = kPoison;
            }
          }
          break;
        }
        case MockKind::kAddConstant:
        case MockKind::kOverreach: {
          float* row = in[0] + kLead;
          for (int64_t x = span.begin; x < span.end; ++x) row[x] += def_.value;
          if (def_.kind == MockKind::kOverreach) {
            for (int64_t t = 0; t < 8; ++t) row[span.end + t] = kPoison;
            const int64_t rounded = (static_cast<int64_t>(extra_left) + 7) / 8 * 8;
            for (int64_t x = -rounded; x < span.begin; ++x) row[x] = kPoison;
          }
          break;
        }
        case MockKind::kCoordinates: {
          float* row = in[0] + kLead;
          for (int64_t x = span.begin; x < span.end; ++x) {
            row[x] = CoordinateValue(static_cast<uint64_t>(
                                         static_cast<int64_t>(xpos) + x),
                                     ypos);
          }
          break;
        }
        case MockKind::kImage:
          break;
      }
    }
    return OkStatus();
  }

  bool UsesImageCoordinates() const override {
    return def_.kind == MockKind::kImage;
  }
  void ImageGeometry(size_t* image_xsize, size_t* image_ysize,
                     std::pair<int32_t, int32_t>* origin) const override {
    if (def_.kind != MockKind::kImage) return;
    *image_xsize = def_.image_xsize;
    *image_ysize = def_.image_ysize;
    *origin = {def_.x0, def_.y0};
  }
  Status RenderPaddingRow(const ChannelRowSet& output_rows, size_t xsize,
                          size_t /*xpos*/, size_t /*ypos*/) const override {
    for (const auto& rows : output_rows) {
      if (rows.empty()) continue;
      std::fill(rows[0] + kLead, rows[0] + kLead + xsize, def_.value);
    }
    return OkStatus();
  }

  const char* StageName() const override { return "Mock"; }

 private:
  MockStageDef def_;
};

// One reference step on whole channels.
void ApplyReference(const MockStageDef& def, std::vector<TestPlane>* planes) {
  for (size_t c = 0; c < planes->size(); ++c) {
    if (def.kind == MockKind::kImage || !Uses(def, c)) continue;
    TestPlane& p = (*planes)[c];
    const int64_t w = static_cast<int64_t>(p.xsize);
    const int64_t h = static_cast<int64_t>(p.ysize);
    switch (def.kind) {
      case MockKind::kBox:
      case MockKind::kUpsample: {
        const int64_t b = def.kind == MockKind::kBox
                              ? static_cast<int64_t>(def.param) : 2;
        const uint64_t s = def.kind == MockKind::kUpsample ? def.param : 0;
        const int64_t n = int64_t{1} << s;
        TestPlane out(p.xsize << s, p.ysize << s);
        // A mirrored copy of the needed rows with b columns of border.
        std::vector<std::vector<float>> window(2 * b + 1,
                                               std::vector<float>(w + 2 * b));
        for (int64_t y = 0; y < h; ++y) {
          const float* rows[65];
          for (int64_t k = 0; k <= 2 * b; ++k) {
            for (int64_t x = -b; x < w + b; ++x) {
              window[k][x + b] = p.Mirrored(x, y + k - b);
            }
            rows[k] = window[k].data() + b;
          }
          for (int64_t x = 0; x < w; ++x) {
            if (def.kind == MockKind::kBox) {
              out.at(x, y) = BoxValue(rows, x, b);
              continue;
            }
            for (int64_t k = 0; k < n; ++k) {
              for (int64_t j = 0; j < n; ++j) {
                out.at(x * n + j, y * n + k) = UpsampleValue(rows, x, s, j, k);
              }
            }
          }
        }
        p = std::move(out);
        break;
      }
      case MockKind::kAddConstant:
      case MockKind::kOverreach:
        for (float& v : p.samples) v += def.value;
        break;
      case MockKind::kCoordinates:
        for (uint64_t y = 0; y < p.ysize; ++y) {
          for (uint64_t x = 0; x < p.xsize; ++x) p.at(x, y) = CoordinateValue(x, y);
        }
        break;
      case MockKind::kImage:
        break;
    }
  }
}

TestPlane Trimmed(const TestPlane& p, uint64_t w, uint64_t h) {
  TestPlane out(w, h);
  for (uint64_t y = 0; y < h; ++y) {
    for (uint64_t x = 0; x < w; ++x) out.at(x, y) = p.at(x, y);
  }
  return out;
}

// Sum of the shifts of the upsampling stages from `first` on (the chain is
// followed by a final stage that writes nothing separately).
std::pair<uint64_t, uint64_t> RemainingShift(const std::vector<MockStageDef>& defs,
                                             size_t first, size_t c) {
  uint64_t s = 0;
  for (size_t i = first; i < defs.size(); ++i) {
    if (defs[i].kind == MockKind::kUpsample && Uses(defs[i], c)) {
      s += defs[i].param;
    }
  }
  return {s, s};
}

}  // namespace

FrameGeometry MakeTestGeometry(uint64_t xsize_upsampled,
                               uint64_t ysize_upsampled, uint64_t upsampling,
                               uint32_t group_size_shift, bool vardct) {
  FrameGeometry g;
  g.xsize_upsampled = xsize_upsampled;
  g.ysize_upsampled = ysize_upsampled;
  g.xsize = (xsize_upsampled + upsampling - 1) / upsampling;
  g.ysize = (ysize_upsampled + upsampling - 1) / upsampling;
  g.xsize_blocks = (g.xsize + 7) / 8;
  g.ysize_blocks = (g.ysize + 7) / 8;
  g.xsize_padded = vardct ? g.xsize_blocks * 8 : g.xsize;
  g.ysize_padded = vardct ? g.ysize_blocks * 8 : g.ysize;
  g.xsize_upsampled_padded = upsampling * g.xsize_padded;
  g.ysize_upsampled_padded = upsampling * g.ysize_padded;
  g.group_dim = uint64_t{128} << group_size_shift;
  g.dc_group_dim = g.group_dim * 8;
  g.xsize_groups = (g.xsize + g.group_dim - 1) / g.group_dim;
  g.ysize_groups = (g.ysize + g.group_dim - 1) / g.group_dim;
  g.xsize_dc_groups = (g.xsize_blocks + g.group_dim - 1) / g.group_dim;
  g.ysize_dc_groups = (g.ysize_blocks + g.group_dim - 1) / g.group_dim;
  g.num_groups = g.xsize_groups * g.ysize_groups;
  g.num_dc_groups = g.xsize_dc_groups * g.ysize_dc_groups;
  return g;
}

std::unique_ptr<RenderPipelineStage> MakeMockStage(const MockStageDef& def) {
  return std::make_unique<MockStage>(def);
}

std::vector<std::pair<uint64_t, uint64_t>> InputSizes(
    const std::vector<MockStageDef>& defs, size_t num_channels,
    uint64_t xsize_upsampled, uint64_t ysize_upsampled) {
  std::vector<std::pair<uint64_t, uint64_t>> sizes(num_channels);
  for (size_t c = 0; c < num_channels; ++c) {
    const auto [sx, sy] = RemainingShift(defs, 0, c);
    sizes[c] = {DivCeilShift(xsize_upsampled, sx), DivCeilShift(ysize_upsampled, sy)};
  }
  return sizes;
}

std::vector<TestPlane> MakeInputs(
    const std::vector<std::pair<uint64_t, uint64_t>>& sizes, uint32_t seed) {
  std::vector<TestPlane> planes;
  uint32_t state = seed * 2654435761u + 1;
  for (const auto& [w, h] : sizes) {
    TestPlane p(w, h);
    for (float& v : p.samples) {
      state = state * 1664525u + 1013904223u;
      v = static_cast<float>(state >> 20) / 64.0f;  // exact, 0 .. 65535.98
    }
    planes.push_back(std::move(p));
  }
  return planes;
}

std::vector<TestPlane> RenderReference(const std::vector<MockStageDef>& defs,
                                       size_t num_channels,
                                       std::vector<TestPlane> planes,
                                       uint64_t xsize_upsampled,
                                       uint64_t ysize_upsampled) {
  uint64_t wu = xsize_upsampled, hu = ysize_upsampled;
  for (size_t i = 0; i < defs.size(); ++i) {
    const MockStageDef& def = defs[i];
    ApplyReference(def, &planes);
    for (size_t c = 0; c < num_channels; ++c) {
      const auto [sx, sy] = RemainingShift(defs, i + 1, c);
      planes[c] = Trimmed(planes[c], DivCeilShift(wu, sx), DivCeilShift(hu, sy));
    }
    if (def.kind != MockKind::kImage) continue;
    uint64_t fw = 0, fh = 0;
    for (const TestPlane& p : planes) {
      fw = std::max(fw, p.xsize);
      fh = std::max(fh, p.ysize);
    }
    for (TestPlane& p : planes) {
      TestPlane image(def.image_xsize, def.image_ysize, def.value);
      for (uint64_t y = 0; y < fh; ++y) {
        const int64_t iy = def.y0 + static_cast<int64_t>(y);
        if (iy < 0 || iy >= static_cast<int64_t>(def.image_ysize)) continue;
        for (uint64_t x = 0; x < fw; ++x) {
          const int64_t ix = def.x0 + static_cast<int64_t>(x);
          if (ix < 0 || ix >= static_cast<int64_t>(def.image_xsize)) continue;
          image.at(ix, iy) = p.at(x, y);
        }
      }
      p = std::move(image);
    }
    wu = def.image_xsize;
    hu = def.image_ysize;
  }
  return planes;
}

Status CaptureStage::RenderRow(const ChannelRowSet& input_rows,
                               const ChannelRowSet& /*output_rows*/,
                               size_t /*extra_left*/, size_t /*extra_right*/,
                               size_t xsize, size_t xpos, size_t ypos,
                               size_t /*thread_id*/) const {
  for (size_t c = 0; c < planes.size() && c < input_rows.size(); ++c) {
    TestPlane& p = planes[c];
    if (ypos >= p.ysize || input_rows[c].empty()) continue;
    const float* row = input_rows[c][0] + kLead;
    for (size_t i = 0; i < xsize && xpos + i < p.xsize; ++i) {
      p.at(xpos + i, ypos) = row[i];
      ++writes[c][ypos * p.xsize + xpos + i];
    }
  }
  return OkStatus();
}

Status CaptureStage::AcceptInputSizes(const ChannelSizes& input_sizes) {
  ++accept_calls;
  for (size_t c = 0; c < planes.size() && c < input_sizes.size(); ++c) {
    planes[c] = TestPlane(input_sizes[c].first, input_sizes[c].second);
    writes[c].assign(input_sizes[c].first * input_sizes[c].second, 0);
  }
  return OkStatus();
}

bool CaptureStage::AllWrittenOnce() const {
  for (const auto& w : writes) {
    for (uint8_t n : w) {
      if (n != 1) return false;
    }
  }
  return true;
}

ProbeStage::~ProbeStage() {
  if (log_ != nullptr) log_->push_back(std::string("~").append(name_));
}

Status ProbeStage::RenderRow(const ChannelRowSet& /*input_rows*/,
                             const ChannelRowSet& /*output_rows*/,
                             size_t /*extra_left*/, size_t /*extra_right*/,
                             size_t /*xsize*/, size_t /*xpos*/, size_t ypos,
                             size_t /*thread_id*/) const {
  rows.fetch_add(1);
  if (fail_row >= 0 && ypos == static_cast<uint64_t>(fail_row)) {
    return FailedStatus();
  }
  return OkStatus();
}

Status ProbeStage::SetUpForThreads(size_t num_threads) {
  if (log_ != nullptr) {
    std::string entry = name_;
    entry.append(".SetUp(").append(std::to_string(num_threads)).append(")");
    log_->push_back(entry);
  }
  return fail_set_up ? FailedStatus() : OkStatus();
}

Status ProbeStage::AcceptInputSizes(const ChannelSizes& input_sizes) {
  if (log_ != nullptr) log_->push_back(std::string(name_).append(".Accept"));
  accepted.push_back(input_sizes);
  return fail_accept ? FailedStatus() : OkStatus();
}

std::pair<uint64_t, uint64_t> GroupOrigin(const FrameGeometry& geometry,
                                          uint64_t g, uint64_t shift_x,
                                          uint64_t shift_y) {
  const uint64_t upsampling =
      geometry.xsize_upsampled_padded / geometry.xsize_padded;
  uint64_t up_shift = 0;
  while ((uint64_t{1} << up_shift) < upsampling) ++up_shift;
  const uint64_t group = geometry.group_dim << up_shift;
  return {(g % geometry.xsize_groups) * (group >> shift_x),
          (g / geometry.xsize_groups) * (group >> shift_y)};
}

GroupRenderInput WriteGroup(RenderPipeline* pipeline,
                            const std::vector<TestPlane>& inputs,
                            uint64_t group_id, uint64_t thread_id) {
  GroupRenderInput input = pipeline->OpenGroupInput(group_id, thread_id);
  for (size_t c = 0; c < input.buffers.size() && c < inputs.size(); ++c) {
    const GroupBuffer& b = input.buffers[c];
    const auto [sx, sy] = pipeline->channel_shifts[0][c];
    const auto [ox, oy] = GroupOrigin(pipeline->frame_geometry, group_id, sx, sy);
    for (uint64_t y = 0; y < b.rect.ysize; ++y) {
      float* row = b.Row(y);
      for (uint64_t x = 0; x < b.rect.xsize; ++x) {
        row[x] = inputs[c].at(ox + x, oy + y);
      }
    }
  }
  return input;
}

Status FeedGroups(RenderPipeline* pipeline,
                  const std::vector<TestPlane>& inputs,
                  const std::vector<uint64_t>& order, uint64_t thread_id) {
  std::vector<uint64_t> groups = order;
  if (groups.empty()) {
    for (uint64_t g = 0; g < pipeline->frame_geometry.num_groups; ++g) {
      groups.push_back(g);
    }
  }
  for (uint64_t g : groups) {
    GroupRenderInput input = WriteGroup(pipeline, inputs, g, thread_id);
    QOV_RETURN_IF_ERROR(input.Submit());
  }
  return OkStatus();
}

int32_t ThreadedRunner::Run(void* runner_opaque, void* loop_opaque,
                            TaskInitFn init, TaskItemFn item, uint32_t begin,
                            uint32_t end) {
  const ThreadedRunner* self = static_cast<const ThreadedRunner*>(runner_opaque);
  if (init != nullptr && init(loop_opaque, self->threads_) != 0) return -1;
  std::atomic<uint32_t> next{begin};
  std::vector<std::thread> workers;
  for (size_t t = 0; t < self->threads_; ++t) {
    workers.emplace_back([&, t] {
      for (uint32_t i = next.fetch_add(1); i < end; i = next.fetch_add(1)) {
        item(loop_opaque, i, t);
      }
    });
  }
  for (std::thread& w : workers) w.join();
  return 0;
}

void* FailingManager::Alloc(void* opaque, uint64_t size) {
  auto* self = static_cast<FailingManager*>(opaque);
  const int64_t n = self->attempts.fetch_add(1) + 1;
  if (n == self->fail_at) {
    self->refused.store(true);
    return nullptr;
  }
  void* p = std::malloc(size);
  if (p != nullptr) self->live.fetch_add(1);
  return p;
}

void FailingManager::Free(void* opaque, void* address) {
  auto* self = static_cast<FailingManager*>(opaque);
  if (address != nullptr) self->live.fetch_sub(1);
  std::free(address);
}

}  // namespace qov::test
