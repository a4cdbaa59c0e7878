// The mount mechanics of a drive's directory: making and removing the mount point, unmounting,
// and recognising a mount whose serving process has died.
//
// Linux only, except IsDriveDisconnected and DetachDrive, which every build has (on Windows a
// drive goes away with the process that serves it, so they find nothing to do).
#pragma once

#include <string>

namespace veldra::platform {

// The mount point directory of a drive, made when missing and removed again by the destructor
// when made here. A directory made here holds a marker file (hidden under the mount while it is
// mounted), so that DetachDrive, run by another process after the serving one died, knows it
// may remove the directory too, and a later mount adopts such a directory as its own.
class TMountDirectory {
 public:
  explicit TMountDirectory(std::string path) : path_(std::move(path)) {}
  ~TMountDirectory();
  TMountDirectory(const TMountDirectory&) = delete;
  TMountDirectory& operator=(const TMountDirectory&) = delete;

  // Makes the directory (and /mnt) when missing. False when it cannot be made, is not a
  // directory, or is already a mount point.
  bool Prepare();
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  bool created_ = false;
};

// Unmounts the file system at path: at once when nothing holds it, else lazily (gone for new
// requests, released when the last open file closes). Without root rights through
// "fusermount3 -u -z". True on success.
bool UnmountPath(const std::string& path);

// True when drive letter's directory is a mount point whose file-system server has gone (the
// kernel answers ENOTCONN, "Transport endpoint is not connected", or ECONNABORTED for a request
// under way when it went). Asks the mount (statfs): a live drive whose serving threads are all
// busy answers once one is free.
bool IsDriveDisconnected(char letter);

// Unmounts drive letter's directory (UnmountPath) and removes the directory when a
// TMountDirectory made it. True when nothing is mounted there any more.
bool DetachDrive(char letter);

}  // namespace veldra::platform
