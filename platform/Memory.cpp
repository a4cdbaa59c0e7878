#include "platform/Memory.h"

#include <malloc.h>

namespace veldra::platform {

void LimitHeapArenas() {
  mallopt(M_ARENA_MAX, 2);
  // Buffers of a read or write request (up to 1 MiB, one per request) come from the heaps and
  // stay there between requests: mapped afresh each time, every request paid for page faults.
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
}

void ReleaseFreeMemory() {
  malloc_trim(0);
}

}  // namespace veldra::platform
