// Helpers for tests that mount a drive: reading the mount table, bounded waits, and a cleanup
// that always leaves no mount behind (unmount, then abort the FUSE connection if it hangs).
#pragma once

#include <string>
#include <vector>

namespace veldra::test {

// One line of /proc/self/mountinfo for a mount point.
struct MountEntry {
  std::string source;  // unescaped
  std::string type;    // e.g. "fuse.VELDRA"
  std::string device;  // "major:minor"
};

// The entry mounted at path, if any.
bool FindMount(const std::string& path, MountEntry* entry = nullptr);

// Polls the mount table every 20 ms until path is (or is no longer) a mount point, at most
// seconds. True when the state was reached.
bool WaitMountState(const std::string& path, bool mounted, double seconds);

// Removes the mount at path, whatever its state: lazy unmount, then the FUSE connection's abort
// switch so that a hung server cannot hold the test. Only for a mount this test made itself.
// Never throws.
void ForceUnmount(const std::string& path);

// Runs a shell command line (sh -c) with a time limit; returns its exit status and puts its
// standard output (and error, when mergeErrors) into *output.
int Shell(const std::string& command, std::string* output = nullptr, int timeoutSeconds = 120,
          bool mergeErrors = true);

}  // namespace veldra::test
