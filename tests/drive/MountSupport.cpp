#include "tests/drive/MountSupport.h"

#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"

namespace veldra::test {
namespace {

// Undoes the kernel's octal escapes of the mount table ("\040" for a blank).
std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() + 0 && text[i + 1] >= '0' && text[i + 1] <= '7') {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

bool FindMount(const std::string& path, MountEntry* entry) {
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    if (Unescape(point) != path) continue;
    std::string field;
    while (fields >> field && field != "-") {
    }
    std::string type, source;
    fields >> type >> source;
    if (entry != nullptr) *entry = MountEntry{Unescape(source), type, device};
    return true;
  }
  return false;
}

bool WaitMountState(const std::string& path, bool mounted, double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    if (FindMount(path) == mounted) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void ForceUnmount(const std::string& path) {
  MountEntry entry;
  for (int round = 0; round < 5 && FindMount(path, &entry); ++round) {
    if (entry.type.rfind("fuse", 0) == 0) {
      // The connection number is the device's minor number.
      std::string minor = entry.device.substr(entry.device.find(':') + 1);
      std::ofstream abort("/sys/fs/fuse/connections/" + minor + "/abort");
      if (abort) abort << "1";
    }
    ::umount2(path.c_str(), MNT_DETACH);
    WaitMountState(path, false, 1.0);
  }
}

int Shell(const std::string& command, std::string* output, int timeoutSeconds, bool mergeErrors) {
  TempDir dir("veldra-shell");
  const std::string file = dir / "out";
  int status = RunProgram({"/bin/sh", "-c", mergeErrors ? "(" + command + ") 2>&1" : command}, "",
                          file, timeoutSeconds);
  if (output != nullptr) *output = Exists(file) ? ReadFile(file) : std::string();
  return status;
}

}  // namespace veldra::test
