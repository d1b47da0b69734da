// Reading the table of contents of a frame.
#include "lib/frame/toc.h"

#include "lib/bitstream/permutation.h"

namespace qov {
namespace {

constexpr U32Coding kSectionSizeCoding(Bits(10), BitsOffset(14, 1024),
                                       BitsOffset(22, 17408),
                                       BitsOffset(30, 4211712));

// Every entry takes at least 12 bits (2-bit selector, 10 bits).
bool EnoughForEntries(const BitReader& reader, uint64_t entry_count) {
  return reader.RemainingBits() >= 12 * entry_count;
}

}  // namespace

Status ReadSectionSizes(const QovMemoryManagerStruct* memory_manager,
                        uint64_t entry_count, BitReader& reader,
                        std::vector<uint32_t>& sizes,
                        std::vector<uint32_t>& permutation) {
  if (entry_count > kMaxTocEntries) return FailedStatus();
  sizes.assign(entry_count, 0);
  permutation.clear();
  if (reader.Position() >= reader.InputBits()) return NeedMoreBytesStatus();
  if (entry_count == 0) return FailedStatus();

  const bool permuted = reader.Read(1) == 1;
  if (permuted) {
    if (!EnoughForEntries(reader, entry_count)) return NeedMoreBytesStatus();
    permutation.resize(entry_count);
    const Status status = ReadPermutationWithCodes(
        memory_manager, 0, entry_count, permutation.data(), reader);
    if (!status.ok()) {
      permutation.clear();
      // A failure seen only because the input ended (zero bits past the
      // end) is a request for more input, not a verdict on the frame.
      reader.MarkBounds();
      return reader.PastEnd() ? NeedMoreBytesStatus() : status;
    }
  }
  QOV_RETURN_IF_ERROR(reader.AlignToByte());
  if (!EnoughForEntries(reader, entry_count)) return NeedMoreBytesStatus();
  for (uint64_t i = 0; i < entry_count; ++i) {
    sizes[i] = ReadCodedU32(kSectionSizeCoding, &reader);
  }
  QOV_RETURN_IF_ERROR(reader.AlignToByte());
  return reader.CheckBounds();
}

void BuildTocSections(const std::vector<uint32_t>& sizes,
                      const std::vector<uint32_t>& permutation,
                      std::vector<TocSection>* toc, uint64_t* sizes_total) {
  toc->assign(sizes.size(), TocSection{});
  *sizes_total = 0;
  for (size_t k = 0; k < sizes.size(); ++k) {
    (*toc)[k].size = sizes[k];
    (*toc)[k].id = k;
    *sizes_total += sizes[k];
  }
  if (!permutation.empty()) {
    for (size_t i = 0; i < permutation.size(); ++i) {
      (*toc)[permutation[i]].id = i;
    }
  }
}

}  // namespace qov

