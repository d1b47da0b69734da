// Frame driver: header and TOC, per-frame set-up, section assignment and
// ordering, DC finalisation, progressive pauses, masks and completion.
#include "lib/frame/frame_driver.h"

#include <algorithm>
#include <atomic>
#include <utility>

namespace qov {

namespace {

constexpr uint32_t kNoSection = UINT32_MAX;

bool IsKind(const FrameHeader& header, FrameKind kind) {
  return header.frame_type == static_cast<uint32_t>(kind);
}

bool IsModular(const FrameHeader& header) {
  return header.encoding == static_cast<uint32_t>(FrameCoding::kModular);
}

// Displayed frames advance the visible counter; the rest the other one.
bool IsDisplayedFrame(const FrameHeader& header) {
  if (header.is_preview) return false;
  if (header.animation_frame.duration == 0 && !header.is_last) return false;
  return IsKind(header, FrameKind::kRegular) ||
         IsKind(header, FrameKind::kSkipProgressive);
}

// The sections of one DecodeSections call, as indices into its inputs, and
// the shared state of its group loops.
struct SectionWork {
  FrameDriver* driver = nullptr;
  const SectionInput* sections = nullptr;
  SectionOutcome* outcomes = nullptr;
  uint64_t num_passes = 0;
  uint32_t dc_global = kNoSection;
  uint32_t ac_global = kNoSection;
  std::vector<uint32_t> dc_groups;   // by DC group
  std::vector<uint32_t> ac_passes;   // [group * num_passes + pass]
  std::vector<uint64_t> new_passes;  // by AC group
  std::atomic<uint32_t> failed{0};
};

int32_t ReturnZeroStub(void* /*opaque*/, uint64_t /*threads*/) { return 0; }

void RunDcGroupTask(void* opaque, uint32_t i, uint64_t /*thread*/) {
  SectionWork* work = static_cast<SectionWork*>(opaque);
  if (work->failed.load(std::memory_order_relaxed) != 0) return;
  const uint32_t index = work->dc_groups[i];
  if (index == kNoSection) return;
  const Status status =
      work->driver->DecodeDcGroupSection(i, *work->sections[index].reader);
  if (!status.ok()) {
    work->failed.exchange(1);
    return;
  }
  work->outcomes[index] = SectionOutcome::kDecoded;
}

int32_t PrepareAcGroupTasks(void* opaque, uint64_t threads) {
  SectionWork* work = static_cast<SectionWork*>(opaque);
  const Status status = work->driver->PrepareGroupStorage(
      threads, work->driver->frame_geometry.num_groups);
  if (!status.ok()) {
    work->failed.exchange(1);
    return -1;
  }
  return 0;
}

void RunAcGroupTask(void* opaque, uint32_t g, uint64_t thread) {
  SectionWork* work = static_cast<SectionWork*>(opaque);
  if (work->failed.load(std::memory_order_relaxed) != 0) return;
  const uint64_t count = work->new_passes[g];
  if (count == 0) return;
  FrameDriver* driver = work->driver;
  const uint64_t first = driver->decoded_passes[g];
  BitReader* readers[kMaxNumPasses] = {};
  uint32_t indices[kMaxNumPasses] = {};
  if (count > kMaxNumPasses || first + count > work->num_passes) {
    work->failed.exchange(1);
    return;
  }
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t index = work->ac_passes[g * work->num_passes + first + i];
    if (index == kNoSection) {
      work->failed.exchange(1);
      return;
    }
    indices[i] = index;
    readers[i] = work->sections[index].reader;
  }
  const uint64_t storage_index = driver->storage_per_group ? g : thread;
  const Status status =
      driver->DecodeAcGroupSection(g, readers, count, storage_index);
  if (!status.ok()) {
    work->failed.exchange(1);
    return;
  }
  for (uint64_t i = 0; i < count; ++i) {
    work->outcomes[indices[i]] = SectionOutcome::kDecoded;
  }
}

// Assigns the sections of one call to their slots in `work`. Writes
// kDuplicate for identifiers already claimed or decoded.
Status AssignSections(FrameDriver* driver, const SectionInput* sections,
                      uint64_t count, SectionOutcome* outcomes,
                      SectionWork* work) {
  const uint64_t num_dc = driver->frame_geometry.num_dc_groups;
  const uint64_t num_groups = driver->frame_geometry.num_groups;
  const uint64_t num_passes = work->num_passes;
  std::vector<uint8_t>& processed = driver->section_processed;

  if (driver->IsSingleSection()) {
    QOV_ENSURE(count == 1 && sections[0].id == 0);
    QOV_ENSURE(sections[0].reader != nullptr && !processed.empty());
    if (processed[0] != 0) {
      outcomes[0] = SectionOutcome::kDuplicate;
      return OkStatus();
    }
    processed[0] = 1;
    work->dc_global = 0;
    if (!work->dc_groups.empty()) work->dc_groups[0] = 0;
    work->ac_global = 0;
    work->ac_passes[0] = 0;
    work->new_passes[0] = 1;
    return OkStatus();
  }

  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t id = sections[i].id;
    QOV_ENSURE(id < processed.size() && sections[i].reader != nullptr);
    if (processed[id] != 0) {
      outcomes[i] = SectionOutcome::kDuplicate;
      continue;
    }
    const uint32_t index = static_cast<uint32_t>(i);
    if (id == DcGlobalSectionId()) {
      work->dc_global = index;
    } else if (id <= num_dc) {
      work->dc_groups[id - 1] = index;
    } else if (id == AcGlobalSectionId(num_dc)) {
      work->ac_global = index;
    } else {
      uint64_t pass = 0, group = 0;
      SplitAcGroupSectionId(id, num_dc, num_groups, &pass, &group);
      QOV_ENSURE(pass < num_passes);
      work->ac_passes[group * num_passes + pass] = index;
    }
    processed[id] = 1;
  }
  // New passes: the run of consecutive passes with a section in this call,
  // starting at the group's decoded-pass count.
  for (uint64_t g = 0; g < num_groups; ++g) {
    uint64_t n = 0;
    for (uint64_t p = driver->decoded_passes[g]; p < num_passes; ++p) {
      if (work->ac_passes[g * num_passes + p] == kNoSection) break;
      ++n;
    }
    work->new_passes[g] = n;
  }
  return OkStatus();
}

}  // namespace

