#include "tests/support/VeldraDrive.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef VELDRA_EXECUTABLE
#define VELDRA_EXECUTABLE "veldra"
#endif

namespace veldra::test {

const char* const kVeldra = VELDRA_EXECUTABLE;

// One line of /proc/self/mountinfo.
struct MountEntry {
  std::string type;    // e.g. "fuse.VELDRA"
  std::string device;  // "major:minor"
};

// The topmost mount at path, if any.
bool FindMount(const std::string& path, MountEntry* entry) {
  std::ifstream table("/proc/self/mountinfo");
  bool found = false;
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point, field, type;
    fields >> id >> parent >> device >> root >> point;
    if (point != path) continue;  // the drives' mount points need no unescaping
    while (fields >> field && field != "-") {
    }
    fields >> type;
    found = true;  // the last one is the topmost
    if (entry != nullptr) *entry = MountEntry{type, device};
  }
  return found;
}

namespace {

std::string LetterDirectory(char letter) {
  return std::string("/mnt/") + static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
}

bool WaitMountState(const std::string& path, bool mounted, int seconds) {
  return WaitUntil([&] { return FindMount(path, nullptr) == mounted; }, seconds * 1000);
}

// Waits `seconds` for the copies of a letter to end, then kills them (bounded).
void EndCopies(char letter, int seconds) {
  if (WaitCopiesGone(letter, seconds)) return;
  for (pid_t pid : BackgroundCopies(letter)) ::kill(pid, SIGKILL);
  WaitCopiesGone(letter, 5);
}

bool IsVeldra(const std::string& program) {
  return program.size() >= 6 && program.compare(program.size() - 6, 6, "veldra") == 0;
}

}  // namespace

std::vector<std::string> VeldraCommand(const std::vector<std::string>& args) {
  std::vector<std::string> argv{kVeldra};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

bool IsMounted(char letter) {
  return FindMount(LetterDirectory(letter));
}

bool WaitMounted(char letter, bool mounted, int timeoutSeconds) {
  return WaitMountState(LetterDirectory(letter), mounted, timeoutSeconds);
}

void ForceUnmount(const std::string& path) {
  MountEntry entry;
  for (int round = 0; round < 5 && FindMount(path, &entry); ++round) {
    if (entry.type.rfind("fuse", 0) == 0) {
      // The connection number is the device's minor number.
      std::ofstream abort("/sys/fs/fuse/connections/" +
                          entry.device.substr(entry.device.find(':') + 1) + "/abort");
      if (abort) abort << "1";
    }
    ::umount2(path.c_str(), MNT_DETACH);
    WaitMountState(path, false, 1);
  }
}

std::vector<pid_t> BackgroundCopies(char letter) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  return OwnProcesses([upper](const std::vector<std::string>& args) {
    return args.size() >= 3 && args.back() == "/INTERNAL" && IsVeldra(args[0]) &&
           !args[1].empty() && std::toupper(static_cast<unsigned char>(args[1][0])) == upper;
  });
}

bool WaitCopiesGone(char letter, int timeoutSeconds) {
  return WaitUntil([&] { return BackgroundCopies(letter).empty(); }, timeoutSeconds * 1000);
}

std::vector<std::string> StartSemaphoresLeftBehind(pid_t launcher) {
  std::vector<std::string> names;
  const std::string prefix = "sem.veldra-start-";
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
    const std::string name = entry.path().filename();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const pid_t pid = static_cast<pid_t>(std::atoi(name.c_str() + prefix.size()));
    if (launcher > 0 ? pid == launcher : ::kill(pid, 0) != 0) names.push_back(name);
  }
  return names;
}

void ForceCleanup(char letter) {
  const std::string dir = LetterDirectory(letter);
  MountEntry entry;
  // Only a drive served by a copy this test started is taken down.
  if (!BackgroundCopies(letter).empty() && FindMount(dir, &entry) && entry.type == "fuse.VELDRA") {
    RunCommand(VeldraCommand({std::string(1, letter) + ":", "/delete"}), 30);
    if (!WaitMountState(dir, false, 10)) ::umount2(dir.c_str(), MNT_DETACH);
  }
  EndCopies(letter, 10);
}

VeldraDrive::VeldraDrive(const std::string& veldraPath, const DriveOptions& o)
    : veldra_(veldraPath),
      letter_(static_cast<char>(std::toupper(static_cast<unsigned char>(o.letter)))),
      mountPoint_(LetterDirectory(o.letter)) {
  if (::access(veldra_.c_str(), X_OK) != 0)
    throw std::runtime_error("the veldra executable is missing: " + veldra_);
  if (FindMount(mountPoint_)) throw std::runtime_error(mountPoint_ + " is mounted already");
  std::vector<std::string> argv{veldra_,           std::string(1, letter_) + ":",
                                o.hostAndPath,     o.password,
                                "/USER:" + o.user, "/PORT:" + std::to_string(o.port)};
  if (!o.passive) argv.push_back("/NOPASSIVE");
  argv.insert(argv.end(), o.extra.begin(), o.extra.end());
  const CommandResult r = RunCommand(argv, 60);
  mounted_ = r.status == 0 && WaitMountState(mountPoint_, true, 10);
  copies_ = ServingProcesses();
  if (!mounted_) {
    // The mount point was free before the command ran: what is there now is this drive.
    ForceUnmount(mountPoint_);
    EndCopies(letter_, 5);
    throw std::runtime_error("mount of " + argv[1] + " failed (status " + std::to_string(r.status) +
                             "): " + r.output);
  }
}

VeldraDrive::~VeldraDrive() {
  try {
    Unmount();
  } catch (...) {
  }
}

CommandResult VeldraDrive::Unmount() {
  if (!mounted_) return {};
  const CommandResult r = RunCommand({veldra_, std::string(1, letter_) + ":", "/delete"}, 30);
  // The serving copy finishes open uploads and ends once the drive is gone.
  if (!WaitUntil([&] { return !FindMount(mountPoint_) && ServingProcesses().empty(); }, 30000)) {
    ForceUnmount(mountPoint_);  // the drive's own mount point: free before it was mounted
    EndCopies(letter_, 5);
  }
  mounted_ = false;
  for (pid_t p : copies_) ::waitpid(p, nullptr, WNOHANG);  // ended copies are our children now
  return r;
}

}  // namespace veldra::test
