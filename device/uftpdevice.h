// The remote file system as the drive sees it: one FTP device per mount.
//
// Paths. Drive paths are 8-bit (UTF-8) strings that start with "\" and use "\" as the only
// separator (":" is an ordinary name character). A directory path that is listed or
// enumerated ends with "\"; the path of an entry does not. Remote paths are absolute server
// paths with "/" under the remote root given at mount.
//
// Threads. Nothing here takes a lock. Every member of TFTPDevice is called by one thread at a
// time under the drive's DeviceLock, except GetVolumeInfo and GetCachedRootInfo, which read
// only values fixed at construction and the root record published once (see RootInfo below).
//
// Errors are exceptions: EReFileNotFound and EFilerError from the device itself, EReBadPath
// for a path the protocol cannot carry, and the transport and protocol family (EIdException
// and below) from the session after its one reconnect-and-retry.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "device/DeviceSettings.h"
#include "device/WinTypes.h"
#include "platform/Exception.h"

// Process-wide debug switch: set by the mount host before the device is created; the session
// writes its "    FTP SendCmd: ..." lines and the drive its callback lines only when it is true.
extern std::atomic<bool> DebugMode;

VELDRA_EXCEPTION(EReFileNotFound,
                 Exception);               // missing name, or a directory where a file is needed
VELDRA_EXCEPTION(EFilerError, Exception);  // an offset the device cannot serve
// A path with CR, LF or NUL: it would split or cut the command line, so it is refused before
// anything is sent (and without a reconnect).
VELDRA_EXCEPTION(EReBadPath, Exception);

class TReFtp;          // the resilient session (device/ureftp.h, derives from TIdFTP)
class TIdFTPListItem;  // a parsed listing entry (ftp/IdFTPList.h)

// The name of a directory's marker key: directory path + this one character.
constexpr char ListingMarker = '\x01';

// The directory cache: one 52-byte file record per drive path that appeared in a listing,
// plus one marker key per listed directory. Keys are ordered by CompareKeys, so each
// directory's marker and direct entries are contiguous, marker first. Indexes are valid until
// the next insertion or removal. Owns its records. No lock.
class TFTPDeviceFileList {
 public:
  TFTPDeviceFileList() = default;
  TFTPDeviceFileList(const TFTPDeviceFileList&) = delete;
  TFTPDeviceFileList& operator=(const TFTPDeviceFileList&) = delete;

  // Backslashes in every character of the key except its last one: "\" is 0, "\a" and
  // "\b\" are 1, "\b\c" is 2.
  static int KeyDepth(const std::string& key);
  // Negative when a sorts first: by depth, then byte-wise (unsigned) text order; 0 when equal.
  static int CompareKeys(const std::string& a, const std::string& b);
  // Days since 1899-12-30 (fraction = time of day) to 100-ns intervals since 1601-01-01,
  // rounded to the nearest interval, no time-zone conversion. Dates before 1601 (and NaN)
  // give 0.
  static ULONGLONG ToFileTime(double dateTime);

  // True when key is present; index is its position, or where it would be inserted.
  bool Find(const std::string& key, int* index) const;
  int Count() const { return static_cast<int>(entries_.size()); }
  const std::string& Key(int index) const { return entries_.at(index).first; }
  BY_HANDLE_FILE_INFORMATION& Record(int index) { return entries_.at(index).second; }
  const BY_HANDLE_FILE_INFORMATION& Record(int index) const { return entries_.at(index).second; }

  // Inserts (or, when present, updates in place) the key dirPath + item.EntryName with a
  // record built from the item's Kind, ByteSize and Modified. Returns the key's index.
  int AddEntry(const std::string& dirPath, int32_t listingNumber, int32_t entryNumber,
               DWORD volumeSerial, const TIdFTPListItem& item);
  // The same from the item's parts. attributes 0 leaves a new record's field 0 (and an
  // existing record's field as it was), as an unknown kind does.
  int AddRecord(const std::string& dirPath, int32_t listingNumber, int32_t entryNumber,
                DWORD volumeSerial, const std::string& name, DWORD attributes, int64_t byteSize,
                double modified);

  // One entry of a listing for AddRecords.
  struct TNewEntry {
    std::string name;
    DWORD attributes;
    int64_t byteSize;
    double modified;
    int32_t entryNumber;
  };
  // Adds a whole listing of dirPath: the same result as AddRecord for each entry in order (a
  // name given twice keeps the later values), but in O((n + m) log m) time for m entries into
  // n keys, so that a large unsorted listing does not move the list once per entry.
  void AddRecords(const std::string& dirPath, int32_t listingNumber, DWORD volumeSerial,
                  const std::vector<TNewEntry>& newEntries);

  // Removes key and its record when present; otherwise nothing.
  void DropKey(const std::string& key);
  // Removes a directory's listing before it is listed again: its marker and its direct
  // entries (dirPath ends in "\"). The root's own entry "\" stays.
  void DropListing(const std::string& dirPath);
  // Removes path (no trailing "\") and every key below it: its marker and all deeper keys.
  void DropSubtree(const std::string& path);

 private:
  std::vector<std::pair<std::string, BY_HANDLE_FILE_INFORMATION>> entries_;
};