int32_t FrameStorageMask(const FrameHeader& header) {
  if (IsKind(header, FrameKind::kDc)) {
    if (header.dc_level < 1 || header.dc_level > 4) return 0;
    return 16 << (header.dc_level - 1);
  }
  if (header.is_last) return 0;
  if (header.save_as_reference == 0 && header.animation_frame.duration != 0) {
    return 0;
  }
  return 1 << (header.save_as_reference & 3);
}

FrameDriver::FrameDriver(FrameDecodingState* state, TaskPool* pool,
                         const CodecMetadata* metadata)
    : frame_state(state),
      task_pool(pool),
      frame_header(metadata),
      modular_reader(state != nullptr ? state->memory_manager : nullptr) {}

FrameDriver::~FrameDriver() = default;

Status FrameDriver::BeginFrame(BitReader& reader, ImageBundle* decoded_bundle,
                               bool is_preview) {
  QOV_ENSURE(completed);
  QOV_ENSURE(frame_state != nullptr && decoded_bundle != nullptr);
  // Releases the raw tables of the previous frame.
  frame_state->dequant = DequantTableSet();

  // A fresh header for every frame and attempt: an all-default header does
  // not touch the name, and a read cut short may leave fields that a
  // complete read does not visit again.
  frame_header = FrameHeader(frame_header.metadata);
  frame_header.is_preview = is_preview;
  // Pauses are chosen per frame (SetProgressivePause).
  progressive_detail = 0;
  pause_points.clear();
  QOV_ENSURE(frame_header.metadata != nullptr);
  QOV_RETURN_IF_ERROR(DecodeFrameHeaderFields(reader, frame_header));
  frame_geometry = frame_header.ComputeGeometry();

  decoded = decoded_bundle;
  decoded->ClearPlanes();
  decoded->duration = frame_header.animation_frame.duration;

  const uint64_t entry_count =
      TocEntryCount(frame_geometry.num_groups, frame_geometry.num_dc_groups,
                    frame_header.passes.num_passes);
  std::vector<uint32_t> sizes;
  std::vector<uint32_t> permutation;
  QOV_RETURN_IF_ERROR(ReadSectionSizes(frame_state->memory_manager, entry_count,
                                       reader, sizes, permutation));
  if (reader.PastEnd()) return NeedMoreBytesStatus();
  QOV_ENSURE(sizes.size() == entry_count);
  for (uint32_t position : permutation) QOV_ENSURE(position < entry_count);
  BuildTocSections(sizes, permutation, &toc, &section_sizes_total);

  // The noise seed counts frames: advance once per frame, only now that the
  // header and TOC are both read, so that a retry after a short input does
  // not count the frame again.
  if (IsDisplayedFrame(frame_header)) {
    ++frame_state->visible_frame_index;
    frame_state->nonvisible_frame_index = 0;
  } else {
    ++frame_state->nonvisible_frame_index;
  }

  if (!IsModular(frame_header) &&
      !frame_header.chroma_subsampling.IsFullResolution() &&
      (frame_header.flags & FrameFlags::kSkipAdaptiveDcSmoothing) == 0) {
    return FailedStatus();
  }
  return OkStatus();
}

