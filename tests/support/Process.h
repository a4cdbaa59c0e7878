// The one process runner of the tests: servers, the veldra command, shell steps and helper
// programs are all started and watched through it.
//
// Every program starts in a process group of its own and is killed when the thread that
// started it ends (PR_SET_PDEATHSIG), so a crashed test leaves no daemon behind. The test
// process makes itself the subreaper of what it starts: a program's own background children
// (the veldra command's serving copy, a server's sessions) stay its descendants. "Started by
// this test" means "descends from this process", and nothing else is ever killed.
//
// Threading: a Process is used from one thread at a time; the free functions are thread-safe.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace veldra::test {

struct CommandResult {
  int status = -1;  // exit status 0-255; 128+signal; -1 when not started or killed at the time-out
  std::string output;  // standard output, and standard error too unless the run kept it apart
  std::string err;     // standard error, when kept apart
  bool timedOut = false;
  // Everything printed, for messages.
  std::string Text() const { return output + err; }
};

class Process {
 public:
  // Starts argv (argv[0] a path, or found on PATH) with `input` (small: it is written at once)
  // on its standard input. The outputs are collected into Result() (standard error apart when
  // `separateErrors`), or both go to `logFile` when one is named. A program that cannot be
  // started ends at once with status -1.
  explicit Process(const std::vector<std::string>& argv, const std::string& input = "",
                   const std::string& logFile = "", bool separateErrors = false);
  ~Process();  // Kill()
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t Pid() const { return pid_; }  // -1 once it has ended and was reaped
  // Collects output until the process has ended (true; Result().status set) or timeoutSeconds
  // passed (false; 0 only looks).
  bool WaitForExit(int timeoutSeconds);
  // Kills the process and every descendant (its group too), and reaps what were our children.
  // Idempotent.
  void Kill();
  const CommandResult& Result() const { return result_; }

 private:
  void Pump(int waitMs);
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  CommandResult result_;
};

// Runs argv to its end, at most timeoutSeconds (then kills it: status -1, timedOut).
CommandResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds = 60,
                         const std::string& input = "", bool separateErrors = false);
// RunCommand's status; the outputs go to outputFile when one is named.
int RunProgram(const std::vector<std::string>& argv, const std::string& input = "",
               const std::string& outputFile = "", int timeoutSeconds = 60);
// Runs `script` with /bin/sh -c.
inline CommandResult RunShell(const std::string& script, int timeoutSeconds = 60) {
  return RunCommand({"/bin/sh", "-c", script}, timeoutSeconds);
}
// Quotes text for /bin/sh.
std::string ShellQuote(const std::string& text);

// The arguments of a process as /proc shows them (empty once it has ended).
std::vector<std::string> ProcessArguments(pid_t pid);
// The processes started by this test (its descendants) whose arguments satisfy `match`.
std::vector<pid_t> OwnProcesses(const std::function<bool(const std::vector<std::string>&)>& match);
// Polls `done` every 20 ms until it holds (true) or timeoutMs passed (false).
bool WaitUntil(const std::function<bool()>& done, int timeoutMs);

}  // namespace veldra::test
