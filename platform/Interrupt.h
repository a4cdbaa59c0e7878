// Giving up a wait when the caller has gone. A higher layer (the drive) installs, per thread,
// a check that tells whether the request the thread serves was interrupted (the program that
// asked was killed or got a signal); every blocking wait of the program asks it between short
// slices and gives up when it says so.
#pragma once

namespace veldra::platform {

using TInterruptCheck = bool (*)();

// Installs the check of the calling thread (null removes it); returns the one it replaces.
TInterruptCheck SetInterruptCheck(TInterruptCheck check);
// True when the calling thread's check says its request was interrupted.
bool InterruptRequested();

// Longest single wait slice of an interruptible wait, ms.
constexpr int kInterruptSliceMs = 250;

}  // namespace veldra::platform
