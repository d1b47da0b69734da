// The process's peak resident set, for tests that bound what a decode
// holds in memory whichever allocator it uses: reset it, decode, read it.
#ifndef QOV_TESTS_SUPPORT_RESIDENT_MEMORY_H_
#define QOV_TESTS_SUPPORT_RESIDENT_MEMORY_H_

#include <cstdint>

namespace qov::test {

// Peak resident set in bytes since the last reset (or the start); 0 where
// the system does not tell.
uint64_t PeakResidentBytes();

// Starts a new peak from the present resident set.
void ResetPeakResident();

// What a sanitizer build adds to a peak beyond the blocks themselves: the
// quarantine of freed blocks (256 MiB by default), shadow memory and
// redzones; 0 in other builds.
uint64_t SanitizerResidentSlack();

}  // namespace qov::test

#endif  // QOV_TESTS_SUPPORT_RESIDENT_MEMORY_H_
