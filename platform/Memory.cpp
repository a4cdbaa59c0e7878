#include "platform/Memory.h"

#include <malloc.h>

namespace veldra::platform {

void LimitHeapArenas() {
  mallopt(M_ARENA_MAX, 2);
}

void ReleaseFreeMemory() {
  malloc_trim(0);
}

}  // namespace veldra::platform
