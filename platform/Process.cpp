#include "platform/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
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

void HideArgument(int argc, char** argv, int index) {
  if (argv == nullptr || index <= 0 || index >= argc || argv[index] == nullptr) return;
  bool contiguous = true;
  for (int i = 0; i + 1 < argc; ++i)
    contiguous = contiguous && argv[i + 1] == argv[i] + std::strlen(argv[i]) + 1;
  std::string line;
  for (int i = 0; i < argc; ++i)
    line += std::string(i > 0 ? " " : "") + (i == index ? "*" : argv[i]);
  char* const begin = argv[0];
  const size_t area = static_cast<size_t>(argv[argc - 1] + std::strlen(argv[argc - 1]) + 1 - begin);
  // volatile: the compiler must not drop stores to memory it thinks nobody reads again.
  if (!contiguous || line.size() >= area) {
    for (volatile char* p = argv[index]; *p != '\0'; ++p) *p = '*';
    return;
  }
  volatile char* out = begin;
  size_t i = 0;
  for (; i < line.size(); ++i) out[i] = line[i];
  out[i++] = '\0';
  // A last byte that is no NUL makes the kernel show the area up to its first NUL only, so the
  // blanks after it (and with them the hidden length) stay out of /proc/PID/cmdline.
  for (; i < area; ++i) out[i] = ' ';
}

namespace {

volatile sig_atomic_t g_stopSignal = 0;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[3];
bool g_caught[3];

extern "C" void RecordStop(int signalNumber) {
  g_stopSignal = signalNumber;
}

// Echo off on a terminal while it lives.
class TEchoOff {
 public:
  explicit TEchoOff(int fd) : fd_(fd) {
    on_ = ::tcgetattr(fd_, &saved_) == 0;
    if (!on_) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    on_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~TEchoOff() {
    if (on_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  TEchoOff(const TEchoOff&) = delete;
  TEchoOff& operator=(const TEchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool on_ = false;
};

void WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0 && errno != EINTR) return;
    if (n > 0) done += static_cast<size_t>(n);
  }
}

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

TStopSignals::TStopSignals() {
  g_stopSignal = 0;
  for (size_t i = 0; i < std::size(kStopSignals); ++i) {
    struct sigaction record {};
    record.sa_handler = RecordStop;
    ::sigemptyset(&record.sa_mask);
    // No SA_RESTART: a blocking call returns EINTR, so its caller sees the request at once.
    g_caught[i] = ::sigaction(kStopSignals[i], nullptr, &g_previous[i]) == 0 &&
                  g_previous[i].sa_handler != SIG_IGN &&
                  ::sigaction(kStopSignals[i], &record, nullptr) == 0;
  }
}

TStopSignals::~TStopSignals() {
  for (size_t i = 0; i < std::size(kStopSignals); ++i)
    if (g_caught[i]) ::sigaction(kStopSignals[i], &g_previous[i], nullptr);
  if (g_stopSignal != 0) ::raise(g_stopSignal);
}

bool StopRequested() {
  return g_stopSignal != 0;
}

std::string ReadSecretLine(const std::string& prompt) {
  TStopSignals stop;
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  TEchoOff echo(terminal ? STDIN_FILENO : -1);
  if (terminal) WriteAll(STDERR_FILENO, prompt);
  std::string line;
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR && !StopRequested()) continue;
    if (n < 0 && errno != EINTR) throw EOSError("read", errno);
    if (n <= 0 || c == '\n') break;
    if (line.size() < kSecretMax) line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (terminal) WriteAll(STDERR_FILENO, "\n");
  return line;
}

std::string MountingUser() {
  const uid_t real = ::getuid();
  const char* sudo = real == 0 ? std::getenv("SUDO_UID") : nullptr;
  if (sudo != nullptr && *sudo != '\0' && std::strlen(sudo) <= 9 &&
      std::strspn(sudo, "0123456789") == std::strlen(sudo))
    return std::to_string(std::strtoul(sudo, nullptr, 10));
  return std::to_string(real);
}

std::string ProcessUser(uint32_t processId) {
  thread_local TMemo<std::string> memo;
  const int id = static_cast<int>(processId);
  return memo.Get(id, [id] {
    // Real, effective, saved and file-system user id: the last decides file access.
    const std::string ids = id > 0 ? StatusField(id, "Uid") : std::string();
    const size_t last = ids.find_last_of(" \t");
    return last == std::string::npos ? ids : ids.substr(last + 1);
  });
}

uint32_t ProcessOfThread(int threadId) {
  if (threadId <= 0) return 0;
  thread_local TMemo<uint32_t> memo;
  return memo.Get(threadId, [threadId] {
    const unsigned long group = std::strtoul(StatusField(threadId, "Tgid").c_str(), nullptr, 10);
    return group > 0 ? static_cast<uint32_t>(group) : static_cast<uint32_t>(threadId);
  });
}

bool IsSystemUser(const std::string& user) {
  return user == "0";
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
                                                    int bufferSize, const std::string& input) {
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

  // The input waits in the pipe before the child starts: nothing blocks, nothing is lost.
  int in[2];
  if (::pipe2(in, O_CLOEXEC | O_NONBLOCK) != 0) throw EOSError("pipe", errno);
  TFd inputEnd(in[0]);
  {
    TFd writeEnd(in[1]);
    if (!input.empty() &&
        ::write(writeEnd.Get(), input.data(), input.size()) != static_cast<ssize_t>(input.size()))
      throw EOSError("write", errno != 0 ? errno : EMSGSIZE);
  }
  ::fcntl(inputEnd.Get(), F_SETFL, 0);

  TSpawnSetup setup;
  int rc = ::posix_spawn_file_actions_adddup2(&setup.actions, inputEnd.Get(), STDIN_FILENO);
  if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&setup.actions, theirs.Get(), STDOUT_FILENO);
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

void TChildProcess::Stop() {
  if (!HasEnded(nullptr)) ::kill(pid_, SIGTERM);
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
