// Starting the background copy of a mount and waiting for its start report.
//
// The visible process and its background copy share three things only: the copy's standard
// input, a pipe that holds the password (so it never stands in any process's arguments); a
// named start semaphore of this launch alone, which the copy releases once it is logged in and
// about to serve the drive; and the copy's standard output/error channel, which the visible
// process looks into (without consuming) once the wait is over.
#pragma once

#include <string>
#include <vector>

constexpr int kStartTimeoutMs = 30000;        // longest wait for the start report
constexpr int kSettlePauseMs = 2000;          // wait after the report, for early mount failures
constexpr size_t kOutputSnapshotMax = 65535;  // most bytes of the copy's output passed on

// A start semaphore name no other launch uses: "veldra-start-<process id>-<count>-<clock>".
std::string NewStartSemaphoreName();

struct TLaunchResult {
  // The copy released the start semaphore and had not failed by the end of the settle pause.
  bool Started = false;
  // 0 when started; else the copy's exit code, never 0 (-1 for a copy that ended with 0
  // without a report, was stopped after the time-out, or could not be read).
  int ExitCode = 0;
  // What the copy printed (at most kOutputSnapshotMax bytes), or the launch's own message.
  std::string Output;
};

// Creates semaphoreName (a name that exists already is an error: a stale one may hold a count),
// starts argv (argv[0] the program) as a background copy in a session of its own with input on
// its standard input, and waits up to timeoutMs for the semaphore or the copy's end; after the
// semaphore it waits up to kSettlePauseMs more for the copy's end. A copy that neither reported
// nor ended within timeoutMs is stopped: Output "The mount did not start within <n> s.".
// SIGINT, SIGTERM and SIGHUP meanwhile stop the copy (when it has not reported), remove the
// name and then end this process as the signal asks. When the operating system refuses the
// pipe, the channel, the semaphore or the process: Output is "System Error.  Code: <n>." and a
// line with the system's text, ExitCode n. Any other failure: its message, ExitCode 1. The
// name is removed again before returning. Never throws.
TLaunchResult LaunchBackground(const std::vector<std::string>& argv, const std::string& input,
                               const std::string& semaphoreName, int timeoutMs);
