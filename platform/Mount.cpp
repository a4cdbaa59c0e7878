#include "platform/Mount.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Volume.h"

extern char** environ;

namespace veldra::platform {

namespace {

constexpr const char* kMountRoot = "/mnt";

std::string MarkerOf(const std::string& path) {
  return path + "/.veldra-mount-point";
}

// Removes the directory when its marker says a mount made it.
void RemoveIfMade(const std::string& path) {
  if (::unlink(MarkerOf(path).c_str()) == 0) ::rmdir(path.c_str());
}

}  // namespace

TMountDirectory::~TMountDirectory() {
  if (created_) RemoveIfMade(path_);
}

bool TMountDirectory::Prepare() {
  struct stat st;
  if (::stat(path_.c_str(), &st) != 0) {
    if (errno != ENOENT) return false;
    ::mkdir(kMountRoot, 0755);
    if (::mkdir(path_.c_str(), 0755) != 0) return false;
    created_ = true;
    const int marker = ::open(MarkerOf(path_).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (marker >= 0) ::close(marker);
    return true;
  }
  if (!S_ISDIR(st.st_mode)) return false;
  struct stat parent;
  if (::stat(kMountRoot, &parent) != 0) return false;
  if (st.st_dev != parent.st_dev) return false;  // a different device: something is mounted there
  created_ = ::access(MarkerOf(path_).c_str(), F_OK) == 0;
  return true;
}

bool UnmountPath(const std::string& path) {
  if (::geteuid() == 0) {
    if (::umount2(path.c_str(), 0) == 0) return true;
    // Open files keep the mount busy; detaching still ends it for every new request.
    return errno == EBUSY && ::umount2(path.c_str(), MNT_DETACH) == 0;
  }
  const char* argv[] = {"fusermount3", "-u", "-z", path.c_str(), nullptr};
  pid_t child = 0;
  if (::posix_spawnp(&child, "fusermount3", nullptr, nullptr, const_cast<char* const*>(argv),
                     environ) != 0)
    return false;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool IsDriveDisconnected(char letter) {
  const std::string path = DriveLetterDirectory(letter);
  // stat may answer from the kernel's attribute cache; statfs always asks the mount (the
  // drive answers it without waiting for the server).
  // ECONNABORTED: the request was already on its way when the server went.
  struct statfs st;
  return !path.empty() && ::statfs(path.c_str(), &st) != 0 &&
         (errno == ENOTCONN || errno == ECONNABORTED);
}

bool DetachDrive(char letter) {
  const std::string path = DriveLetterDirectory(letter);
  if (path.empty() || !UnmountPath(path)) return false;
  RemoveIfMade(path);
  return true;
}

}  // namespace veldra::platform
