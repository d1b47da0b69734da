// The ANS lookup tables and the start-up initialiser that fills them. The
// logarithms come from constant tables (computing them took a noticeable
// share of a short program's run); ComputeAnsCountTables() derives them from
// the formula, and a test checks that both agree and rewrites the constants.
#include "lib/encode/ans_tables.h"

#include <cmath>
#include <cstring>

#include "lib/base/bits.h"

namespace qov {

uint32_t AnsLog2Table[kAnsRange + 1];
AllowedCountEntry AnsAllowedCounts[kAnsNumShifts][kAnsRange];
uint16_t AnsAllowedCountIndex[kAnsNumShifts][kAnsRange];

namespace {

// Rounded to nearest, halves away from zero.
int64_t RoundedLog2Units(double log2_value) {
  return std::llround(log2_value / 12.0 * 2147483648.0);
}

size_t list_sizes[kAnsNumShifts];

#include "lib/encode/ans_tables_data.inc"

}  // namespace

uint32_t AllowedAnsCount(uint32_t n, uint32_t shift) {
  if (n == 0) return 0;
  const int32_t log = static_cast<int32_t>(FloorLog2(n));
  int32_t keep = static_cast<int32_t>(shift) - ((12 - log) >> 1);
  if (keep < 0) keep = 0;
  if (keep > log) keep = log;
  const uint32_t drop = static_cast<uint32_t>(log - keep);
  return n >> drop << drop;
}

size_t AllowedAnsCountListSize(uint32_t shift) { return list_sizes[shift]; }

void FillAnsCountTables() {
  std::memcpy(AnsLog2Table, kAnsLog2Values, sizeof(AnsLog2Table));
  size_t k = 0;
  for (uint32_t s = 0; s < kAnsNumShifts; ++s) {
    // The allowed counts in descending order: each is the largest allowed
    // count below the previous one.
    size_t j = 0;
    uint32_t n = kAnsRange - 1;
    for (;;) {
      const uint32_t a = AllowedAnsCount(n, s);
      AllowedCountEntry& entry = AnsAllowedCounts[s][j];
      entry.count = static_cast<uint16_t>(a);
      entry.step_log2 = 0;
      if (j > 0 && a > 0) {
        entry.step_log2 =
            static_cast<uint16_t>(FloorLog2(AnsAllowedCounts[s][j - 1].count - a));
      }
      entry.step_cost = k < sizeof(kAnsStepCosts) / sizeof(kAnsStepCosts[0])
                            ? kAnsStepCosts[k]
                            : 0;
      ++k;
      AnsAllowedCountIndex[s][a] = static_cast<uint16_t>(j);
      ++j;
      if (a == 0) break;
      n = a - 1;
    }
    list_sizes[s] = j;
  }
}

void ComputeAnsCountTables() {
  AnsLog2Table[0] = 0;
  for (uint32_t i = 1; i <= kAnsRange; ++i) {
    AnsLog2Table[i] = static_cast<uint32_t>(RoundedLog2Units(std::log2(i)));
  }
  for (uint32_t s = 0; s < kAnsNumShifts; ++s) {
    size_t j = 0;
    int64_t previous = -1;
    for (int32_t n = kAnsRange - 1; n >= 0; --n) {
      const uint32_t a = AllowedAnsCount(static_cast<uint32_t>(n), s);
      if (static_cast<int64_t>(a) == previous) continue;
      previous = a;
      AllowedCountEntry& entry = AnsAllowedCounts[s][j];
      entry.count = static_cast<uint16_t>(a);
      entry.step_log2 = 0;
      entry.step_cost = 0;
      AnsAllowedCountIndex[s][a] = static_cast<uint16_t>(j);
      if (a == 0) {
        entry.step_cost = 0x7FFFFFFF;
      } else if (j > 0) {
        const uint32_t p = AnsAllowedCounts[s][j - 1].count;
        entry.step_log2 = static_cast<uint16_t>(FloorLog2(p - a));
        entry.step_cost = static_cast<int32_t>(RoundedLog2Units(
            std::log2(static_cast<double>(p) / static_cast<double>(a))));
      }
      ++j;
    }
    list_sizes[s] = j;
  }
}

namespace {
// Runs before main; linked whole into the program.
struct AnsTablesInitializer {
  AnsTablesInitializer() { FillAnsCountTables(); }
};
const AnsTablesInitializer ans_tables_initializer;
}  // namespace

}  // namespace qov
