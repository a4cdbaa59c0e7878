#include "device/Spool.h"

#include "device/DeviceErrors.h"

namespace {

using veldra::platform::TFileResult;

void Check(TFileResult result, const std::string& path) {
  if (result == TFileResult::Ok) return;
  if (result == TFileResult::NoSpace)
    throw EReRefused(wincode::kDiskFull, "The local spool's disk is full: " + path);
  throw EReRefused(wincode::kBadNetResponse, "The local spool failed: " + path);
}

// The remote path, made a local file name: readable, one component.
std::string LocalName(const std::string& remotePath) {
  std::string name;
  for (char c : remotePath) {
    if (c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 32)
      name += '_';
    else
      name += c;
  }
  return name.size() > 200 ? name.substr(name.size() - 200) : name;
}

}  // namespace

TSpoolFile::~TSpoolFile() {
  spool_.used_ -= size_;
  const std::string path = file_->Path();
  file_.reset();
  if (!keep_) veldra::platform::RemovePath(path);
}

void TSpoolFile::Grow(std::uint64_t size) {
  if (size <= size_) return;
  const std::uint64_t more = size - size_;
  if (spool_.used_.fetch_add(more) + more > spool_.limit_) {
    spool_.used_ -= more;
    throw EReRefused(wincode::kDiskFull, "The local spool is full (its limit is " +
                                             std::to_string(spool_.limit_ >> 20) + " MiB).");
  }
}

size_t TSpoolFile::Read(void* buffer, size_t count, std::uint64_t offset) {
  if (offset >= size_) return 0;
  if (count > size_ - offset) count = static_cast<size_t>(size_ - offset);
  size_t read = 0;
  Check(file_->ReadAt(buffer, count, offset, &read), file_->Path());
  return read;
}

void TSpoolFile::Write(const void* data, size_t count, std::uint64_t offset) {
  const std::uint64_t end = offset + count;
  Grow(end);
  const TFileResult result = file_->WriteAt(data, count, offset);
  if (result != TFileResult::Ok) {
    if (end > size_) spool_.used_ -= end - size_;
    Check(result, file_->Path());
  }
  if (end > size_) size_ = end;
  dirty_ = true;
}

void TSpoolFile::Truncate(std::uint64_t size) {
  Grow(size);
  const TFileResult result = file_->Truncate(size);
  if (result != TFileResult::Ok) {
    if (size > size_) spool_.used_ -= size - size_;
    Check(result, file_->Path());
  }
  if (size < size_) spool_.used_ -= size_ - size;
  size_ = size;
  dirty_ = true;
}

TSpool::TSpool(std::string directory, std::uint64_t limitBytes)
    : directory_(directory.empty() ? veldra::platform::DefaultSpoolDirectory()
                                   : std::move(directory)),
      limit_(limitBytes) {}

TSpool::~TSpool() {
  veldra::platform::RemovePath(directory_);  // an empty directory only
}

std::unique_ptr<TSpoolFile> TSpool::NewFile(const std::string& remotePath) {
  if (!veldra::platform::MakePrivateDirectory(directory_))
    throw EReRefused(wincode::kBadNetResponse, "The local spool cannot be made: " + directory_);
  const std::string path =
      directory_ + "/" + std::to_string(++counter_) + "-" + LocalName(remotePath);
  auto file = veldra::platform::TLocalFile::Create(path);
  if (!file) throw EReRefused(wincode::kBadNetResponse, "The local spool cannot hold " + path);
  return std::unique_ptr<TSpoolFile>(new TSpoolFile(*this, std::move(file)));
}
