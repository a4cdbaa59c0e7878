// The program's own process, and the background copy it starts.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Semaphore.h"

namespace veldra::platform {

// True when the process runs with administrator rights (effective user id 0 on Linux).
bool IsElevated();

// The operating system's id of this process.
uint32_t CurrentProcessId();

// Makes writes to a closed pipe or socket fail with an error instead of ending the process.
// For a process whose standard output may outlive its reader.
void IgnoreBrokenPipe();

// Moves the working directory to the root, so that a long-running process does not keep the
// directory it was started from (perhaps on a file system to be unmounted) busy.
void LeaveStartDirectory();

// Overwrites an argument in this process's argument memory (what other local users can read
// in /proc/PID/cmdline) with '*' characters of the same length, so that the argument count and
// layout stay the same. argument must be one of main's argv strings; nullptr is ignored.
void WipeArgument(char* argument);

// Linux only (the FUSE layer names threads): the process (thread group) of thread threadId, from
// /proc/<id>/status; threadId itself when that cannot be read; 0 for 0 or less. Each calling
// thread remembers its last answer for one second (a thread id is not handed to another task
// that fast). Thread-safe; never throws.
uint32_t ProcessOfThread(int threadId);

// A started background process whose standard output and standard error are this object's
// channel. The channel can be looked into without consuming it (Peek), so what the process
// printed stays readable. Not thread-safe; one owner.
class TChildProcess {
  struct TKey {  // private: only Start can construct
    explicit TKey() = default;
  };

 public:
  // Starts argv[0] (searched in PATH when it holds no "/") with arguments argv, in a new session
  // (it keeps running when the caller's terminal goes away). It inherits standard input; its
  // standard output and error are one end of a local stream socket pair of about bufferSize
  // bytes of buffer; no other descriptor is inherited. Raises EOSError when the channel or
  // the process cannot be created (an executable that cannot be run is reported the same way).
  static std::unique_ptr<TChildProcess> Start(const std::vector<std::string>& argv, int bufferSize);

#ifdef _WIN32
  // Windows: the process handle and the read end of its output pipe, both owned.
  TChildProcess(TKey, pid_t pid, void* process, void* channel)
      : pid_(pid), process_(process), channel_(channel) {}
#else
  TChildProcess(TKey, pid_t pid, int channel) : pid_(pid), channel_(channel) {}
#endif
  // Closes the channel. Neither stops nor waits for the process: it is meant to outlive us.
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  pid_t Id() const {
    return pid_;
  }

  // Non-blocking. True when the process has ended (it is then reaped); *exitCode receives the
  // program's exit code: statuses 128-255 read as the negative codes -128..-1 that the program
  // returns (status 255 is -1); a process ended by a signal gives -1. Later calls repeat the
  // answer.
  bool HasEnded(int* exitCode);

  // Copies up to maxBytes of what waits in the channel without consuming it. Returns false
  // when the channel cannot be asked (text is then empty).
  bool Peek(size_t maxBytes, std::string* text);

 private:
  pid_t pid_;
#ifdef _WIN32
  void* process_;
  void* channel_;
#else
  int channel_;
#endif
  bool ended_ = false;
  int exitCode_ = 0;
};

enum class TWaitResult { Signalled, Ended, TimedOut };

// Waits up to timeoutMs for whichever comes first: a count of semaphore (taken) or the end of
// process. Checks both every few milliseconds. Raises EOSError when the semaphore fails.
TWaitResult WaitForProcessOrSemaphore(TChildProcess& process, TNamedSemaphore& semaphore,
                                      int timeoutMs);

// Pauses the calling thread for ms milliseconds.
void SleepMs(int ms);

}  // namespace veldra::platform
