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

// Hides argument index of main's argc/argv from other local users, who can read this process's
// argument memory (/proc/PID/cmdline, ps) but must learn neither the text nor its length. Linux
// keeps the size of that memory, so the arguments are rewritten in place as one line with "*"
// for the hidden one ("veldra F: host * /USER:x"), which /proc then shows in place of the
// NUL-separated list; anything that was longer is overwritten. Arguments that do not lie one
// after the other (not main's) only get their hidden one overwritten with '*'. Windows: the
// process command line is rewritten the same way and its recorded length shortened. argv's
// strings are garbage afterwards: copy what is needed first. Out-of-range index: nothing.
void HideArgument(int argc, char** argv, int index);

// Reads one line of standard input: a password. On a terminal prompt is first written to
// standard error and echo is off while the line is typed (a line end is written after it).
// The line end (LF or CR LF) is not returned; the end of the input ends the line too; at most
// kSecretMax bytes are kept, the rest of the line is read and dropped. A stop signal (see
// TStopSignals) while it waits ends the process after the terminal is restored. Raises
// EOSError when standard input cannot be read.
constexpr size_t kSecretMax = 4096;
std::string ReadSecretLine(const std::string& prompt);

// Users as text: the decimal user id on Linux, the string form of a user SID on Windows
// ("S-1-5-21-..."). "" is no user.
//
// The user a mount is made for: Linux: the real user id of this process, or SUDO_UID when the
// real user id is 0 and SUDO_UID holds a decimal number (root running "sudo veldra ..." mounts
// for the user who typed it; a user who is not root cannot pass for another through SUDO_UID).
// Windows: the user of the process token (an elevated administrator keeps the user SID of his
// own account). Raises EOSError when it cannot be told.
std::string MountingUser();

// The user of process processId ("" when it has ended or cannot be asked). Linux: the
// file-system user id of /proc/<id>/status, the id the kernel checks file access with. Each
// calling thread remembers its last answer for one second, because one caller sends many
// requests in a row and a process id is not reused that fast. Thread-safe; never throws.
std::string ProcessUser(uint32_t processId);

// Linux only (the FUSE layer names threads): the process (thread group) of thread threadId, from
// /proc/<id>/status; threadId itself when that cannot be read; 0 for 0 or less. Each calling
// thread remembers its last answer for one second (a thread id is not handed to another task
// that fast). Thread-safe; never throws.
uint32_t ProcessOfThread(int threadId);

// True for the system's own all-powerful user: "0" (root) on Linux, LocalSystem "S-1-5-18"
// on Windows.
bool IsSystemUser(const std::string& user);

// While one lives, SIGINT, SIGTERM and SIGHUP (those not ignored) no longer end the process at
// once: they are recorded (StopRequested() turns true) and make blocking calls return early.
// The destructor restores the previous handling and, when a signal came, raises it again: the
// process then ends as the signal asks, after the destructors of everything made after this
// object have run (a named semaphore removed, a terminal's echo restored). One at a time.
// Windows: does nothing (named objects go with their last handle).
class TStopSignals {
 public:
  TStopSignals();
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;
};

// True once a TStopSignals has recorded a signal.
bool StopRequested();

// A started background process whose standard output and standard error are this object's
// channel. The channel can be looked into without consuming it (Peek), so what the process
// printed stays readable. Not thread-safe; one owner.
class TChildProcess {
  struct TKey {  // private: only Start can construct
    explicit TKey() = default;
  };

 public:
  // Starts argv[0] (searched in PATH when it holds no "/") with arguments argv, in a new session
  // (it keeps running when the caller's terminal goes away). Its standard input is a pipe that
  // holds input and then ends, so it never sees the caller's terminal and input (a secret)
  // never stands in its arguments; input must fit the pipe (kSecretMax + 1 bytes always do).
  // Its standard output and error are one end of a local stream socket pair of about
  // bufferSize bytes of buffer; no other descriptor is inherited. Raises EOSError when the
  // pipe, the channel or the process cannot be created (an executable that cannot be run is
  // reported the same way).
  static std::unique_ptr<TChildProcess> Start(const std::vector<std::string>& argv, int bufferSize,
                                              const std::string& input = std::string());

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

  // Asks the process to end (SIGTERM; Windows: terminates it). Nothing when it has ended.
  void Stop();

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

enum class TWaitResult { Signalled, Ended, TimedOut, Interrupted };

// Waits up to timeoutMs for whichever comes first: a count of semaphore (taken), the end of
// process, or a stop signal (StopRequested()). A null semaphore waits for the end only. Checks
// every few milliseconds. Raises EOSError when the semaphore fails.
TWaitResult WaitForProcessOrSemaphore(TChildProcess& process, TNamedSemaphore* semaphore,
                                      int timeoutMs);

// Pauses the calling thread for ms milliseconds.
void SleepMs(int ms);

}  // namespace veldra::platform
