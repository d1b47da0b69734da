// Compositing of rows channel by channel through a scratch image, so that
// outputs may alias inputs.
#include "lib/render/compositing.h"

#include <cstring>

#include "lib/base/memory.h"
#include "lib/base/work_counts.h"

namespace qov {

namespace {

inline float Clamp01(float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }
inline float Maybe(float v, bool clamp) { return clamp ? Clamp01(v) : v; }
inline float SafeReciprocal(float a) { return a <= 0.0f ? 0.0f : 1.0f / a; }

void AddRows(const float* a, const float* b, float* out, size_t count) {
  for (size_t x = 0; x < count; ++x) out[x] = a[x] + b[x];
}

void CopyRow(const float* in, float* out, size_t count) {
  if (in != out) std::memmove(out, in, count * sizeof(float));
}

}  // namespace

void AlphaBlendPlanes(const float* bg_r, const float* bg_g, const float* bg_b,
                      const float* bg_a, const float* fg_r, const float* fg_g,
                      const float* fg_b, const float* fg_a, float* out_r,
                      float* out_g, float* out_b, float* out_a, size_t count,
                      bool premultiplied, bool clamp) {
  for (size_t x = 0; x < count; ++x) {
    const float fa = Maybe(fg_a[x], clamp);
    const float ba = bg_a[x];
    const float keep = 1.0f - fa;
    const float alpha = 1.0f - (1.0f - ba) * keep;
    if (premultiplied) {
      out_r[x] = bg_r[x] * keep + fg_r[x];
      out_g[x] = bg_g[x] * keep + fg_g[x];
      out_b[x] = bg_b[x] * keep + fg_b[x];
    } else {
      const float inverse = SafeReciprocal(alpha);
      out_r[x] = (fg_r[x] * fa + (bg_r[x] * ba) * keep) * inverse;
      out_g[x] = (fg_g[x] * fa + (bg_g[x] * ba) * keep) * inverse;
      out_b[x] = (fg_b[x] * fa + (bg_b[x] * ba) * keep) * inverse;
    }
    out_a[x] = alpha;
  }
}

void AlphaBlendPlane(const float* bv, const float* ba, const float* fv,
                     const float* fa, float* out, size_t count,
                     bool premultiplied, bool clamp) {
  const bool is_alpha = bv == ba && fv == fa;
  for (size_t x = 0; x < count; ++x) {
    const float f = Maybe(fa[x], clamp);
    const float keep = 1.0f - f;
    if (is_alpha) {
      out[x] = 1.0f - (1.0f - ba[x]) * keep;
    } else if (premultiplied) {
      out[x] = bv[x] * keep + fv[x];
    } else {
      const float alpha = 1.0f - (1.0f - ba[x]) * keep;
      out[x] = (f * fv[x] + keep * (ba[x] * bv[x])) * SafeReciprocal(alpha);
    }
  }
}

void AlphaWeightedAddPlanes(const float* base, const float* added,
                            const float* alpha, float* out, size_t count,
                            bool clamp) {
  if (added == alpha) {
    CopyRow(base, out, count);
    return;
  }
  for (size_t x = 0; x < count; ++x) {
    out[x] = Maybe(alpha[x], clamp) * added[x] + base[x];
  }
}

void MultiplyPlanes(const float* first, const float* second, float* out,
                    size_t count, bool clamp) {
  for (size_t x = 0; x < count; ++x) out[x] = first[x] * Maybe(second[x], clamp);
}

Status CompositeRows(const QovMemoryManagerStruct* memory_manager,
                     const float* const* background,
                     const float* const* foreground, float* const* output,
                     size_t x0, size_t xsize, const PatchChannelBlend& color,
                     const PatchChannelBlend* extra_blends,
                     const std::vector<ExtraChannelInfo>& extra_info) {
  const size_t n = extra_info.size();
  bool has_alpha = false;
  for (const ExtraChannelInfo& info : extra_info) {
    if (info.type == static_cast<uint32_t>(ExtraChannelKind::kAlpha)) {
      has_alpha = true;
    }
  }
  if (xsize > UINT32_MAX || n + 3 > UINT32_MAX) return FailedStatus();
  // Alpha channels are named by index; check every one that will be read.
  auto alpha_ok = [n](const PatchChannelBlend& blend) {
    return blend.mode < kOverAbove || blend.alpha_channel < n;
  };
  for (size_t i = 0; i < n; ++i) {
    if (!alpha_ok(extra_blends[i])) return FailedStatus();
  }
  if (has_alpha && !alpha_ok(color)) return FailedStatus();
  if (xsize == 0) return OkStatus();
  CountWork(Work::kCompositedPixels, xsize);

  QOV_ASSIGN_OR_RETURN(
      AlignedBlock block,
      AlignedBlock::Create(memory_manager, (n + 3) * xsize * sizeof(float)));
  float* scratch = block.As<float>();
  auto out = [&](size_t c) { return scratch + c * xsize; };
  auto bg = [&](size_t c) { return background[c] + x0; };
  auto fg = [&](size_t c) { return foreground[c] + x0; };

  for (size_t i = 0; i < n; ++i) {
    const PatchChannelBlend& e = extra_blends[i];
    const size_t c = 3 + i;
    const size_t a = 3 + e.alpha_channel;
    const bool p = e.mode >= kOverAbove && extra_info[e.alpha_channel].alpha_associated;
    switch (e.mode) {
      case kKeep: CopyRow(bg(c), out(c), xsize); break;
      case kReplace: CopyRow(fg(c), out(c), xsize); break;
      case kAdd: AddRows(bg(c), fg(c), out(c), xsize); break;
      case kMultiply: MultiplyPlanes(bg(c), fg(c), out(c), xsize, e.clamp); break;
      case kOverAbove:
        AlphaBlendPlane(bg(c), bg(a), fg(c), fg(a), out(c), xsize, p, e.clamp);
        break;
      case kOverBelow:
        AlphaBlendPlane(fg(c), fg(a), bg(c), bg(a), out(c), xsize, p, e.clamp);
        break;
      case kWeightedAddAbove:
        AlphaWeightedAddPlanes(bg(c), fg(c), fg(a), out(c), xsize, e.clamp);
        break;
      case kWeightedAddBelow:
        AlphaWeightedAddPlanes(fg(c), bg(c), bg(a), out(c), xsize, e.clamp);
        break;
      default: return FailedStatus();
    }
  }

  const size_t a = 3 + color.alpha_channel;
  const bool p = has_alpha && color.mode >= kOverAbove &&
                 extra_info[color.alpha_channel].alpha_associated;
  switch (color.mode) {
    case kKeep:
      for (size_t c = 0; c < 3; ++c) CopyRow(bg(c), out(c), xsize);
      break;
    case kReplace:
      for (size_t c = 0; c < 3; ++c) CopyRow(fg(c), out(c), xsize);
      break;
    case kAdd:
      for (size_t c = 0; c < 3; ++c) AddRows(bg(c), fg(c), out(c), xsize);
      break;
    case kMultiply:
      for (size_t c = 0; c < 3; ++c) {
        MultiplyPlanes(bg(c), fg(c), out(c), xsize, color.clamp);
      }
      break;
    case kOverAbove:
    case kOverBelow:
      if (!has_alpha) {
        for (size_t c = 0; c < 3; ++c) CopyRow(fg(c), out(c), xsize);
      } else if (color.mode == kOverAbove) {
        AlphaBlendPlanes(bg(0), bg(1), bg(2), bg(a), fg(0), fg(1), fg(2), fg(a),
                         out(0), out(1), out(2), out(a), xsize, p, color.clamp);
      } else {
        AlphaBlendPlanes(fg(0), fg(1), fg(2), fg(a), bg(0), bg(1), bg(2), bg(a),
                         out(0), out(1), out(2), out(a), xsize, p, color.clamp);
      }
      break;
    case kWeightedAddAbove:
    case kWeightedAddBelow:
      for (size_t c = 0; c < 3; ++c) {
        if (!has_alpha) {
          AddRows(bg(c), fg(c), out(c), xsize);
        } else if (color.mode == kWeightedAddAbove) {
          AlphaWeightedAddPlanes(bg(c), fg(c), fg(a), out(c), xsize, color.clamp);
        } else {
          AlphaWeightedAddPlanes(fg(c), bg(c), bg(a), out(c), xsize, color.clamp);
        }
      }
      break;
    default: return FailedStatus();
  }

  for (size_t c = 0; c < n + 3; ++c) {
    std::memcpy(output[c] + x0, out(c), xsize * sizeof(float));
  }
  return OkStatus();
}

}  // namespace qov
