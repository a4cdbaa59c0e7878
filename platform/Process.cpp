#include "platform/Process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/SystemMessages.h"

extern char** environ;

namespace veldra::platform {

bool IsElevated() {
  return ::geteuid() == 0;
}

uint32_t CurrentProcessId() {
  return static_cast<uint32_t>(::getpid());
}

void IgnoreBrokenPipe() {
  ::signal(SIGPIPE, SIG_IGN);
}

void LeaveStartDirectory() {
  if (::chdir("/") != 0) {
    // Staying where we are only keeps a directory busy; nothing to report.
  }
}

void WipeArgument(char* argument) {
  if (argument == nullptr) return;
  // volatile: the compiler must not drop stores to memory it thinks nobody reads again.
  for (volatile char* p = argument; *p != '\0'; ++p) *p = '*';
}

namespace {

// The value after "key:" in /proc/<id>/status, blanks trimmed; "" when there is none.
std::string StatusField(int id, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(id) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, key.size() + 1, key + ":") != 0) continue;
    const size_t start = line.find_first_not_of(" \t", key.size() + 1);
    return start == std::string::npos ? std::string() : line.substr(start);
  }
  return std::string();
}

// One thread's last answer about one id, trusted for a second.
template <typename T>
struct TMemo {
  int id = 0;
  T value{};
  std::chrono::steady_clock::time_point at;
  template <typename Read>
  const T& Get(int wanted, Read read) {
    const auto now = std::chrono::steady_clock::now();
    if (id != wanted || now - at > std::chrono::seconds(1)) {
      id = wanted;
      value = read();
      at = now;
    }
    return value;
  }
};

}  // namespace

uint32_t ProcessOfThread(int threadId) {
  if (threadId <= 0) return 0;
  thread_local TMemo<uint32_t> memo;
  return memo.Get(threadId, [threadId] {
    const unsigned long group = std::strtoul(StatusField(threadId, "Tgid").c_str(), nullptr, 10);
    return group > 0 ? static_cast<uint32_t>(group) : static_cast<uint32_t>(threadId);
  });
}

namespace {

// Owns a descriptor until released.
class TFd {
 public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// posix_spawn's file actions and attributes, destroyed on every path.
struct TSpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  TSpawnSetup() {
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
  }
  ~TSpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
  }
  TSpawnSetup(const TSpawnSetup&) = delete;
  TSpawnSetup& operator=(const TSpawnSetup&) = delete;
};

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return static_cast<signed char>(WEXITSTATUS(status));
  return -1;
}

}  // namespace

std::unique_ptr<TChildProcess> TChildProcess::Start(const std::vector<std::string>& argv,
                                                    int bufferSize) {
  if (argv.empty()) throw EOSError("posix_spawn", EINVAL);
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
    throw EOSError("socketpair", errno);
  TFd ours(ends[0]);
  TFd theirs(ends[1]);
  // A suggestion only: the kernel caps it at its own maximum.
  ::setsockopt(theirs.Get(), SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
  ::setsockopt(ours.Get(), SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  ::shutdown(ours.Get(), SHUT_WR);  // the channel runs one way

  TSpawnSetup setup;
  int rc = ::posix_spawn_file_actions_adddup2(&setup.actions, theirs.Get(), STDOUT_FILENO);
  if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&setup.actions, theirs.Get(), STDERR_FILENO);
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
  if (rc == 0) rc = ::posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSID);
  if (rc != 0) throw EOSError("posix_spawn", rc);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  // posix_spawnp reports a program that cannot be executed (missing, not executable) as its
  // result, so no half-started child is left behind.
  rc = ::posix_spawnp(&pid, args[0], &setup.actions, &setup.attributes, args.data(), environ);
  if (rc != 0) throw EOSError("posix_spawn", rc);
  return std::make_unique<TChildProcess>(TKey{}, pid, ours.Release());
}

TChildProcess::~TChildProcess() {
  ::close(channel_);
}

bool TChildProcess::HasEnded(int* exitCode) {
  if (!ended_) {
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(pid_, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
      ended_ = true;
      exitCode_ = ExitCodeOf(status);
    } else if (r < 0) {
      ended_ = true;  // not our child any more: nothing left to wait for
      exitCode_ = -1;
    }
  }
  if (ended_ && exitCode) *exitCode = exitCode_;
  return ended_;
}

bool TChildProcess::Peek(size_t maxBytes, std::string* text) {
  text->clear();
  int waiting = 0;
  if (::ioctl(channel_, FIONREAD, &waiting) != 0) return false;
  const size_t size = std::min(static_cast<size_t>(waiting), maxBytes);
  if (size == 0) return true;
  text->resize(size);
  const ssize_t n = ::recv(channel_, &(*text)[0], size, MSG_PEEK | MSG_DONTWAIT);
  if (n < 0) {
    text->clear();
    return false;
  }
  text->resize(static_cast<size_t>(n));
  return true;
}

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace veldra::platform
