// The user-mode file-system library interface the drive adapter is written against: two entry
// points and one table of callbacks. On Linux it is served by drive/DokanFuse.cpp over libfuse3;
// the callbacks keep their Windows shapes (UTF-16 names, DWORD counts, negative Windows error
// codes) so that the adapter is the same code on every platform.
#pragma once

#include <cstdint>

#include "device/WinTypes.h"

using USHORT = std::uint16_t;
using ULONG = std::uint32_t;
using ULONG64 = std::uint64_t;
using UCHAR = std::uint8_t;
using LPCWSTR = const WCHAR*;
using LPWSTR = WCHAR*;

// Option flags of DOKAN_OPTIONS::Options.
constexpr ULONG DOKAN_OPTION_DEBUG = 1;   // the library logs its own traffic
constexpr ULONG DOKAN_OPTION_STDERR = 2;  // ... on standard error

// Results of DokanMain.
constexpr int DOKAN_SUCCESS = 0;
constexpr int DOKAN_ERROR = -1;                 // general failure (bad arguments included)
constexpr int DOKAN_DRIVE_LETTER_ERROR = -2;    // the mount point is not a letter A-Z
constexpr int DOKAN_DRIVER_INSTALL_ERROR = -3;  // the kernel driver (/dev/fuse) is unusable
constexpr int DOKAN_START_ERROR = -4;           // the library could not be set up
constexpr int DOKAN_MOUNT_ERROR = -5;           // the mount itself was refused
constexpr int DOKAN_MOUNT_POINT_ERROR = -6;     // the mount point cannot be made or is taken

// Windows error codes the callbacks return, negated.
constexpr int ERROR_INVALID_FUNCTION = 1;
constexpr int ERROR_FILE_NOT_FOUND = 2;
constexpr int ERROR_ACCESS_DENIED = 5;
constexpr int ERROR_SEEK = 25;
constexpr int ERROR_GEN_FAILURE = 31;
constexpr int ERROR_REM_NOT_LIST = 51;
constexpr int ERROR_BAD_NETPATH = 53;
constexpr int ERROR_BAD_NET_RESP = 58;
constexpr int ERROR_ALREADY_EXISTS = 183;
// More reasons a request fails, as the device reports them (device/DeviceErrors.h).
constexpr int ERROR_PATH_NOT_FOUND = 3;
constexpr int ERROR_DISK_FULL = 112;
constexpr int ERROR_INVALID_NAME = 123;
constexpr int ERROR_DIR_NOT_EMPTY = 145;
constexpr int ERROR_BUSY = 170;
constexpr int ERROR_FILENAME_EXCED_RANGE = 206;
constexpr int ERROR_DIRECTORY = 267;
constexpr int ERROR_OPERATION_ABORTED = 995;
constexpr int ERROR_DISK_QUOTA_EXCEEDED = 1295;

// Creation dispositions and flags handed to CreateFile.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;

// Interface version this program speaks.
constexpr USHORT DOKAN_VERSION = 600;

struct DOKAN_OPTIONS {
  USHORT Version;           // DOKAN_VERSION
  USHORT ThreadCount;       // serving threads; 0 means the library's default
  ULONG Options;            // DOKAN_OPTION_* flags
  ULONG64 GlobalContext;    // free for the program
  const WCHAR* MountPoint;  // the drive letter alone, zero-terminated (no colon, no backslash)
};

// Per-request information. The library fills it before each callback; callbacks read ProcessId
// and set IsDirectory. Context is the program's; DokanContext belongs to the library.
struct DOKAN_FILE_INFO {
  ULONG64 Context;
  ULONG64 DokanContext;
  DOKAN_OPTIONS* DokanOptions;
  ULONG ProcessId;  // the requesting process (not thread)
  UCHAR IsDirectory;
  UCHAR DeleteOnClose;
  UCHAR PagingIo;
  UCHAR SynchronousIo;
  UCHAR Nocache;
  UCHAR WriteToEndOfFile;
};

// Handed to FindFiles; called once per entry. The result is 0, or 1 when the caller's buffer is
// full (callers may ignore it).
using PFillFindData = int (*)(WIN32_FIND_DATAW* findData, DOKAN_FILE_INFO* fileInfo);

// Opaque security types of the two unused security slots.
using PSECURITY_INFORMATION = ULONG*;
using PSECURITY_DESCRIPTOR = void*;

