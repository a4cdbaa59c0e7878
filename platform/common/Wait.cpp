// The wait for "the start signal or the end of the background copy", built from the two
// primitives every platform offers (a timed semaphore wait and a non-blocking look at the
// process), so both builds share one loop.
#include <algorithm>
#include <chrono>

#include "platform/Process.h"
#include "platform/Semaphore.h"

namespace veldra::platform {

TWaitResult WaitForProcessOrSemaphore(TChildProcess& process, TNamedSemaphore* semaphore,
                                      int timeoutMs) {
  constexpr int kSliceMs = 25;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // Both are looked at before giving up, so a signal given just before the end still counts.
    if (semaphore != nullptr && semaphore->Wait(0)) return TWaitResult::Signalled;
    if (process.HasEnded(nullptr)) return TWaitResult::Ended;
    if (StopRequested()) return TWaitResult::Interrupted;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return TWaitResult::TimedOut;
    const int slice = static_cast<int>(std::min<long long>(left, kSliceMs));
    if (semaphore == nullptr)
      SleepMs(slice);
    else if (semaphore->Wait(slice))
      return TWaitResult::Signalled;
  }
}

}  // namespace veldra::platform
