#include "platform/Interrupt.h"

namespace veldra::platform {

namespace {
thread_local TInterruptCheck g_check = nullptr;
}

TInterruptCheck SetInterruptCheck(TInterruptCheck check) {
  const TInterruptCheck previous = g_check;
  g_check = check;
  return previous;
}

bool InterruptRequested() {
  return g_check != nullptr && g_check();
}

}  // namespace veldra::platform
