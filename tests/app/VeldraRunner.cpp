#include "tests/app/VeldraRunner.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/Semaphore.h"
#include "platform/Volume.h"

namespace veldra::apptest {

const char* const kVeldra = VELDRA_EXECUTABLE;

namespace {

using Clock = std::chrono::steady_clock;

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Starts argv with stdin /dev/null and two pipes for stdout/stderr; returns the pid.
pid_t Spawn(const std::vector<std::string>& argv, int* out, int* err) {
  // A background copy outlives the command that started it: as its nearest subreaper this
  // process inherits it, so the copy counts as started by this test (see BackgroundCopies).
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  int o[2], e[2];
  if (::pipe2(o, O_CLOEXEC) != 0) return -1;
  if (::pipe2(e, O_CLOEXEC) != 0) {
    ::close(o[0]);
    ::close(o[1]);
    return -1;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(o[1], 1);
    ::dup2(e[1], 2);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(o[1]);
  ::close(e[1]);
  if (pid < 0) {
    ::close(o[0]);
    ::close(e[0]);
    return -1;
  }
  *out = o[0];
  *err = e[0];
  return pid;
}

// Reads what is available on the open descriptors of fds (closing those at EOF), waiting at
// most waitMs for the first byte.
void Drain(int* out, int* err, TRunResult* result, int waitMs) {
  pollfd fds[2];
  int n = 0;
  if (*out >= 0) fds[n++] = {*out, POLLIN, 0};
  if (*err >= 0) fds[n++] = {*err, POLLIN, 0};
  if (n == 0) {
    SleepMs(waitMs);
    return;
  }
  if (::poll(fds, n, waitMs) <= 0) return;
  for (int i = 0; i < n; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buffer[8192];
    const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
    int* fd = fds[i].fd == *out ? out : err;
    std::string& text = fds[i].fd == *out ? result->out : result->err;
    if (got > 0) {
      text.append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      ::close(*fd);
      *fd = -1;
    }
  }
}

bool Reap(pid_t pid, int* status) {
  int raw = 0;
  if (::waitpid(pid, &raw, WNOHANG) != pid) return false;
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return true;
}

}  // namespace

TRunResult RunVeldra(const std::vector<std::string>& args, int timeoutSeconds) {
  std::vector<std::string> argv{kVeldra};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCommand(argv, timeoutSeconds);
}

TRunResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds) {
  TRunResult result;
  int out = -1, err = -1;
  const pid_t pid = Spawn(argv, &out, &err);
  if (pid < 0) return result;
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  bool ended = false;
  while (Clock::now() < deadline) {
    Drain(&out, &err, &result, 100);
    if (!ended) ended = Reap(pid, &result.status);
    if (ended && out < 0 && err < 0) break;
  }
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    result.status = -1;
    ADD_FAILURE() << argv[0] << " did not end within " << timeoutSeconds << " s";
  }
  if (out >= 0) ::close(out);
  if (err >= 0) ::close(err);
  return result;
}

TForegroundRun::TForegroundRun(const std::vector<std::string>& args) {
  std::vector<std::string> argv{kVeldra};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = Spawn(argv, &out_, &err_);
}

TForegroundRun::~TForegroundRun() {
  if (pid_ > 0 && !WaitForExit(0)) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) ::close(out_);
  if (err_ >= 0) ::close(err_);
}

void TForegroundRun::Pump(int waitMs) {
  Drain(&out_, &err_, &result_, waitMs);
}

bool TForegroundRun::WaitForOutput(const std::string& text, int timeoutSeconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  while (result_.out.find(text) == std::string::npos) {
    if (Clock::now() >= deadline || (out_ < 0 && err_ < 0)) return false;
    Pump(100);
  }
  return true;
}

