// The local spool of one device: the content of files that programs write out of order (a
// write into the middle, a truncate to some other length), which FTP cannot do in place. Such
// a file lives here until its last close (or fsync) sends it to the server whole.
//
// Thread-safe: TSpool's byte count is shared; each TSpoolFile is used under its file's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/LocalFile.h"

class TSpool;

class TSpoolFile {
 public:
  ~TSpoolFile();  // the local file goes too, unless it holds changes the server never took
  TSpoolFile(const TSpoolFile&) = delete;
  TSpoolFile& operator=(const TSpoolFile&) = delete;

  // Up to count bytes at offset; fewer at the end. Raises on a local failure.
  size_t Read(void* buffer, size_t count, std::uint64_t offset);
  // Writes (the file grows; a gap reads as zeros) and marks the file changed. Raises
  // EReRefused(kDiskFull) past the spool's limit or when the local disk is full.
  void Write(const void* data, size_t count, std::uint64_t offset);
  void Truncate(std::uint64_t size);
  std::uint64_t Size() const { return size_; }
  // Changed since it was last sent to the server.
  bool Dirty() const { return dirty_; }
  void SetDirty(bool dirty) { dirty_ = dirty; }
  // Kept on the local disk at destruction (its changes never reached the server).
  void Keep() { keep_ = true; }
  const std::string& Path() const { return file_->Path(); }

 private:
  friend class TSpool;
  TSpoolFile(TSpool& spool, std::unique_ptr<veldra::platform::TLocalFile> file)
      : spool_(spool), file_(std::move(file)) {}
  // Takes room for size bytes (counted against the limit), or raises.
  void Grow(std::uint64_t size);

  TSpool& spool_;
  std::unique_ptr<veldra::platform::TLocalFile> file_;
  std::uint64_t size_ = 0;
  bool dirty_ = false;
  bool keep_ = false;
};

class TSpool {
 public:
  // directory "" takes the platform's default place. The directory is made (owner only) when
  // the first file is spooled. limitBytes 0: no file is ever spooled.
  TSpool(std::string directory, std::uint64_t limitBytes);
  ~TSpool();  // removes the directory when nothing was kept in it
  TSpool(const TSpool&) = delete;
  TSpool& operator=(const TSpool&) = delete;

  bool Enabled() const { return limit_ > 0; }
  const std::string& Directory() const { return directory_; }
  // A new, empty spool file for remotePath (its name tells which file it is). Raises
  // EReRefused(kDiskFull) when the spool cannot take it.
  std::unique_ptr<TSpoolFile> NewFile(const std::string& remotePath);
  std::uint64_t Used() const { return used_.load(); }

 private:
  friend class TSpoolFile;
  std::string directory_;
  std::uint64_t limit_;
  std::atomic<std::uint64_t> used_{0};
  std::atomic<std::uint64_t> counter_{0};
};