class TFTPDevice {
 public:
  // Connects, logs in, lists the root, probes REST. Raises on any failure (nothing leaks).
  // The session's control read time-out is 5000 ms.
  explicit TFTPDevice(const TDeviceSettings& settings);
  // Finishes (never aborts) an open upload, then closes the session. Never raises.
  ~TFTPDevice();
  TFTPDevice(const TFTPDevice&) = delete;
  TFTPDevice& operator=(const TFTPDevice&) = delete;

  // Lists dirPath (ending in "\") unless its listing is cached. A directory listed again
  // first loses its old keys. A failed listing adds nothing.
  void LoadDirectory(const std::string& dirPath);
  // Starts the device's one enumeration cursor at dirPath's marker (presented as "."); false
  // when the directory has no listing. FindNext walks the directory's keys in key order.
  bool FindFirst(const std::string& dirPath, WIN32_FIND_DATAW* data);
  bool FindNext(WIN32_FIND_DATAW* data);
  // Copies the cached record of path, listing its directory first when needed. Raises
  // EReFileNotFound when the listing does not show path. info null: does nothing.
  void GetFileInfo(const std::string& path, BY_HANDLE_FILE_INFORMATION* info);
  // Lock-free: true and a copy of the root record when path is "\" and the root record is known.
  bool GetCachedRootInfo(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) const;
  // Lock-free. Sizes are in wide characters; any pointer may be null.
  void GetVolumeInfo(WCHAR* volumeName, DWORD volumeNameSize, DWORD* serial,
                     DWORD* maxComponentLength, DWORD* flags, WCHAR* fsName,
                     DWORD fsNameSize) const;

  // MKD; the parent is listed again on its next use.
  void CreateDir(const std::string& path);
  // RMD; the directory's whole subtree leaves the cache.
  void RemoveDir(const std::string& path);
  // DELE; the key leaves the cache.
  void RemoveFile(const std::string& path);
  // DELE when cached, then an open zero-byte APPE transfer that creates the file.
  void CreateEmptyFile(const std::string& path);
  // RNFR/RNTO; the old path's subtree and the new parent's listing leave the cache.
  void Rename(const std::string& oldPath, const std::string& newPath);
  // Pointers for counts may be null. ReadAt: EOF = 0 bytes, no exception. Raises
  // EReFileNotFound for an unknown path or a directory, EFilerError for an offset above 0
  // when the server has no REST.
  void ReadAt(const std::string& path, void* buffer, LONGLONG offset, DWORD count, DWORD* read);
  // Accepts offset 0 (rewrite, at least as long as the old content) or the cached size
  // (append); EFilerError otherwise. Raises on a failed upload (after marking the cached size
  // all ones).
  void WriteAt(const std::string& path, const void* data, LONGLONG offset, DWORD count,
               DWORD* written);
  // Finishes the open upload of path now, if there is one (shutdown send side, close, read the
  // completion reply; no ABOR) and raises when the server refuses the completed upload.
  // Does nothing when no upload of path is open. A refusal met earlier, when the upload of
  // path was finished by another request, is raised here once.
  void FinishUpload(const std::string& path);

  const std::string& VolumeName() const { return volumeName_; }
  DWORD VolumeSerial() const { return volumeSerial_; }
  // The remote root in backslash form: empty, or "\" + path without a trailing separator.
  const std::string& RemoteRoot() const { return remoteRoot_; }
  TReFtp& Session();  // for tests and logging
  const TFTPDeviceFileList& DirectoryCache() const { return *cache_; }

  // RemoteRoot + drivePath with every "\" turned into "/".
  std::string ToRemotePath(const std::string& drivePath) const;

  // The rules behind construction, exposed for tests.
  // Remote path from the command line to the remote root: "/" added in front when missing,
  // one trailing "/" removed, "/" turned into "\"; "" stays "".
  static std::string MakeRemoteRoot(const std::string& remotePath);
  // Soundex-based serial of a volume name: ftp://10.0.0.1/pub gives 58729.
  static DWORD SoundexSerial(const std::string& volumeName);
  // The directory part of path, up to and including its last "\" ("" when there is none).
  static std::string DirectoryPart(const std::string& path);
  // What follows the last "\".
  static std::string NamePart(const std::string& path);
  // Fills data from a cache key and its record: name part (a marker shows as "."), times,
  // size, listing and entry numbers. A name longer than 259 UTF-16 units leaves cFileName empty.
  static void EntryToFindData(const std::string& key, const BY_HANDLE_FILE_INFORMATION& record,
                              WIN32_FIND_DATAW* data);

 private:
  void MarkSizeUnknown(const std::string& path);

  std::unique_ptr<TFTPDeviceFileList> cache_;
  std::unique_ptr<TReFtp> session_;
  std::string remoteRoot_;
  std::string volumeName_;
  DWORD volumeSerial_ = 0;
  // Written once under DeviceLock, then published by rootInfoFilled_ (release); lock-free
  // readers load the flag (acquire) before they copy the record.
  BY_HANDLE_FILE_INFORMATION rootInfo_{};
  std::atomic<bool> rootInfoFilled_{false};
  int32_t enumIndex_ = 0;
  int32_t enumListing_ = 0;
  int32_t listingCount_ = 0;
  int32_t entryCount_ = 0;
};
