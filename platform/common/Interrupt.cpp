#include "platform/Interrupt.h"

namespace veldra::platform {

namespace {
thread_local TInterruptCheck g_check = nullptr;
}

void SetInterruptCheck(TInterruptCheck check) {
  g_check = check;
}

bool InterruptRequested() {
  return g_check != nullptr && g_check();
}

}  // namespace veldra::platform
