// A frame's table of contents: the byte size of every section in stored
// order, an optional permutation to logical section identifiers, and the
// records through which complete sections reach the frame driver.
#ifndef QOV_LIB_FRAME_TOC_H_
#define QOV_LIB_FRAME_TOC_H_

#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "qov/qov.h"

namespace qov {

inline constexpr uint64_t kMaxTocEntries = 65536;

// One TOC entry, in stored order.
struct TocSection {
  uint64_t size = 0;  // bytes of the section stored at this position
  uint64_t id = 0;    // logical section identifier
};

// One complete section handed to the frame driver (caller-owned).
struct SectionInput {
  BitReader* reader = nullptr;  // over exactly the section's bytes
  uint64_t id = 0;
  uint64_t index = 0;  // position in the TocSection list
};

// What became of one SectionInput.
enum class SectionOutcome : int32_t {
  kDecoded = 0,    // finished; must not be given again
  kSkipped = 1,    // not used by this call; give it again later
  kDuplicate = 2,  // identifier already decoded or claimed in this call
  kPartial = 3,    // the DC-global content ran out of input
};

// Logical section identifiers. A frame with one AC group and one pass has a
// single section (id 0) holding everything; other frames have
// passes x ac_groups + dc_groups + 2 sections:
// 0 DC global, 1 + g DC group g, dc_groups + 1 AC global, then the AC groups
// pass by pass.
inline uint64_t TocEntryCount(uint64_t ac_groups, uint64_t dc_groups,
                              uint64_t passes) {
  if (ac_groups == 1 && passes == 1) return 1;
  return passes * ac_groups + dc_groups + 2;
}
inline uint64_t DcGlobalSectionId() { return 0; }
inline uint64_t DcGroupSectionId(uint64_t group) { return 1 + group; }
inline uint64_t AcGlobalSectionId(uint64_t dc_groups) { return dc_groups + 1; }
inline uint64_t AcGroupSectionId(uint64_t pass, uint64_t group,
                                 uint64_t dc_groups, uint64_t ac_groups) {
  return dc_groups + 2 + pass * ac_groups + group;
}
// Pass and group of an AC-group identifier (id >= dc_groups + 2).
inline void SplitAcGroupSectionId(uint64_t id, uint64_t dc_groups,
                                  uint64_t ac_groups, uint64_t* pass,
                                  uint64_t* group) {
  const uint64_t k = id - dc_groups - 2;
  *pass = k / ac_groups;
  *group = k % ac_groups;
}

// Reads the TOC of `entry_count` entries. On success `sizes` holds one size
// per entry in stored order, `permutation` is empty or one logical index
// per entry, and the reader stands at the first byte of the first section.
// Failed for more than 65536 or 0 entries, non-zero padding or a bad
// permutation; NeedMoreBytes when the input ends inside the TOC.
Status ReadSectionSizes(const QovMemoryManagerStruct* memory_manager,
                        uint64_t entry_count, BitReader& reader,
                        std::vector<uint32_t>& sizes,
                        std::vector<uint32_t>& permutation);

// Turns the lists of a successful ReadSectionSizes into the TOC entries and
// their size total: logical section i is stored at position permutation[i].
void BuildTocSections(const std::vector<uint32_t>& sizes,
                      const std::vector<uint32_t>& permutation,
                      std::vector<TocSection>* toc, uint64_t* sizes_total);

}  // namespace qov

#endif  // QOV_LIB_FRAME_TOC_H_
