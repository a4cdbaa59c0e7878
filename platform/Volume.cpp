#include "platform/Volume.h"

#include <fstream>
#include <sstream>
#include <vector>

#include "platform/SystemMessages.h"

namespace veldra::platform {

std::string DriveLetterDirectory(char letter) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return std::string();
  return std::string("/mnt/") + static_cast<char>(letter - 'A' + 'a');
}

namespace {

// Decodes the octal escapes (\040 blank, \011 tab, \012 newline, \134 backslash) that the
// mount table uses in its fields. Other text is returned unchanged.
std::string UnescapeMountField(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

}  // namespace

bool QueryVolumeInformation(char letter, TVolumeInfo* info, uint32_t* error) {
  const std::string dir = DriveLetterDirectory(letter);
  bool found = false;
  TVolumeInfo last;
  if (!dir.empty()) {
    // Line layout: id parent major:minor root mountpoint options [optional...] - type source super
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::vector<std::string> parts;
      std::string part;
      while (fields >> part) parts.push_back(part);
      if (parts.size() < 5 || UnescapeMountField(parts[4]) != dir) continue;
      size_t dash = 6;
      while (dash < parts.size() && parts[dash] != "-") ++dash;
      if (dash + 2 >= parts.size()) continue;
      std::string type = UnescapeMountField(parts[dash + 1]);
      if (type.compare(0, 5, "fuse.") == 0) type.erase(0, 5);
      last.FileSystemName = type;
      last.VolumeName = UnescapeMountField(parts[dash + 2]);
      found = true;
    }
  }
  if (!found) {
    if (error) *error = kErrorPathNotFound;
    return false;
  }
  if (info) *info = last;
  return true;
}

}  // namespace veldra::platform
