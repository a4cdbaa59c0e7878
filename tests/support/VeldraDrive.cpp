#include "tests/support/VeldraDrive.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"

namespace veldra::test {

using Clock = std::chrono::steady_clock;

namespace {

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Undoes the octal escapes of /proc/self/mountinfo (\040 for a blank, ...).
std::string Unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1]))) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    SleepMs(50);
  }
  return true;
}

// The parent of pid as /proc shows it (0 when gone).
pid_t ParentOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line) || line.rfind(')') == std::string::npos) return 0;
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  char state;
  long ppid = 0;
  rest >> state >> ppid;
  return static_cast<pid_t>(ppid);
}

// True when pid descends from this process: only those may be killed.
bool StartedByUs(pid_t pid) {
  for (int depth = 0; depth < 64 && pid > 1; ++depth) {
    pid = ParentOf(pid);
    if (pid == ::getpid()) return true;
  }
  return false;
}

// The lock around a mount start (see the header).
class MountLock {
 public:
  MountLock()
      : fd_(::open("/dev/shm/veldra-mount-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ < 0) return;
    auto deadline = Clock::now() + std::chrono::seconds(240);
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (Clock::now() >= deadline) throw DriveError("the mount lock was held for 240 s");
      SleepMs(100);
    }
  }
  ~MountLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  MountLock(const MountLock&) = delete;
  MountLock& operator=(const MountLock&) = delete;

 private:
  int fd_;
};

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds) {
  TempDir dir("veldra-run");
  CommandResult r;
  auto start = Clock::now();
  r.status = RunProgram(argv, "", dir / "out", timeoutSeconds);
  r.output = Exists(dir / "out") ? ReadFile(dir / "out") : "";
  r.timedOut = r.status == -1 && Clock::now() - start >= std::chrono::seconds(timeoutSeconds);
  return r;
}

CommandResult RunShell(const std::string& script, int timeoutSeconds) {
  return RunCommand({"/bin/sh", "-c", script}, timeoutSeconds);
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool IsMountPoint(const std::string& path) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string id, parent, dev, root, point;
    f >> id >> parent >> dev >> root >> point;
    if (Unescape(point) == path) return true;
  }
  return false;
}

VeldraDrive::VeldraDrive(const std::string& veldraPath, const DriveOptions& o)
    : veldra_(veldraPath),
      letter_(static_cast<char>(std::toupper(static_cast<unsigned char>(o.letter)))),
      mountPoint_(std::string("/mnt/") +
                  static_cast<char>(std::tolower(static_cast<unsigned char>(o.letter)))) {
  if (!Exists(veldra_)) throw DriveError("the veldra executable is missing: " + veldra_);
  // Something this test did not start is never cleared away: the test fails instead.
  if (IsMountPoint(mountPoint_)) throw DriveError(mountPoint_ + " is mounted already");
  // The background copy outlives the command that started it: as the copy's nearest
  // subreaper this process inherits it, so the copy counts as started by this test.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::vector<std::string> argv{veldra_,    Device(),          o.hostAndPath,
                                o.password, "/USER:" + o.user, "/PORT:" + std::to_string(o.port)};
  if (!o.passive) argv.push_back("/NOPASSIVE");
  argv.insert(argv.end(), o.extra.begin(), o.extra.end());
  CommandResult r;
  {
    MountLock lock;
    r = RunCommand(argv, o.mountTimeoutSeconds);
  }
  mountOutput_ = r.output;
  mounted_ = true;
  bool up = r.status == 0 && WaitUntil([&] { return IsMountPoint(mountPoint_); }, 10000);
  copies_ = ServingProcesses();
  if (!up) {
    ForceGone();
    mounted_ = false;
    throw DriveError("mount of " + Device() + " failed (status " + std::to_string(r.status) +
                     "): " + r.output);
  }
}

VeldraDrive::~VeldraDrive() {
  try {
    Unmount();
  } catch (...) {
  }
}

std::vector<pid_t> VeldraDrive::ServingProcesses() const {
  std::vector<pid_t> out;
  DIR* d = ::opendir("/proc");
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (!end || *end || pid <= 0) continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    std::string cur;
    for (char c : all) {
      if (c == '\0') {
        args.push_back(cur);
        cur.clear();
      } else {
        cur += c;
      }
    }
    if (args.size() < 3 || args.back() != "/INTERNAL") continue;
    if (args[0].find("veldra") == std::string::npos) continue;
    if (!args[1].empty() && std::toupper(static_cast<unsigned char>(args[1][0])) == letter_ &&
        StartedByUs(static_cast<pid_t>(pid)))
      out.push_back(static_cast<pid_t>(pid));
  }
  ::closedir(d);
  return out;
}

CommandResult VeldraDrive::Unmount() {
  CommandResult r;
  if (!mounted_) return r;
  r = RunCommand({veldra_, Device(), "/delete"}, 30);
  // The serving copy finishes open uploads and ends once the drive is gone.
  bool gone =
      WaitUntil([&] { return !IsMountPoint(mountPoint_) && ServingProcesses().empty(); }, 30000);
  if (!gone) ForceGone();
  mounted_ = false;
  for (pid_t p : copies_) ::waitpid(p, nullptr, WNOHANG);  // ended copies are our children now
  return r;
}

// Only for this drive's own mount (the mount point was free before the command ran) and the
// copies this test started.
void VeldraDrive::ForceGone() {
  if (IsMountPoint(mountPoint_)) ::umount2(mountPoint_.c_str(), MNT_DETACH);
  WaitUntil([&] { return ServingProcesses().empty(); }, 5000);
  for (pid_t p : ServingProcesses()) ::kill(p, SIGKILL);
  WaitUntil([&] { return ServingProcesses().empty(); }, 5000);
}

}  // namespace veldra::test
