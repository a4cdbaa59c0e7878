// Win32 volume information; see platform/Volume.h. Drive letter X is the root "X:\"; its
// volume and file-system names come from GetVolumeInformationA.
#include "platform/Volume.h"

#include <windows.h>

#include "platform/SystemMessages.h"

namespace veldra::platform {

std::string DriveLetterDirectory(char letter) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return std::string();
  return std::string(1, letter) + ":\\";
}

bool QueryVolumeInformation(char letter, TVolumeInfo* info, uint32_t* error) {
  const std::string root = DriveLetterDirectory(letter);
  if (root.empty()) {
    if (error) *error = kErrorPathNotFound;
    return false;
  }
  char volumeName[MAX_PATH + 1] = {};
  char fileSystemName[MAX_PATH + 1] = {};
  // An empty removable drive must fail quietly instead of asking the user to insert a disk.
  DWORD oldMode = 0;
  ::SetThreadErrorMode(SEM_FAILCRITICALERRORS, &oldMode);
  const BOOL ok = ::GetVolumeInformationA(root.c_str(), volumeName, sizeof volumeName, nullptr,
                                          nullptr, nullptr, fileSystemName, sizeof fileSystemName);
  const DWORD code = ok ? 0 : ::GetLastError();
  ::SetThreadErrorMode(oldMode, nullptr);
  if (!ok) {
    if (error) *error = code != 0 ? code : kErrorPathNotFound;
    return false;
  }
  if (info) {
    info->VolumeName = volumeName;
    info->FileSystemName = fileSystemName;
  }
  return true;
}

}  // namespace veldra::platform
