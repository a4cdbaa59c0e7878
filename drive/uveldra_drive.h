// The drive adapter: the callbacks through which file-system requests reach the one FTP device,
// and the process-wide state they share.
//
// Rules every callback keeps:
//  - With DebugMode set it writes its header and argument lines first and "  -->Ext: <code>"
//    last (FtpCleanup, FtpCloseFile, FtpUnmount write only their header).
//  - Callbacks with an owner check return -5 at once (no further line) when OwnerUser is not ""
//    and info is null, or info->ProcessId is not the serving process itself (the library's own
//    queries) and its user (veldra::platform::ProcessUser) is neither OwnerUser nor the
//    system's superuser (an unknown user included).
//  - Device calls take no lock of the drive's: the device is thread-safe, and metadata it
//    has cached never waits for the server.
//  - A refusal the device explains (EReRefused) returns its Windows code; a request whose
//    caller was interrupted returns -995 (ERROR_OPERATION_ABORTED).
//  - No exception leaves a callback: each is mapped to 0 or a negative Windows error code.
//  - Names are UTF-16 drive paths ("\" = root); they reach the device as 8-bit strings through
//    veldra::platform::WideToAnsi, byte for byte.
// Callbacks may run on several threads at once. FtpDevice must be set, and stay set, from before
// DokanMain until it returns; a null FtpDevice makes device callbacks fail (never crash).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "drive/Dokan.h"

class TFTPDevice;

// The device of the mount. Owned here; set by the mount host before DokanMain and reset after
// it returned (so no callback runs meanwhile). The device itself is thread-safe.
extern std::unique_ptr<TFTPDevice> FtpDevice;

// The only user besides the superuser allowed to use the drive, in the form of
// veldra::platform::ProcessUser; "" lets every user in. Set before DokanMain and left alone
// while the drive is served (the callbacks read it without a lock).
extern std::string OwnerUser;

// Fills all 25 slots: the Ftp* callbacks below, null for the slots the drive leaves empty
// (FindFilesWithPattern, SetFileAttributes, SetFileTime, SetAllocationSize, LockFile, UnlockFile,
// GetDiskFreeSpace, GetFileSecurity, SetFileSecurity).
void FillOperations(DOKAN_OPERATIONS* operations);

// Opens or creates a name by disposition (CREATE_NEW 1 ... TRUNCATE_EXISTING 5).
// 0; -1 for DELETE_ON_CLOSE, a directory opened with another disposition than OPEN_EXISTING, or a
// device failure; -2 missing; -5 owner; -183 CREATE_NEW onto an existing file.
int FtpCreateFile(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                  DWORD flagsAndAttributes, DOKAN_FILE_INFO* info);
// 0 when the name exists (IsDirectory set for a directory); -2 missing; -5 owner; -53 failure.
int FtpOpenDirectory(LPCWSTR fileName, DOKAN_FILE_INFO* info);
// 0; -5 owner; -58 any failure (an existing name included).
int FtpCreateDirectory(LPCWSTR fileName, DOKAN_FILE_INFO* info);
// End of a handle. Finishes an open upload of the name on the server: 0, or -53 when the
// server refuses the finished upload.
int FtpCleanup(LPCWSTR fileName, DOKAN_FILE_INFO* info);
// Only logs: 0.
int FtpCloseFile(LPCWSTR fileName, DOKAN_FILE_INFO* info);
// Reads up to bufferLength bytes at offset; *readLength (may be null) gets the count, 0 at end
// of file. 0; -2 missing or directory; -5 owner; -25 offset the server cannot serve; -53 failure.
int FtpReadFile(LPCWSTR fileName, void* buffer, DWORD bufferLength, DWORD* readLength,
                LONGLONG offset, DOKAN_FILE_INFO* info);
// Writes at offset 0 (whole replacement) or at the end of the file (append).
// 0; -2 missing or directory; -25 any other offset; -53 failed upload (nothing written).
int FtpWriteFile(LPCWSTR fileName, const void* buffer, DWORD numberOfBytesToWrite,
                 DWORD* numberOfBytesWritten, LONGLONG offset, DOKAN_FILE_INFO* info);
// Finishes an open upload of the name on the server before returning: 0, or -53 when the
// server refuses the finished upload.
int FtpFlushFileBuffers(LPCWSTR fileName, DOKAN_FILE_INFO* info);
// Fills *buffer for the name. 0; -2 missing; -5 owner; -53 failure.
int FtpGetFileInformation(LPCWSTR fileName, BY_HANDLE_FILE_INFORMATION* buffer,
                          DOKAN_FILE_INFO* info);
// Hands every entry of the directory ("." and ".." first) to fill, holding DeviceLock over the
// whole enumeration. A "*" in the path lists its directory part. 0; -5 owner; -51 failure.
int FtpFindFiles(LPCWSTR pathName, PFillFindData fill, DOKAN_FILE_INFO* info);
// 0; -5 owner; -58 failure (a missing name included).
int FtpDeleteFile(LPCWSTR fileName, DOKAN_FILE_INFO* info);
// 0; -5 owner; -58 failure (a non-empty directory included).
int FtpDeleteDirectory(LPCWSTR fileName, DOKAN_FILE_INFO* info);
// Renames. 0; -183 when replaceIfExisting is FALSE and the new name exists (nothing renamed);
// -58 failure.
int FtpMoveFile(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL replaceIfExisting,
                DOKAN_FILE_INFO* info);
// Sets the size: 0 when it already has that size or the new size is 0 (emptied); -1 any other
// size; -58 failure.
int FtpSetEndOfFile(LPCWSTR fileName, LONGLONG byteOffset, DOKAN_FILE_INFO* info);
// Volume name "ftp://host/path", serial, 260, flags 7, "VELDRA"; a name that does not fit its
// buffer is left empty. 0; -5 owner; -31 null info or failure.
int FtpGetVolumeInformation(LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                            DWORD* volumeSerialNumber, DWORD* maximumComponentLength,
                            DWORD* fileSystemFlags, LPWSTR fileSystemNameBuffer,
                            DWORD fileSystemNameSize, DOKAN_FILE_INFO* info);
// Sets the last-write time (the other two are not kept). 0; -5 owner; a refusal's code; -58.
int FtpSetFileTime(LPCWSTR fileName, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                   const FILETIME* lastWriteTime, DOKAN_FILE_INFO* info);
// The permission bits shown for a name. 0; -2 missing; -5 owner; -53 failure.
int FtpGetFileMode(LPCWSTR fileName, DWORD* mode, DOKAN_FILE_INFO* info);
// Sets the permission bits. 0; -5 owner; a refusal's code; -58 failure.
int FtpSetFileMode(LPCWSTR fileName, DWORD mode, DOKAN_FILE_INFO* info);
// Only logs: 0.
int FtpUnmount(DOKAN_FILE_INFO* info);

// Fills the requests a POSIX file system makes beyond the table: FtpGetFileMode, FtpSetFileMode.
void FillExtensions(VELDRA_EXTENSIONS* extensions);
