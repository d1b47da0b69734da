// Status has no out-of-line code; this unit keeps the base folder non-empty
// until the memory and image modules land.
#include "lib/base/status.h"
