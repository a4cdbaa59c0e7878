// Temporary directories and whole-file helpers for tests.
//
// Everything here throws (std::runtime_error or std::filesystem::filesystem_error, with the
// path) on failure; nothing returns error codes. All functions are safe to call from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace veldra::test {

// A fresh directory under /tmp (mode 0755 so that FTP servers running as another user can
// traverse it), removed with everything below it when the object is destroyed. Not copyable.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "veldra-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Absolute path without a trailing slash.
  const std::string& Path() const { return path_; }
  // Path() + "/" + relative.
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes `content` as the whole file (created or replaced), creating missing parent
// directories. Files get mode 0666 and new directories 0777 regardless of the umask, so that
// a server session running as an unprivileged account may replace, rename or delete them.
void WriteFile(const std::string& path, const std::string& content);
// Reads the whole file.
std::string ReadFile(const std::string& path);
// Removes a file or a whole tree; no error when it does not exist.
inline void RemoveTree(const std::string& path) {
  std::filesystem::remove_all(path);
}
// True when the path exists (any type) / is a directory.
inline bool Exists(const std::string& path) {
  return std::filesystem::exists(std::filesystem::symlink_status(path));
}
// Size of a file in bytes.
inline std::uint64_t FileSize(const std::string& path) {
  return std::filesystem::file_size(path);
}

// Deterministic pseudo-random content of `size` bytes; different seeds give different bytes,
// so misplaced blocks show up in a comparison.
std::string PatternBytes(std::size_t size, std::uint32_t seed = 1);

}  // namespace veldra::test