Status FrameDriver::PrepareFrameOutput() {
  QOV_ENSURE(decoded != nullptr && frame_state != nullptr);
  QOV_RETURN_IF_ERROR(PrepareSharedFrameState(frame_header, frame_state,
                                              /*for_encoder=*/false));
  QOV_RETURN_IF_ERROR(frame_state->ResetForFrame(frame_header));
  modular_reader.SetGeometry(frame_geometry);

  if (decoded->jpeg_data != nullptr) {
    jpeg::JPEGData& jpeg = *decoded->jpeg_data;
    QOV_ENSURE(!IsModular(frame_header));
    const size_t num_components = jpeg.component_list.size();
    QOV_ENSURE(num_components == 1 || num_components == 3);
    QOV_ENSURE(!frame_header.metadata->m.xyb_encoded);
    QOV_ENSURE(frame_geometry.xsize <= UINT32_MAX &&
               frame_geometry.ysize <= UINT32_MAX);
    jpeg.width = static_cast<uint32_t>(frame_geometry.xsize);
    jpeg.height = static_cast<uint32_t>(frame_geometry.ysize);
    static constexpr size_t kColorMap[3] = {1, 0, 2};
    const YCbCrChromaSubsampling& cs = frame_header.chroma_subsampling;
    for (size_t c = 0; c < 3; ++c) {
      jpeg::JpegComponentData& component =
          jpeg.component_list[num_components == 3 ? kColorMap[c] : 0];
      const uint32_t hshift = cs.HShift(c);
      const uint32_t vshift = cs.VShift(c);
      component.width_in_blocks =
          static_cast<uint32_t>(frame_geometry.xsize_blocks >> hshift);
      component.height_in_blocks =
          static_cast<uint32_t>(frame_geometry.ysize_blocks >> vshift);
      // The channel's own shifts (not relative to the largest one).
      component.h_sampling = 1u << (cs.max_hshift - hshift);
      component.v_sampling = 1u << (cs.max_vshift - vshift);
      component.coefficients.resize(
          static_cast<size_t>(component.width_in_blocks) *
          component.height_in_blocks * 64);
    }
  }

  dc_global_done = false;
  ac_global_done = false;
  completed = false;
  dc_finalised = false;
  sections_done = 0;
  decoded_dc_groups.assign(frame_geometry.num_dc_groups, 0);
  decoded_passes.assign(frame_geometry.num_groups, 0);
  section_processed.assign(toc.size(), 0);
  outputs_allocated = false;
  return OkStatus();
}

int32_t FrameDriver::SetProgressivePause(int32_t requested_detail) {
  int32_t detail = requested_detail;
  const bool has_extra_channels =
      frame_header.metadata != nullptr &&
      frame_header.metadata->m.num_extra_channels > 0;
  if (IsKind(frame_header, FrameKind::kSkipProgressive) || IsSingleSection() ||
      has_extra_channels || IsModular(frame_header)) {
    detail = 0;
  }
  progressive_detail = detail;
  const Passes& passes = frame_header.passes;
  if (detail >= 3) {
    for (uint32_t p = 1; p < passes.num_passes; ++p) {
      pause_points.push_back(static_cast<int32_t>(p));
    }
  } else if (detail == 2) {
    for (uint32_t i = 0; i < passes.num_downsample && i < kMaxNumPasses; ++i) {
      pause_points.push_back(static_cast<int32_t>(passes.last_pass[i] + 1));
    }
    std::sort(pause_points.begin(), pause_points.end());
  }
  return detail;
}

uint64_t FrameDriver::PausePassLimit() const {
  uint64_t min_passes = 0;
  if (!decoded_passes.empty()) {
    min_passes =
        *std::min_element(decoded_passes.begin(), decoded_passes.end());
  }
  const auto next = std::upper_bound(pause_points.begin(), pause_points.end(),
                                     static_cast<int64_t>(min_passes));
  if (next == pause_points.end()) return UINT64_MAX;
  return static_cast<uint64_t>(*next);
}

