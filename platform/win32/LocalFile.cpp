#include "platform/LocalFile.h"

#include <windows.h>

namespace veldra::platform {

namespace {

HANDLE H(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

TFileResult Failure() {
  const DWORD error = GetLastError();
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? TFileResult::NoSpace
                                                                     : TFileResult::Failed;
}

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

}  // namespace

std::unique_ptr<TLocalFile> TLocalFile::Create(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<TLocalFile>(new TLocalFile(path, reinterpret_cast<std::intptr_t>(file)));
}

TLocalFile::~TLocalFile() {
  CloseHandle(H(handle_));
}

TFileResult TLocalFile::ReadAt(void* buffer, std::size_t count, std::uint64_t offset,
                               std::size_t* read) {
  *read = 0;
  OVERLAPPED o = At(offset);
  DWORD n = 0;
  if (!ReadFile(H(handle_), buffer, static_cast<DWORD>(count), &n, &o)) {
    if (GetLastError() == ERROR_HANDLE_EOF) return TFileResult::Ok;
    return Failure();
  }
  *read = n;
  return TFileResult::Ok;
}

TFileResult TLocalFile::WriteAt(const void* data, std::size_t count, std::uint64_t offset) {
  const char* bytes = static_cast<const char*>(data);
  while (count > 0) {
    OVERLAPPED o = At(offset);
    DWORD n = 0;
    if (!WriteFile(H(handle_), bytes, static_cast<DWORD>(count), &n, &o)) return Failure();
    bytes += n;
    offset += n;
    count -= n;
  }
  return TFileResult::Ok;
}

TFileResult TLocalFile::Truncate(std::uint64_t size) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(H(handle_), at, nullptr, FILE_BEGIN) || !SetEndOfFile(H(handle_)))
    return Failure();
  return TFileResult::Ok;
}

bool MakePrivateDirectory(const std::string& path) {
  // The directory inherits its parent's access list: under the user's own temporary folder,
  // that is the user alone.
  for (size_t slash = path.find_first_of("\\/", 3); slash != std::string::npos;
       slash = path.find_first_of("\\/", slash + 1)) {
    CreateDirectoryA(path.substr(0, slash).c_str(), nullptr);
  }
  if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    return false;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool RemovePath(const std::string& path) {
  return DeleteFileA(path.c_str()) || RemoveDirectoryA(path.c_str());
}

std::string DefaultSpoolDirectory() {
  char temp[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathA(MAX_PATH, temp);
  return std::string(temp, n) + "veldra\\spool-" + std::to_string(GetCurrentProcessId());
}

}  // namespace veldra::platform
