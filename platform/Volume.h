// Volume information of a drive letter.
//
// Drive letter X is the directory /mnt/x. A drive "has a volume" when that directory is a
// mount point; its volume name is the mount source and its file-system name the mount type
// with a leading "fuse." removed (a mounted drive of this program shows source "ftp://host/path"
// and type "fuse.VELDRA").
#pragma once

#include <cstdint>
#include <string>

namespace veldra::platform {

struct TVolumeInfo {
  std::string VolumeName;      // the mount source, unescaped
  std::string FileSystemName;  // the mount type without "fuse."
};

// The directory of drive letter letter (any case): 'F' gives "/mnt/f". A character that is
// not an ASCII letter gives "" (no drive can have it).
std::string DriveLetterDirectory(char letter);

// Looks the drive's directory up in /proc/self/mountinfo (the last, topmost mount wins).
// Returns true and fills *info when it is a mount point. Returns false and sets *error to a
// Windows system error code (3, path not found) when the letter names no volume or the table
// cannot be read. info and error may be null. Thread-safe; never throws.
bool QueryVolumeInformation(char letter, TVolumeInfo* info, uint32_t* error);

}  // namespace veldra::platform