Status FrameDriver::PrepareGroupStorage(uint64_t threads, uint64_t tasks) {
  const uint64_t storage_count = std::min(threads, tasks);
  if (group_scratch.size() < storage_count) group_scratch.resize(storage_count);
  storage_per_group = tasks < threads;
  const bool use_group_ids = modular_reader.UsesFullImage() &&
                             (!IsModular(frame_header) ||
                              (frame_header.flags & FrameFlags::kNoise) != 0);
  if (frame_state->render_pipeline != nullptr) {
    QOV_RETURN_IF_ERROR(frame_state->render_pipeline->SetUpThreads(
        static_cast<size_t>(storage_count), use_group_ids));
  }
  if (frame_state->upsampler_8x != nullptr) {
    QOV_RETURN_IF_ERROR(frame_state->upsampler_8x->SetUpForThreads(
        static_cast<size_t>(threads)));
  }
  return OkStatus();
}

Status FrameDriver::CompleteDc() {
  if (outputs_allocated) return OkStatus();
  modular_reader.ReleaseUnusedImage();
  decoded->origin_x0 = frame_header.x0;
  decoded->origin_y0 = frame_header.y0;
  QOV_RETURN_IF_ERROR(
      ReserveCoefficientOrders(frame_state->used_varblock_kinds.load(),
                               frame_header.passes.num_passes,
                               &frame_state->coefficient_orders));
  outputs_allocated = true;
  return OkStatus();
}

Status FrameDriver::DecodeSections(const SectionInput* sections, uint64_t count,
                                   SectionOutcome* outcomes) {
  if (count == 0) return OkStatus();
  // Sections belong to a prepared frame that is not completed yet.
  QOV_ENSURE(!completed && sections != nullptr && outcomes != nullptr);
  QOV_ENSURE(count < kNoSection);
  for (uint64_t i = 0; i < count; ++i) outcomes[i] = SectionOutcome::kSkipped;

  const uint64_t num_dc = frame_geometry.num_dc_groups;
  const uint64_t num_groups = frame_geometry.num_groups;
  SectionWork work;
  work.driver = this;
  work.sections = sections;
  work.outcomes = outcomes;
  work.num_passes = frame_header.passes.num_passes;
  work.dc_groups.assign(num_dc, kNoSection);
  work.ac_passes.assign(num_groups * work.num_passes, kNoSection);
  work.new_passes.assign(num_groups, 0);
  QOV_RETURN_IF_ERROR(AssignSections(this, sections, count, outcomes, &work));

  auto book = [&]() {
    sections_done += count;
    for (uint64_t i = 0; i < count; ++i) {
      if (outcomes[i] == SectionOutcome::kDecoded) continue;
      --sections_done;
      // A duplicate's identifier stays claimed by the section that holds it.
      if (outcomes[i] != SectionOutcome::kDuplicate) {
        section_processed[sections[i].id] = 0;
      }
    }
  };

  // DC global.
  if (work.dc_global != kNoSection) {
    const Status status =
        DecodeDcGlobalSection(*sections[work.dc_global].reader);
    if (status.failed()) return status;
    outcomes[work.dc_global] = status.need_more_bytes()
                                   ? SectionOutcome::kPartial
                                   : SectionOutcome::kDecoded;
  }

  // DC groups.
  // The group loops run only when a group has a section in this call: a
  // runner's set-up (threads, per-thread scratch) is not free.
  const bool any_dc_group =
      std::any_of(work.dc_groups.begin(), work.dc_groups.end(),
                  [](uint32_t index) { return index != kNoSection; });
  if (dc_global_done && any_dc_group) {
    QOV_ENSURE(num_dc <= UINT32_MAX);
    QOV_RETURN_IF_ERROR(TaskPool::Run(task_pool, static_cast<uint32_t>(num_dc),
                                      ReturnZeroStub, RunDcGroupTask, &work,
                                      &work.failed));
  }

  // DC finalisation once every DC group is in.
  const bool all_dc_groups =
      std::all_of(decoded_dc_groups.begin(), decoded_dc_groups.end(),
                  [](uint8_t done) { return done != 0; });
  if (all_dc_groups && !dc_finalised) {
    RenderOptions options;
    options.prefer_simple = prefer_simple_pipeline ? 1 : 0;
    options.coalesce = coalescing ? 1 : 0;
    options.spot_colors = render_spot_colors ? 1 : 0;
    options.add_noise = 1;
    QOV_RETURN_IF_ERROR(frame_state->BuildRenderPipeline(
        frame_header, *frame_header.metadata, decoded, options));
    if (!IsModular(frame_header) &&
        (frame_header.flags & (FrameFlags::kSkipAdaptiveDcSmoothing |
                               FrameFlags::kUseDcFrame)) == 0) {
      QOV_RETURN_IF_ERROR(SmoothDcImage(frame_state->memory_manager,
                                        frame_state->quantizer.dc_multipliers,
                                        frame_state->dc, task_pool));
    }
    dc_finalised = true;
    QOV_RETURN_IF_ERROR(CompleteDc());
    if (progressive_detail >= 1) {
      book();
      return OkStatus();
    }
  }

  // AC global. The section was given whole: running out of its bytes is a
  // failure like any other, never a wait for more input.
  if (dc_finalised && work.ac_global != kNoSection && !ac_global_done) {
    if (!DecodeAcGlobalSection(*sections[work.ac_global].reader).ok()) {
      return FailedStatus();
    }
    outcomes[work.ac_global] = SectionOutcome::kDecoded;
  }

  // Progressive limit on the passes decoded in this call.
  if (progressive_detail >= 2) {
    const uint64_t limit = PausePassLimit();
    for (uint64_t g = 0; g < num_groups; ++g) {
      // Unsigned: a group already past the limit is not limited.
      work.new_passes[g] =
          std::min<uint64_t>(work.new_passes[g], limit - decoded_passes[g]);
    }
  }

  // AC groups.
  const bool any_ac_group =
      std::any_of(work.new_passes.begin(), work.new_passes.end(),
                  [](uint64_t n) { return n != 0; });
  if (ac_global_done && any_ac_group) {
    if (frame_state->render_pipeline != nullptr) {
      for (uint64_t g = 0; g < num_groups; ++g) {
        if (work.new_passes[g] != 0)
          frame_state->render_pipeline->ForgetGroup(g);
      }
    }
    QOV_ENSURE(num_groups <= UINT32_MAX);
    QOV_RETURN_IF_ERROR(TaskPool::Run(
        task_pool, static_cast<uint32_t>(num_groups), PrepareAcGroupTasks,
        RunAcGroupTask, &work, &work.failed));
  }

  book();
  return OkStatus();
}

