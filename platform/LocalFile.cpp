#include "platform/LocalFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace veldra::platform {

namespace {

TFileResult Failure() {
  return errno == ENOSPC || errno == EDQUOT || errno == EFBIG ? TFileResult::NoSpace
                                                              : TFileResult::Failed;
}

}  // namespace

std::unique_ptr<TLocalFile> TLocalFile::Create(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  return std::unique_ptr<TLocalFile>(new TLocalFile(path, fd));
}

TLocalFile::~TLocalFile() {
  ::close(static_cast<int>(handle_));
}

TFileResult TLocalFile::ReadAt(void* buffer, std::size_t count, std::uint64_t offset,
                               std::size_t* read) {
  *read = 0;
  for (;;) {
    const ssize_t n = ::pread(static_cast<int>(handle_), buffer, count, static_cast<off_t>(offset));
    if (n >= 0) {
      *read = static_cast<std::size_t>(n);
      return TFileResult::Ok;
    }
    if (errno != EINTR) return Failure();
  }
}

TFileResult TLocalFile::WriteAt(const void* data, std::size_t count, std::uint64_t offset) {
  const char* bytes = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t n = ::pwrite(static_cast<int>(handle_), bytes, count, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failure();
    }
    bytes += n;
    offset += static_cast<std::uint64_t>(n);
    count -= static_cast<std::size_t>(n);
  }
  return TFileResult::Ok;
}

TFileResult TLocalFile::Truncate(std::uint64_t size) {
  return ::ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) == 0 ? TFileResult::Ok
                                                                               : Failure();
}

bool MakePrivateDirectory(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0700);
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::chmod(path.c_str(), 0700) == 0;
}

bool RemovePath(const std::string& path) {
  return ::unlink(path.c_str()) == 0 || ::rmdir(path.c_str()) == 0;
}

std::string DefaultSpoolDirectory() {
  return "/var/tmp/veldra/spool-" + std::to_string(::getpid());
}

}  // namespace veldra::platform
