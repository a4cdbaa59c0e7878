// A drive mounted by the real `veldra` command, for end-to-end tests, plus small helpers to
// run shell commands against it with a bounded time.
//
// Mounting holds the mount lock (the file /dev/shm/veldra-mount-tests.lock, beside the named
// start semaphore it protects, and shared with the command's own tests) while the mount command
// runs, because every mount start shares that one semaphore. Unmounting is always bounded:
// "veldra X: /delete", then a lazy unmount of this drive and killing the serving copy this test
// started, by its pid, if the drive is still there. A mount point that is taken already is
// never cleared: the constructor fails. Failures raise DriveError with the command's output.
#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace veldra::test {

class DriveError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CommandResult {
  int status = -1;     // exit status; 128+signal; -1 when not started or killed at time-out
  std::string output;  // standard output and standard error together
  bool timedOut = false;
};

// Runs argv (output captured) and waits at most timeoutSeconds, then kills it.
CommandResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds = 60);
// Runs `script` with /bin/sh -c.
CommandResult RunShell(const std::string& script, int timeoutSeconds = 60);
// Quotes text for /bin/sh.
std::string ShellQuote(const std::string& text);

// True when path is a mount point (read from /proc/self/mountinfo).
bool IsMountPoint(const std::string& path);

struct DriveOptions {
  char letter = 'z';  // drive letter; the mount point is /mnt/<lower case>
  std::string hostAndPath = "127.0.0.1";
  std::string user = "veldra";
  std::string password = "secret";
  int port = 21;
  bool passive = true;             // false adds /NOPASSIVE
  std::vector<std::string> extra;  // further arguments, e.g. "/DEBUG" is not supported here
  int mountTimeoutSeconds = 60;
};

class VeldraDrive {
 public:
  // Runs "veldra X: host pw /USER:u /PORT:p [/NOPASSIVE]" and waits until the mount point is
  // mounted. Raises DriveError (after cleaning up) when the command fails or no mount appears.
  VeldraDrive(const std::string& veldraPath, const DriveOptions& options);
  ~VeldraDrive();  // Unmount(), errors ignored
  VeldraDrive(const VeldraDrive&) = delete;
  VeldraDrive& operator=(const VeldraDrive&) = delete;

  const std::string& MountPoint() const { return mountPoint_; }
  std::string operator/(const std::string& relative) const { return mountPoint_ + "/" + relative; }
  const std::string& MountOutput() const { return mountOutput_; }
  // "X:" as typed to the command.
  std::string Device() const { return std::string(1, letter_) + ":"; }

  // Unmounts (idempotent). Returns the /delete command's result (status -1 when nothing was
  // mounted); the drive is gone afterwards whatever happened.
  CommandResult Unmount();
  // The serving background copies of this drive letter (by their command line) that this
  // process started (its descendants; it is their subreaper).
  std::vector<pid_t> ServingProcesses() const;

 private:
  void ForceGone();
  std::string veldra_;
  char letter_;
  std::string mountPoint_;
  std::string mountOutput_;
  bool mounted_ = false;
  std::vector<pid_t> copies_;  // the copies seen after the mount, reaped after the unmount
};

}  // namespace veldra::test