int32_t FrameDriver::ReferencedSlotsMask() const {
  if (completed || !dc_global_done || !ac_global_done) return 0;
  for (uint8_t done : decoded_dc_groups) {
    if (done == 0) return 0;
  }
  for (uint8_t passes : decoded_passes) {
    if (passes < frame_header.passes.num_passes) return 0;
  }
  int32_t mask = 0;
  if (IsKind(frame_header, FrameKind::kRegular) ||
      IsKind(frame_header, FrameKind::kSkipProgressive)) {
    const bool cropped = frame_header.custom_size_or_origin;
    if (cropped || frame_header.blending_info.mode != 0) {
      mask |= 1 << (frame_header.blending_info.source & 3);
    }
    for (const BlendingInfo& info : frame_header.ec_blending_info) {
      if (cropped || info.mode != 0) mask |= 1 << (info.source & 3);
    }
  }
  if ((frame_header.flags & FrameFlags::kPatches) != 0) {
    mask |= static_cast<int32_t>(frame_state->patches.ReferencedSlots());
  }
  if ((frame_header.flags & FrameFlags::kUseDcFrame) != 0) {
    mask |= 16 << frame_header.dc_level;
  }
  return mask;
}

Status FrameDriver::CompleteFrame() {
  QOV_ENSURE(!completed);
  completed = true;
  if (decoded != nullptr && decoded->jpeg_data != nullptr) return OkStatus();
  QOV_RETURN_IF_ERROR(modular_reader.FlushToPipeline(frame_header, frame_state,
                                                     task_pool,
                                                     /*in_place=*/true));
  const bool can_be_referenced = !frame_header.is_last &&
                                 !IsKind(frame_header, FrameKind::kDc) &&
                                 (frame_header.save_as_reference != 0 ||
                                  frame_header.animation_frame.duration == 0);
  if (can_be_referenced) {
    ReferenceFrameSlot& slot =
        frame_state->reference_slots[frame_header.save_as_reference & 3];
    if (slot.frame == nullptr) {
      slot.frame = std::make_unique<ImageBundle>(frame_state->memory_manager);
    }
    *slot.frame = std::move(frame_state->reference_image);
    slot.saved_before_color_transform =
        frame_header.save_before_color_transform;
  }
  return OkStatus();
}

void DestroyFrameDriver(std::unique_ptr<FrameDriver>& owner) { owner.reset(); }

}  // namespace qov
