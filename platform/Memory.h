// How the process's heap gives memory back. A serving process lists directories of hundreds of
// thousands of names on many threads; without these, each thread's heap keeps the peak of the
// listings it ever made and the process grows with every relisting.
#pragma once

namespace veldra::platform {

// Keeps the number of separate heaps small (one per thread multiplies the retained peak), and
// request-sized buffers (up to a few MiB) in them. Call once, early, before threads start.
void LimitHeapArenas();
// Hands free heap memory back to the system (after a large listing is done with).
void ReleaseFreeMemory();

}  // namespace veldra::platform
