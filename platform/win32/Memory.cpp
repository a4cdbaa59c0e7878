#include "platform/Memory.h"

namespace veldra::platform {

// The Windows heap returns freed blocks by itself; nothing to tune.
void LimitHeapArenas() {}
void ReleaseFreeMemory() {}

}  // namespace veldra::platform