// The callback table. Every callback returns 0 for success or a negative Windows error code.
// A null slot makes the library answer the request itself (or refuse it).
struct DOKAN_OPERATIONS {
  int (*CreateFile)(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                    DWORD creationDisposition, DWORD flagsAndAttributes, DOKAN_FILE_INFO* info);
  int (*OpenDirectory)(LPCWSTR fileName, DOKAN_FILE_INFO* info);
  int (*CreateDirectory)(LPCWSTR fileName, DOKAN_FILE_INFO* info);
  int (*Cleanup)(LPCWSTR fileName, DOKAN_FILE_INFO* info);
  int (*CloseFile)(LPCWSTR fileName, DOKAN_FILE_INFO* info);
  int (*ReadFile)(LPCWSTR fileName, void* buffer, DWORD bufferLength, DWORD* readLength,
                  LONGLONG offset, DOKAN_FILE_INFO* info);
  int (*WriteFile)(LPCWSTR fileName, const void* buffer, DWORD numberOfBytesToWrite,
                   DWORD* numberOfBytesWritten, LONGLONG offset, DOKAN_FILE_INFO* info);
  int (*FlushFileBuffers)(LPCWSTR fileName, DOKAN_FILE_INFO* info);
  int (*GetFileInformation)(LPCWSTR fileName, BY_HANDLE_FILE_INFORMATION* buffer,
                            DOKAN_FILE_INFO* info);
  int (*FindFiles)(LPCWSTR pathName, PFillFindData fill, DOKAN_FILE_INFO* info);
  int (*FindFilesWithPattern)(LPCWSTR pathName, LPCWSTR searchPattern, PFillFindData fill,
                              DOKAN_FILE_INFO* info);
  int (*SetFileAttributes)(LPCWSTR fileName, DWORD fileAttributes, DOKAN_FILE_INFO* info);
  int (*SetFileTime)(LPCWSTR fileName, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                     const FILETIME* lastWriteTime, DOKAN_FILE_INFO* info);
  int (*DeleteFile)(LPCWSTR fileName, DOKAN_FILE_INFO* info);
  int (*DeleteDirectory)(LPCWSTR fileName, DOKAN_FILE_INFO* info);
  int (*MoveFile)(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL replaceIfExisting,
                  DOKAN_FILE_INFO* info);
  int (*SetEndOfFile)(LPCWSTR fileName, LONGLONG byteOffset, DOKAN_FILE_INFO* info);
  int (*SetAllocationSize)(LPCWSTR fileName, LONGLONG allocSize, DOKAN_FILE_INFO* info);
  int (*LockFile)(LPCWSTR fileName, LONGLONG byteOffset, LONGLONG length, DOKAN_FILE_INFO* info);
  int (*UnlockFile)(LPCWSTR fileName, LONGLONG byteOffset, LONGLONG length, DOKAN_FILE_INFO* info);
  int (*GetDiskFreeSpace)(ULONGLONG* freeBytesAvailable, ULONGLONG* totalNumberOfBytes,
                          ULONGLONG* totalNumberOfFreeBytes, DOKAN_FILE_INFO* info);
  int (*GetVolumeInformation)(LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                              DWORD* volumeSerialNumber, DWORD* maximumComponentLength,
                              DWORD* fileSystemFlags, LPWSTR fileSystemNameBuffer,
                              DWORD fileSystemNameSize, DOKAN_FILE_INFO* info);
  int (*Unmount)(DOKAN_FILE_INFO* info);
  int (*GetFileSecurity)(LPCWSTR fileName, PSECURITY_INFORMATION securityInformation,
                         PSECURITY_DESCRIPTOR securityDescriptor, ULONG bufferLength,
                         ULONG* lengthNeeded, DOKAN_FILE_INFO* info);
  int (*SetFileSecurity)(LPCWSTR fileName, PSECURITY_INFORMATION securityInformation,
                         PSECURITY_DESCRIPTOR securityDescriptor, ULONG securityDescriptorLength,
                         DOKAN_FILE_INFO* info);
};

// Requests of a POSIX file system that the Windows table has no slot for. On Linux the mount
// host hands this table to the file-system layer in DOKAN_OPTIONS::GlobalContext (a pointer;
// 0 = none); the Windows library never looks at it. Slots may be null.
struct VELDRA_EXTENSIONS {
  // The permission bits (07777) to show for a name.
  int (*GetFileMode)(LPCWSTR fileName, DWORD* mode, DOKAN_FILE_INFO* info);
  // chmod.
  int (*SetFileMode)(LPCWSTR fileName, DWORD mode, DOKAN_FILE_INFO* info);
};

// Mounts the drive named by options->MountPoint and serves it through operations until it is
// unmounted (DokanRemoveMountPoint, or the process's SIGINT/SIGTERM/SIGHUP). Blocks meanwhile.
// Returns DOKAN_SUCCESS after the unmount, or one of the negative DOKAN_* mount failures, in
// which case no callback has been called. Neither pointer may be null; both must stay valid until
// it returns. Only one mount per process at a time.
int DokanMain(DOKAN_OPTIONS* options, DOKAN_OPERATIONS* operations);

// Unmounts the drive whose letter is mountPoint[0]; the serving DokanMain then returns.
// Returns nonzero on success, 0 when the letter is invalid or nothing could be unmounted.
// Callable from any process and thread.
BOOL DokanRemoveMountPoint(LPCWSTR mountPoint);
