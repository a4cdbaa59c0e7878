// Runs the real veldra executable as a user would and watches what it leaves behind.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace veldra::apptest {

// Path of the veldra executable under test.
extern const char* const kVeldra;

struct TRunResult {
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
  int status = -1;  // exit status 0-255; -1 when killed (time-out) or not started
};

// Runs argv (argv[0] found on PATH when it holds no "/") with /dev/null as standard input and
// waits at most timeoutSeconds (then kills it).
TRunResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds = 60);

// RunCommand of kVeldra args...
TRunResult RunVeldra(const std::vector<std::string>& args, int timeoutSeconds = 60);

// A veldra run left going (a /DEBUG mount): its output is collected while the test waits.
class TForegroundRun {
 public:
  explicit TForegroundRun(const std::vector<std::string>& args);
  ~TForegroundRun();  // kills the process if it still runs
  TForegroundRun(const TForegroundRun&) = delete;
  TForegroundRun& operator=(const TForegroundRun&) = delete;

  // Collects output until text appears in standard output or timeoutSeconds pass.
  bool WaitForOutput(const std::string& text, int timeoutSeconds);
  // Collects output until the process ends (true) or timeoutSeconds pass (false).
  bool WaitForExit(int timeoutSeconds);
  const TRunResult& Result() const { return result_; }
  pid_t Pid() const { return pid_; }  // -1 once it has ended

 private:
  void Pump(int waitMs);
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  TRunResult result_;
};

// Splits text into lines at "\n" (a last line without "\n" counts too).
std::vector<std::string> Lines(const std::string& text);

// Process ids of background copies serving letter (upper case) that this test started, found
// by their command line.
std::vector<pid_t> BackgroundCopies(char letter);

// The NUL-separated arguments of a process as /proc shows them ("" list when gone).
std::vector<std::string> ProcessArguments(pid_t pid);

// True when /mnt/<letter> is a mount point.
bool IsMounted(char letter);

// Waits at most timeoutSeconds until IsMounted(letter) == mounted.
bool WaitMounted(char letter, bool mounted, int timeoutSeconds);

// Waits at most timeoutSeconds until no background copy of letter runs.
bool WaitCopiesGone(char letter, int timeoutSeconds);

// True when the start semaphore exists while no visible veldra command is running (one that
// is launching may hold it legitimately). Looks for up to 5 s before it says so.
bool StartSemaphoreLeftBehind();

// Removes what a failed test left of its own: the mount its copy serves (through veldra
// /delete, then a lazy unmount), the copies it started (killed by pid after a bounded wait)
// and the semaphore.
void ForceCleanup(char letter);

// Serialises the tests that mount or launch: the start semaphore's name is shared by every
// mount that sees the same /dev/shm, so one mount's start report could end another's wait.
// The lock file lives there too (/dev/shm/veldra-mount-tests.lock).
class TMountTestLock {
 public:
  TMountTestLock();  // waits at most 240 s, then fails the test
  ~TMountTestLock();
  TMountTestLock(const TMountTestLock&) = delete;
  TMountTestLock& operator=(const TMountTestLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace veldra::apptest
