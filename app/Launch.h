// Starting the background copy of a mount and waiting for its start report.
//
// The visible process and its background copy share two things only: the named start
// semaphore, which the copy releases once it is logged in and about to serve the drive, and
// the copy's standard output/error channel, which the visible process looks into (without
// consuming) once the wait is over.
#pragma once

#include <string>

// The start semaphore's name, the same for every mount.
extern const char* const StartSemaphoreName;

constexpr int kStartTimeoutMs = 30000;        // longest wait for the start report
constexpr int kSettlePauseMs = 2000;          // pause after the report, for early mount failures
constexpr size_t kOutputSnapshotMax = 65535;  // most bytes of the copy's output passed on

// Starts the program of commandLine (its first token, the program's path; see
// BuildInternalCommandLine) as a background copy in a session of its own, then waits up to
// timeoutMs for the start semaphore or the copy's end; after the semaphore it pauses
// kSettlePauseMs more. Sets *output to what the copy has printed so far (at most
// kOutputSnapshotMax bytes; empty when nothing or when the channel cannot be read).
// Returns 0 when the copy still runs, else the copy's exit code (-1 when unreadable).
// When the operating system refuses the channel, the semaphore or the process: *output is
// "System Error.  Code: <n>." and a line with the system's text, and the result is n.
// Any other failure: *output is its message and the result is 1. Never throws.
// The semaphore's name is removed again before returning, so a late report cannot end the
// wait of a later mount.
int LaunchBackground(const std::string& commandLine, std::string* output, int timeoutMs);
