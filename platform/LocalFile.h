// Files on the local disk: the write spool keeps the content of files written out of order
// there until they go to the server whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace veldra::platform {

// What a local file operation ran into.
enum class TFileResult { Ok, NoSpace, Failed };

// One local file, open for reading and writing while the object lives (closed at
// destruction; the file itself stays). Used by one thread at a time.
class TLocalFile {
 public:
  // Creates path anew (it must not exist), readable and writable by its owner only. Null
  // when it cannot be made.
  static std::unique_ptr<TLocalFile> Create(const std::string& path);
  ~TLocalFile();
  TLocalFile(const TLocalFile&) = delete;
  TLocalFile& operator=(const TLocalFile&) = delete;

  // Reads up to count bytes at offset; *read gets how many (0 at the end).
  TFileResult ReadAt(void* buffer, std::size_t count, std::uint64_t offset, std::size_t* read);
  // Writes all count bytes at offset (the file grows, a gap reads as zeros).
  TFileResult WriteAt(const void* data, std::size_t count, std::uint64_t offset);
  // Sets the file's length.
  TFileResult Truncate(std::uint64_t size);
  const std::string& Path() const { return path_; }

 private:
  TLocalFile(std::string path, std::intptr_t handle) : path_(std::move(path)), handle_(handle) {}
  std::string path_;
  std::intptr_t handle_;
};

// Makes path (and its missing parents) a directory; the last one is made readable, writable
// and searchable by its owner only. False when it cannot be made or is not a directory.
bool MakePrivateDirectory(const std::string& path);
// Removes a file or an empty directory; false when it could not.
bool RemovePath(const std::string& path);
// Where a process keeps such files by default: a directory of its own under the system's
// place for temporary files that survive a restart.
std::string DefaultSpoolDirectory();

}  // namespace veldra::platform
