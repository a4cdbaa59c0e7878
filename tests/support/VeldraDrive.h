// Drives for end-to-end tests: the mount table, the lock around mount starts, the real veldra
// command (single runs, a drive mounted with it, its serving copies) and the clean-up of what a
// test mounted itself.
//
// A test touches only the mounts and processes it started: a mount point that is taken
// already fails the test instead of being cleared, and only serving copies that descend from
// the test process (see Process.h) are ever killed. Every wait is bounded. Each mount start has
// a start semaphore of its own, so mounts need no lock; every suite uses letters of its own.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/Process.h"

namespace veldra::test {

// The veldra executable under test, and a command line of it: {kVeldra, args...}.
extern const char* const kVeldra;
std::vector<std::string> VeldraCommand(const std::vector<std::string>& args);

// Whether path is a mount point, and its line of the mount table: the only reader of the
// mount table in the tests.
struct MountEntry;
bool FindMount(const std::string& path, MountEntry* entry = nullptr);
// The same for the directory of a drive letter (/mnt/<lower case letter>), and a bounded wait
// until it is (or is no longer) one; true when reached.
bool IsMounted(char letter);
bool WaitMounted(char letter, bool mounted, int timeoutSeconds);
// Removes the mount at path, whatever its state: lazy unmount, then the FUSE connection's
// abort switch, so a hung server cannot hold the test. ONLY for a mount this test made.
void ForceUnmount(const std::string& path);

// The serving copies of a drive letter (any case) that this test started.
std::vector<pid_t> BackgroundCopies(char letter);
bool WaitCopiesGone(char letter, int timeoutSeconds);
// Start semaphores ("veldra-start-<pid>-...", in /dev/shm) of launching processes that have
// gone (the pid is no process), or, with launcher > 0, of that one process alone.
std::vector<std::string> StartSemaphoresLeftBehind(pid_t launcher = 0);
// Removes what a failed test left of its own: the drive its copy serves ("veldra X: /delete",
// then a lazy unmount) and the copies (killed by pid after a bounded wait).
void ForceCleanup(char letter);

struct DriveOptions {
  char letter = 'z';  // drive letter; the mount point is /mnt/<lower case>
  std::string hostAndPath = "127.0.0.1";
  std::string user = "veldra";
  std::string password = "secret";
  int port = 21;
  bool passive = true;             // false adds /NOPASSIVE
  std::vector<std::string> extra;  // further arguments ("/DEBUG" is not supported here)
};

// A drive mounted by the real command; unmounted by the destructor.
class VeldraDrive {
 public:
  // Runs "veldra X: host pw /USER:u /PORT:p [/NOPASSIVE]" (at most 60 s) and waits until the
  // mount point is mounted. Raises std::runtime_error (after cleaning up what it started) when the
  // mount point is taken already, the command fails or no mount appears.
  VeldraDrive(const std::string& veldraPath, const DriveOptions& options);
  ~VeldraDrive();  // Unmount(), errors ignored
  VeldraDrive(const VeldraDrive&) = delete;
  VeldraDrive& operator=(const VeldraDrive&) = delete;

  const std::string& MountPoint() const { return mountPoint_; }
  std::string operator/(const std::string& relative) const { return mountPoint_ + "/" + relative; }

  // "veldra X: /delete", then waits until the drive and its copy are gone (after 30 s: a forced
  // unmount and killing the copy). Idempotent; returns the command's result (status -1 when
  // nothing was mounted).
  CommandResult Unmount();
  std::vector<pid_t> ServingProcesses() const { return BackgroundCopies(letter_); }

 private:
  std::string veldra_;
  char letter_;
  std::string mountPoint_;
  bool mounted_ = false;
  std::vector<pid_t> copies_;  // seen after the mount; reaped after the unmount
};

}  // namespace veldra::test
