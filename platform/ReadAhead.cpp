#include "platform/ReadAhead.h"

#include <fstream>
#include <sstream>

namespace veldra::platform {

bool SetMountReadAhead(const std::string& mountPath, unsigned kib) {
  // /proc/self/mountinfo: "id parent major:minor root mountpoint ..."; the device number names
  // the mount's backing device in /sys/class/bdi.
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  std::string device;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string id, parent, number, root, point;
    if (!(fields >> id >> parent >> number >> root >> point)) continue;
    if (point == mountPath) device = number;  // the last one is the one on top
  }
  if (device.empty()) return false;
  std::ofstream setting("/sys/class/bdi/" + device + "/read_ahead_kb");
  setting << kib << "\n";
  setting.flush();
  return static_cast<bool>(setting);
}

}  // namespace veldra::platform