bool TForegroundRun::WaitForExit(int timeoutSeconds) {
  if (pid_ <= 0) return true;
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  for (;;) {
    Pump(timeoutSeconds > 0 ? 100 : 0);
    if (Reap(pid_, &result_.status)) {
      pid_ = -1;
      while (out_ >= 0 || err_ >= 0) Pump(100);  // the writer has gone: EOF follows
      return true;
    }
    if (Clock::now() >= deadline) return false;
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> ProcessArguments(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  size_t start = 0;
  while (start < all.size()) {
    const size_t end = all.find('\0', start);
    args.push_back(all.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return args;
}

namespace {

// True when pid descends from this process (read from /proc): only those may be killed.
bool StartedByUs(pid_t pid) {
  for (int depth = 0; depth < 64 && pid > 1; ++depth) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line) || line.rfind(')') == std::string::npos) return false;
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    char state;
    long ppid = 0;
    rest >> state >> ppid;
    pid = static_cast<pid_t>(ppid);
    if (pid == ::getpid()) return true;
  }
  return false;
}

// Background copies (internal) of kVeldra for letter that this test started, or visible veldra
// commands anywhere.
std::vector<pid_t> VeldraProcesses(bool internal, char letter) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (dirent* entry = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    const std::vector<std::string> args = ProcessArguments(pid);
    if (args.empty()) continue;
    const bool isCopy = args.back() == "/INTERNAL";
    if (isCopy != internal) continue;
    // Copies of the build under test only; visible commands of any veldra build, since
    // every one of them may hold the machine-wide semaphore.
    const std::string& program = args[0];
    const bool isVeldra =
        program == "veldra" ||
        (program.size() > 7 && program.compare(program.size() - 7, 7, "/veldra") == 0);
    if (internal ? program != kVeldra : !isVeldra) continue;
    if (internal && (args.size() < 2 || args[1].empty() || args[1][0] != letter)) continue;
    if (internal && !StartedByUs(pid)) continue;
    // A zombie (ended, not yet reaped by its parent) shows no arguments, so it is not here.
    found.push_back(pid);
  }
  ::closedir(proc);
  return found;
}

}  // namespace

std::vector<pid_t> BackgroundCopies(char letter) {
  return VeldraProcesses(true, letter);
}

bool IsMounted(char letter) {
  return veldra::platform::QueryVolumeInformation(letter, nullptr, nullptr);
}

bool WaitMounted(char letter, bool mounted, int timeoutSeconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  while (IsMounted(letter) != mounted) {
    if (Clock::now() >= deadline) return false;
    SleepMs(50);
  }
  return true;
}

bool WaitCopiesGone(char letter, int timeoutSeconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  while (!BackgroundCopies(letter).empty()) {
    if (Clock::now() >= deadline) return false;
    SleepMs(50);
  }
  return true;
}

bool StartSemaphoreLeftBehind() {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  for (;;) {
    if (!veldra::platform::TNamedSemaphore::Exists("_kzr_mount_start_semaphore_")) return false;
    if (!VeldraProcesses(false, 0).empty()) return false;
    if (Clock::now() >= deadline) return true;
    SleepMs(100);
  }
}

void ForceCleanup(char letter) {
  const std::string dir = veldra::platform::DriveLetterDirectory(letter);
  veldra::platform::TVolumeInfo volume;
  // Only a drive served by a copy this test started is taken down.
  if (!BackgroundCopies(letter).empty() &&
      veldra::platform::QueryVolumeInformation(letter, &volume, nullptr) &&
      volume.FileSystemName == "VELDRA") {
    RunVeldra({std::string(1, letter) + ":", "/delete"}, 30);
    if (!WaitMounted(letter, false, 10)) ::umount2(dir.c_str(), MNT_DETACH);
  }
  if (!WaitCopiesGone(letter, 10)) {
    for (const pid_t pid : BackgroundCopies(letter)) ::kill(pid, SIGKILL);
    WaitCopiesGone(letter, 5);
  }
  if (StartSemaphoreLeftBehind())
    veldra::platform::TNamedSemaphore::Unlink("_kzr_mount_start_semaphore_");
}

TMountTestLock::TMountTestLock() {
  fd_ = ::open("/dev/shm/veldra-mount-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    ADD_FAILURE() << "cannot open the mount test lock: " << std::strerror(errno);
    return;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(240);
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (Clock::now() >= deadline) {
      ADD_FAILURE() << "another mount test held the lock for 240 s";
      return;
    }
    SleepMs(100);
  }
}

TMountTestLock::~TMountTestLock() {
  if (fd_ >= 0) ::close(fd_);  // releases the lock
}

}  // namespace veldra::apptest
