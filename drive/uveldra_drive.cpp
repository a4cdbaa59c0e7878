// The drive callbacks: each turns one file-system request into device calls under DeviceLock
// and every failure into a negative Windows error code.
#include "drive/uveldra_drive.h"

#include <exception>
#include <string>
#include <vector>

#include "device/uftpdevice.h"
#include "device/ureftp.h"
#include "platform/Console.h"
#include "platform/Process.h"
#include "platform/TextConv.h"

std::unique_ptr<TFTPDevice> FtpDevice;
std::string OwnerUser;

namespace {

using veldra::platform::WideToAnsi;

bool Debug() {
  return DebugMode.load(std::memory_order_relaxed);
}

void Log(const std::string& line) {
  if (Debug()) veldra::platform::WriteLine(line);
}

// The closing line of a callback, then its result.
int Exit(int code) {
  Log("  -->Ext: " + std::to_string(code));
  return code;
}

// Class name and message of whatever was thrown, for "  -->Err: " lines.
std::string Describe(const std::exception& e) {
  if (auto* own = dynamic_cast<const Exception*>(&e)) {
    return std::string(own->ClassName()) + " " + own->Message();
  }
  return std::string("Exception ") + e.what();
}

void LogError(const std::string& text) {
  Log("  -->Err: " + text);
}

// True when the request must be refused: a drive restricted to one user, asked by another
// (or by a process we cannot name). The serving process itself is the library asking on its
// own behalf (the volume names for the mount table), never a user of the drive.
bool OwnerRefused(const DOKAN_FILE_INFO* info) {
  if (OwnerUser.empty()) return false;
  if (info == nullptr) return true;
  if (info->ProcessId == veldra::platform::CurrentProcessId()) return false;
  const std::string user = veldra::platform::ProcessUser(info->ProcessId);
  return user.empty() || (user != OwnerUser && !veldra::platform::IsSystemUser(user));
}

// The mounted device; a missing one is a failure of the request, not a crash.
TFTPDevice& Device() {
  if (!FtpDevice) throw Exception("no device is mounted");
  return *FtpDevice;
}

// Lock-free root answer; false when there is no device or the root record is not known yet.
bool CachedRoot(const std::string& name, BY_HANDLE_FILE_INFORMATION* record) {
  TFTPDevice* device = FtpDevice.get();
  return device != nullptr && device->GetCachedRootInfo(name, record);
}

void SetDirectory(DOKAN_FILE_INFO* info, const BY_HANDLE_FILE_INFORMATION& record) {
  if (info != nullptr)
    info->IsDirectory = (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

const char* Bool(bool value) {
  return value ? "TRUE" : "FALSE";
}

bool IsDirectoryRecord(const BY_HANDLE_FILE_INFORMATION& record) {
  return (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// What one callback returns for each kind of failure of its device calls. kAsOther: that
// exception is no special case and is treated like any other.
constexpr int kAsOther = 1;
struct FailureCodes {
  int notFound;
  int seek;
  int other;
};

// Runs call(device) and returns its result, or the callback's code for what it raised: a
// refusal with a known meaning gives that meaning, an interrupted wait -995, and a failure
// treated as "other" is written on an "  -->Err: " line. The device is thread-safe: no lock.
template <typename Call>
int Run(const FailureCodes& codes, Call&& call) {
  try {
    return call(Device());
  } catch (const EReFileNotFound& e) {
    if (codes.notFound != kAsOther) return codes.notFound;
    LogError(Describe(e));
  } catch (const EFilerError& e) {
    if (codes.seek != kAsOther) return codes.seek;
    LogError(Describe(e));
  } catch (const EReRefused& e) {
    LogError(Describe(e));
    return -e.WindowsCode();
  } catch (const EIdProtocolReplyError& e) {
    LogError(Describe(e));
    const int code = RefusalCode(e.ErrorCode(), e.Message());
    if (code != wincode::kBadNetResponse) return -code;
  } catch (const Exception& e) {
    LogError(Describe(e));
    if (IsInterruption(e)) return -wincode::kOperationAborted;
  } catch (const std::exception& e) {
    LogError(Describe(e));
  } catch (...) {
    LogError("unknown failure");
  }
  return codes.other;
}

constexpr FailureCodes kChangeCodes{kAsOther, kAsOther, -ERROR_BAD_NET_RESP};
constexpr FailureCodes kLookupCodes{-ERROR_FILE_NOT_FOUND, kAsOther, -ERROR_BAD_NETPATH};
constexpr FailureCodes kTransferCodes{-ERROR_FILE_NOT_FOUND, -ERROR_SEEK, -ERROR_BAD_NETPATH};

// Flush, or the end of a handle: what the file's handle left open goes to the server (its
// open upload, or a spooled file's content at the last close), and a refusal is the result.
int Finish(const std::string& name, DOKAN_FILE_INFO* info, bool close) {
  const int result = Run({kAsOther, kAsOther, -ERROR_BAD_NETPATH}, [&](TFTPDevice& device) {
    if (close && info != nullptr && info->Context != 0) {
      const std::uint64_t handle = info->Context;
      info->Context = 0;
      device.CloseHandle(handle);
    } else {
      device.Flush(name);
    }
    return 0;
  });
  return result == 0 ? 0 : Exit(result);
}

// The record of name from the device, for the callbacks that describe one name.
int LookUp(const std::string& name, BY_HANDLE_FILE_INFORMATION* record) {
  return Run(kLookupCodes, [&](TFTPDevice& device) {
    device.GetFileInfo(name, record);
    return 0;
  });
}

}  // namespace

int FtpCreateFile(LPCWSTR fileName, DWORD desiredAccess, DWORD /*shareMode*/,
                  DWORD creationDisposition, DWORD flagsAndAttributes, DOKAN_FILE_INFO* info) {
  const std::string name = WideToAnsi(fileName);
  if (Debug()) {
    Log("FtpCreateFile: " + name);
    Log("  CreationDisposition: " + std::to_string(creationDisposition));
    Log("  AccessMode: " + std::to_string(desiredAccess));
    Log("  FlagsAndAttributes: " + std::to_string(flagsAndAttributes));
    Log("  PID: " + std::to_string(info != nullptr ? info->ProcessId : 0));
  }
  if (OwnerRefused(info)) return -ERROR_ACCESS_DENIED;
  // Deletion happens through DeleteFile/DeleteDirectory; a delete-on-close open is refused.
  if ((flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0) return -ERROR_INVALID_FUNCTION;

  BY_HANDLE_FILE_INFORMATION record{};
  int result = 0;
  if (creationDisposition != OPEN_EXISTING || !CachedRoot(name, &record)) {
    try {
      TFTPDevice& device = Device();
      // Looks the name up; false when it does not exist.
      auto lookup = [&]() {
        try {
          device.GetFileInfo(name, &record);
          return true;
        } catch (const EReFileNotFound&) {
          record = BY_HANDLE_FILE_INFORMATION{};
          return false;
        }
      };
      switch (creationDisposition) {
        case CREATE_NEW:
          if (lookup()) {
            result = -ERROR_ALREADY_EXISTS;
          } else {
            device.CreateEmptyFile(name);
          }
          break;
        case CREATE_ALWAYS:
          // A directory of that name is never replaced by an empty file.
          if (!lookup() || !IsDirectoryRecord(record)) {
            record = BY_HANDLE_FILE_INFORMATION{};
            device.CreateEmptyFile(name);
          }
          break;
        case OPEN_EXISTING:
          device.GetFileInfo(name, &record);
          break;
        case OPEN_ALWAYS:
          if (!lookup()) device.CreateEmptyFile(name);
          break;
        case TRUNCATE_EXISTING:
          device.GetFileInfo(name, &record);
          if (!IsDirectoryRecord(record)) device.CreateEmptyFile(name);
          break;
        default:
          break;
      }
    } catch (const EReFileNotFound&) {
      result = -ERROR_FILE_NOT_FOUND;
    } catch (const EReRefused& e) {
      result = -e.WindowsCode();
      LogError(e.what());
    } catch (const EIdProtocolReplyError& e) {
      const int code = RefusalCode(e.ErrorCode(), e.Message());
      result = code != wincode::kBadNetResponse ? -code : -ERROR_INVALID_FUNCTION;
      LogError(e.what());
    } catch (const Exception& e) {
      result = IsInterruption(e) ? -wincode::kOperationAborted : -ERROR_INVALID_FUNCTION;
      LogError(e.what());
    } catch (const std::exception& e) {
      result = -ERROR_INVALID_FUNCTION;
      LogError(e.what());
    } catch (...) {
      result = -ERROR_INVALID_FUNCTION;
      LogError("unknown failure");
    }
  }
  SetDirectory(info, record);
  if (IsDirectoryRecord(record) && creationDisposition != OPEN_EXISTING && result != -2) {
    result = -ERROR_INVALID_FUNCTION;
  }
  // A file's handle is counted: its last close sends a spooled file to the server.
  if (result == 0 && !IsDirectoryRecord(record) && info != nullptr && creationDisposition >= 1 &&
      creationDisposition <= 5 && FtpDevice) {
    info->Context = FtpDevice->OpenHandle(name);
  }
  return Exit(result);
}

int FtpOpenDirectory(LPCWSTR fileName, DOKAN_FILE_INFO* info) {
  std::string name = WideToAnsi(fileName);
  Log("FtpOpenDirectory: " + name);
  if (OwnerRefused(info)) return -ERROR_ACCESS_DENIED;
  if (!name.empty() && name.back() == '\\') name.pop_back();
  if (name.empty()) name = "\\";
  BY_HANDLE_FILE_INFORMATION record{};
  int result = 0;
  if (!CachedRoot(name, &record)) result = LookUp(name, &record);
  if (result == 0) SetDirectory(info, record);
  return Exit(result);
}

int FtpCreateDirectory(LPCWSTR fileName, DOKAN_FILE_INFO* info) {
  const std::string name = WideToAnsi(fileName);
  Log("FtpCreateDirectory: " + name);
  if (OwnerRefused(info)) return -ERROR_ACCESS_DENIED;
  return Exit(Run(kChangeCodes, [&](TFTPDevice& device) {
    device.CreateDir(name);
    return 0;
  }));
}

int FtpCleanup(LPCWSTR fileName, DOKAN_FILE_INFO* info) {
  const std::string name = WideToAnsi(fileName);
  Log("FtpCleanup: " + name);
  // The last close of a handle completes its upload, so other clients see the whole file and a
  // refused upload is reported to someone.
  if (info != nullptr && info->IsDirectory) {
    if (FtpDevice) FtpDevice->DirectoryClosed();
    return 0;
  }
  return Finish(name, info, true);
}

int FtpCloseFile(LPCWSTR fileName, DOKAN_FILE_INFO* /*info*/) {
  Log("FtpCloseFile: " + WideToAnsi(fileName));
  return 0;
}

int FtpFlushFileBuffers(LPCWSTR fileName, DOKAN_FILE_INFO* info) {
  const std::string name = WideToAnsi(fileName);
  Log("FtpFlushFileBuffers: " + name);
  if (info != nullptr && info->IsDirectory) return 0;
  return Finish(name, info, false);
}

int FtpReadFile(LPCWSTR fileName, void* buffer, DWORD bufferLength, DWORD* readLength,
                LONGLONG offset, DOKAN_FILE_INFO* info) {
  const std::string name = WideToAnsi(fileName);
  if (Debug()) {
    Log("FtpReadFile: " + name);
    Log("  Offset: " + std::to_string(offset));
    Log("  BufferLength: " + std::to_string(bufferLength));
  }
  if (OwnerRefused(info)) return -ERROR_ACCESS_DENIED;
  DWORD count = 0;
  const int result = Run(kTransferCodes, [&](TFTPDevice& device) {
    device.ReadAt(name, buffer, offset, bufferLength, &count);
    return 0;
  });
  if (result != 0) count = 0;
  if (readLength != nullptr) {
    *readLength = count;
    Log("  ReadLength: " + std::to_string(count));
  }
  return Exit(result);
}

int FtpWriteFile(LPCWSTR fileName, const void* buffer, DWORD numberOfBytesToWrite,
                 DWORD* numberOfBytesWritten, LONGLONG offset, DOKAN_FILE_INFO* /*info*/) {
  const std::string name = WideToAnsi(fileName);
  if (Debug()) {
    Log("FtpWriteFile: " + name);
    Log("  Offset: " + std::to_string(offset));
    Log("  NumberOfBytesToWrite: " + std::to_string(numberOfBytesToWrite));
  }
  DWORD count = 0;
  const int result = Run(kTransferCodes, [&](TFTPDevice& device) {
    device.WriteAt(name, buffer, offset, numberOfBytesToWrite, &count);
    // Bytes that were handed over but not taken are a failed write, never a success.
    if (offset >= 0 && count != numberOfBytesToWrite) {
      throw Exception("the upload took " + std::to_string(count) + " of " +
                      std::to_string(numberOfBytesToWrite) + " bytes");
    }
    return 0;
  });
  if (result != 0) count = 0;
  if (numberOfBytesWritten != nullptr) {
    *numberOfBytesWritten = count;
    Log("  NumberOfBytesWritten: " + std::to_string(count));
  }
  return Exit(result);
}

int FtpGetFileInformation(LPCWSTR fileName, BY_HANDLE_FILE_INFORMATION* buffer,
                          DOKAN_FILE_INFO* info) {
  const std::string name = WideToAnsi(fileName);
  Log("FtpGetFileInformation: " + name);
  if (OwnerRefused(info)) return -ERROR_ACCESS_DENIED;
  BY_HANDLE_FILE_INFORMATION record{};
  int result = 0;
  if (!CachedRoot(name, &record)) result = LookUp(name, &record);
  if (result == 0) {
    if (buffer != nullptr) *buffer = record;
    SetDirectory(info, record);
  }
  return Exit(result);
}

int FtpFindFiles(LPCWSTR pathName, PFillFindData fill, DOKAN_FILE_INFO* info) {
  std::string path = WideToAnsi(pathName);
  Log("FtpFindFiles: " + path);
  if (OwnerRefused(info)) return -ERROR_ACCESS_DENIED;
  if (path.find('*') != std::string::npos) {
    // Only "\" ends a directory part here: ":" is an ordinary name character on the server.
    std::string::size_type slash = path.rfind('\\');
    path = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  }
  if (path.empty() || path.back() != '\\') path += '\\';
  // A snapshot of the directory, handed over without holding anything of the device.
  std::vector<TDirectoryEntry> entries;
  const int result = Run({kAsOther, kAsOther, -ERROR_REM_NOT_LIST}, [&](TFTPDevice& device) {
    device.ReadDirectory(path, &entries);
    return 0;
  });
  if (result == 0 && fill != nullptr) {
    for (const TDirectoryEntry& e : entries) {
      WIN32_FIND_DATAW data;
      TFTPDevice::EntryToFindData(e.name == "." ? std::string(1, ListingMarker) : e.name, e.record,
                                  &data);
      fill(&data, info);
    }
  }
  return Exit(result);
}

int FtpDeleteFile(LPCWSTR fileName, DOKAN_FILE_INFO* info) {
  const std::string name = WideToAnsi(fileName);
  Log("FtpDeleteFile: " + name);
  if (OwnerRefused(info)) return -ERROR_ACCESS_DENIED;
  return Exit(Run(kChangeCodes, [&](TFTPDevice& device) {
    device.RemoveFile(name);
    return 0;
  }));
}

int FtpDeleteDirectory(LPCWSTR fileName, DOKAN_FILE_INFO* info) {
  const std::string name = WideToAnsi(fileName);
  Log("FtpDeleteDirectory: " + name);
  if (OwnerRefused(info)) return -ERROR_ACCESS_DENIED;
  return Exit(Run(kChangeCodes, [&](TFTPDevice& device) {
    device.RemoveDir(name);
    return 0;
  }));
}

int FtpMoveFile(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL replaceIfExisting,
                DOKAN_FILE_INFO* /*info*/) {
  const std::string oldName = WideToAnsi(existingFileName);
  const std::string newName = WideToAnsi(newFileName);
  if (Debug()) {
    Log("FtpMoveFile: " + oldName);
    Log("  NewFileName: " + newName);
    Log("  ReplaceIfExisting: " + std::string(Bool(replaceIfExisting != 0)));
  }
  return Exit(Run(kChangeCodes, [&](TFTPDevice& device) {
    bool taken = false;
    if (!replaceIfExisting) {
      // Servers replace an existing target silently, so "do not replace" is checked here.
      BY_HANDLE_FILE_INFORMATION record{};
      try {
        device.GetFileInfo(newName, &record);
        taken = true;
      } catch (const EReFileNotFound&) {
      }
    }
    if (taken) return -ERROR_ALREADY_EXISTS;
    device.Rename(oldName, newName);
    return 0;
  }));
}

int FtpSetEndOfFile(LPCWSTR fileName, LONGLONG byteOffset, DOKAN_FILE_INFO* /*info*/) {
  const std::string name = WideToAnsi(fileName);
  if (Debug()) {
    Log("FtpSetEndOfFile: " + name);
    Log("  ByteOffset: " + std::to_string(byteOffset));
  }
  if (byteOffset < 0) return Exit(-ERROR_INVALID_FUNCTION);
  // Any other length than 0 or the same needs the spool: without it, refused (-1).
  return Exit(
      Run({kAsOther, -ERROR_INVALID_FUNCTION, -ERROR_BAD_NET_RESP}, [&](TFTPDevice& device) {
        device.SetFileSize(name, static_cast<ULONGLONG>(byteOffset));
        return 0;
      }));
}

int FtpGetVolumeInformation(LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                            DWORD* volumeSerialNumber, DWORD* maximumComponentLength,
                            DWORD* fileSystemFlags, LPWSTR fileSystemNameBuffer,
                            DWORD fileSystemNameSize, DOKAN_FILE_INFO* info) {
  Log("FtpGetVolumeInformation");
  if (OwnerRefused(info)) return -ERROR_ACCESS_DENIED;
  if (info == nullptr) return Exit(-ERROR_GEN_FAILURE);
  int result = 0;
  if (volumeNameBuffer != nullptr && volumeNameSize > 0) volumeNameBuffer[0] = 0;
  try {
    // Fixed values of the mount: read without DeviceLock.
    Device().GetVolumeInfo(volumeNameBuffer, volumeNameSize, volumeSerialNumber,
                           maximumComponentLength, fileSystemFlags, fileSystemNameBuffer,
                           fileSystemNameSize);
  } catch (const std::exception& e) {
    result = -ERROR_GEN_FAILURE;
    LogError(Describe(e));
  } catch (...) {
    result = -ERROR_GEN_FAILURE;
  }
  if (volumeNameBuffer != nullptr && volumeNameSize > 0) {
    volumeNameBuffer[volumeNameSize - 1] = 0;
    Log("  lpVolumeNameBuffer: " + WideToAnsi(volumeNameBuffer));
  }
  return Exit(result);
}

int FtpSetFileTime(LPCWSTR fileName, const FILETIME* /*creationTime*/,
                   const FILETIME* /*lastAccessTime*/, const FILETIME* lastWriteTime,
                   DOKAN_FILE_INFO* info) {
  const std::string name = WideToAnsi(fileName);
  Log("FtpSetFileTime: " + name);
  if (OwnerRefused(info)) return -ERROR_ACCESS_DENIED;
  if (lastWriteTime == nullptr) return Exit(0);
  return Exit(Run(kChangeCodes, [&](TFTPDevice& device) {
    device.SetFileTime(name, *lastWriteTime);
    return 0;
  }));
}

int FtpGetFileMode(LPCWSTR fileName, DWORD* mode, DOKAN_FILE_INFO* info) {
  if (OwnerRefused(info)) return -ERROR_ACCESS_DENIED;
  const std::string name = WideToAnsi(fileName);
  return Run(kLookupCodes, [&](TFTPDevice& device) {
    *mode = device.GetFileMode(name);
    return 0;
  });
}

int FtpSetFileMode(LPCWSTR fileName, DWORD mode, DOKAN_FILE_INFO* info) {
  const std::string name = WideToAnsi(fileName);
  Log("FtpSetFileMode: " + name);
  if (OwnerRefused(info)) return -ERROR_ACCESS_DENIED;
  return Exit(Run(kChangeCodes, [&](TFTPDevice& device) {
    device.SetFileMode(name, mode);
    return 0;
  }));
}

int FtpUnmount(DOKAN_FILE_INFO* /*info*/) {
  Log("FtpUnmount");
  return 0;
}

void FillOperations(DOKAN_OPERATIONS* operations) {
  if (operations == nullptr) return;
  *operations = DOKAN_OPERATIONS{};
  operations->CreateFile = FtpCreateFile;
  operations->OpenDirectory = FtpOpenDirectory;
  operations->CreateDirectory = FtpCreateDirectory;
  operations->Cleanup = FtpCleanup;
  operations->CloseFile = FtpCloseFile;
  operations->ReadFile = FtpReadFile;
  operations->WriteFile = FtpWriteFile;
  operations->FlushFileBuffers = FtpFlushFileBuffers;
  operations->GetFileInformation = FtpGetFileInformation;
  operations->FindFiles = FtpFindFiles;
  operations->DeleteFile = FtpDeleteFile;
  operations->DeleteDirectory = FtpDeleteDirectory;
  operations->MoveFile = FtpMoveFile;
  operations->SetEndOfFile = FtpSetEndOfFile;
  operations->GetVolumeInformation = FtpGetVolumeInformation;
  operations->SetFileTime = FtpSetFileTime;
  operations->Unmount = FtpUnmount;
}

void FillExtensions(VELDRA_EXTENSIONS* extensions) {
  if (extensions == nullptr) return;
  *extensions = VELDRA_EXTENSIONS{};
  extensions->GetFileMode = FtpGetFileMode;
  extensions->SetFileMode = FtpSetFileMode;
}
