// Process-wide lookup tables of the ANS normalisation, filled once by a
// static initialiser before main and only read afterwards.
#ifndef QOV_LIB_ENCODE_ANS_TABLES_H_
#define QOV_LIB_ENCODE_ANS_TABLES_H_

#include <cstddef>
#include <cstdint>

namespace qov {

inline constexpr int kAnsLogRange = 12;
inline constexpr uint32_t kAnsRange = 1u << kAnsLogRange;
inline constexpr int kAnsNumShifts = 12;

// One allowed count of a shift, in descending order of counts.
struct AllowedCountEntry {
  uint16_t count;
  uint16_t step_log2;  // log2(previous record's count - count); 0 first
  int32_t step_cost;   // saving per occurrence when rising to the previous
                       // record, in AnsLog2Table units; 0x7FFFFFFF for 0
};

// log2(i) / 12 * 2^31, rounded; entry 4096 is 2^31.
extern uint32_t AnsLog2Table[kAnsRange + 1];
extern AllowedCountEntry AnsAllowedCounts[kAnsNumShifts][kAnsRange];
extern uint16_t AnsAllowedCountIndex[kAnsNumShifts][kAnsRange];

// Fills the three tables from constants; registered as a static initialiser.
void FillAnsCountTables();
// Fills them from the formula (the constants' reference; slower).
void ComputeAnsCountTables();

// The largest count <= n that the storage format can state at `shift`.
uint32_t AllowedAnsCount(uint32_t n, uint32_t shift);
// Number of records in the list of `shift` (the zero record included).
size_t AllowedAnsCountListSize(uint32_t shift);

}  // namespace qov

#endif  // QOV_LIB_ENCODE_ANS_TABLES_H_
