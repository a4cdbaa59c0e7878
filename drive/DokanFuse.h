// Pieces of the libfuse3 binding that have rules of their own, exposed for tests.
#pragma once

#include <string>

namespace veldra::drive {

// The one table from the callbacks' negative Windows error codes to errno values (positive):
// 0 -> 0, -2 ENOENT, -5 EACCES, -25 ESPIPE, -183 EEXIST, -1 EPERM (never ENOSYS, which the
// kernel would remember for good), anything else negative EIO.
int WindowsErrorToErrno(int code);

// Mount point directory of a drive letter: 'F' or 'f' -> "/mnt/f"; "" when not a letter A-Z.
std::string MountPointOf(char16_t letter);

// A value for a FUSE "-o name=value" option: commas and backslashes escaped so that the option
// parser hands the value to the mount unchanged.
std::string EscapeMountOption(const std::string& value);

// The file-system path "/a/b" as a drive path "\a\b" ("/" -> "\"). False when the name holds a
// backslash, which cannot be expressed on the drive.
bool ToDrivePath(const char* path, std::string* drivePath);

}  // namespace veldra::drive
