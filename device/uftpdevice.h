// The remote file system as the drive sees it: one FTP device per mount.
//
// Paths. Drive paths are 8-bit (UTF-8) strings that start with "\" and use "\" as the only
// separator (":" is an ordinary name character). A directory path that is listed or
// enumerated ends with "\"; the path of an entry does not. Remote paths are absolute server
// paths with "/" under the remote root given at mount.
//
// Threads. Every member may be called from any thread at once. The device runs requests on a
// pool of sessions (TSessionPool): a transfer never holds up a listing or another file, and
// metadata answered from the cache never waits for the server. Locks, in the only order in
// which they are ever held together:
//   1. a file's own lock (TFileState::lock): transfers and changes of one file, in order;
//   2. filesMutex_: the table of file states and the kept upload refusals;
//   3. the pool's lock (inside TSessionPool, held only briefly);
//   4. cacheMutex_: the directory cache and its counters.
// No lock but a file's own is ever held across network I/O.
//
// Errors are exceptions: EReFileNotFound and EFilerError from the device itself, EReBadPath
// for a path the protocol cannot carry, EReRefused for a refusal with the Windows code it
// means (device/DeviceErrors.h), and the transport and protocol family (EIdException and
// below) from the session after its one reconnect-and-retry.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device/DeviceErrors.h"
#include "device/DeviceSettings.h"
#include "device/Prefetcher.h"
#include "device/Spool.h"
#include "device/WinTypes.h"
#include "platform/Exception.h"
#include "platform/Mutex.h"

// Process-wide debug switch: set by the mount host before the device is created; the session
// writes its "    FTP SendCmd: ..." lines and the drive its callback lines only when it is true.
extern std::atomic<bool> DebugMode;

class TReFtp;           // the resilient session (device/ureftp.h, derives from TIdFTP)
class TSessionPool;     // device/SessionPool.h
struct TServerProfile;  // device/ureftp.h
class TIdFTPListItem;   // a parsed listing entry (ftp/IdFTPList.h)

// The name of a directory's marker key: directory path + this one character.
constexpr char ListingMarker = '\x01';

// One key of the directory cache with its file record and what the record cannot hold.
struct TCacheEntry {
  std::string Key;
  BY_HANDLE_FILE_INFORMATION Record{};
  std::uint16_t Mode = 0;  // permission bits (07777), valid when ModeKnown
  bool ModeKnown = false;
  // How exact the record's times are (TIdTimePrecision: 0 unknown ... 4 milliseconds).
  std::uint8_t Precision = 0;
  // The time is the drive's own guess (after its upload), not yet the server's.
  bool TimePending = false;
  // Markers: when the listing was fetched (steady clock, ms).
  std::int64_t ListedAtMs = 0;
};

// The directory cache: one entry per drive path that appeared in a listing, plus one marker
// key per listed directory. Keys are ordered by CompareKeys, so each directory's marker and
// direct entries are contiguous, marker first. Indexes are valid until the next insertion or
// removal. No lock: the device guards it.
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
  const std::string& Key(int index) const { return entries_.at(index).Key; }
  BY_HANDLE_FILE_INFORMATION& Record(int index) { return entries_.at(index).Record; }
  const BY_HANDLE_FILE_INFORMATION& Record(int index) const { return entries_.at(index).Record; }
  TCacheEntry& Entry(int index) { return entries_.at(index); }
  const TCacheEntry& Entry(int index) const { return entries_.at(index); }

  // Inserts (or, when present, updates in place) the key dirPath + name with a record built
  // from its parts: attributes 0 leaves a new record's field 0 (and an existing record's field
  // as it was); modified is a date-time (see ToFileTime). Returns the key's index.
  int AddRecord(const std::string& dirPath, int32_t listingNumber, int32_t entryNumber,
                DWORD volumeSerial, const std::string& name, DWORD attributes, int64_t byteSize,
                double modified);

  // One entry of a listing.
  struct TNewEntry {
    std::string name;
    DWORD attributes = 0;
    int64_t byteSize = 0;
    ULONGLONG ticks = 0;  // FILETIME value, 0 unknown
    std::uint8_t precision = 0;
    std::uint16_t mode = 0;
    bool modeKnown = false;
  };
  // Puts a fresh listing of dirPath in place of the old one: entries gone from the server go,
  // the others are updated, the marker (stamped listedAtMs) and ".." are added, and for "\"
  // the root's own entry when missing. Entry numbers continue from *entryCounter. An unchanged
  // entry keeps a time more exact than the new listing gives (same kind and size, the old
  // time inside the new one's precision), so a file's time never jumps because its directory
  // was listed again. A name given twice keeps the later values.
  void ReplaceListing(const std::string& dirPath, int32_t listingNumber, int32_t* entryCounter,
                      DWORD volumeSerial, std::vector<TNewEntry> newEntries,
                      std::int64_t listedAtMs);

  // Removes key and its record when present; otherwise nothing.
  void DropKey(const std::string& key);
  // Removes a directory's listing: its marker and its direct entries (dirPath ends in "\").
  // The root's own entry "\" stays.
  void DropListing(const std::string& dirPath);
  // Removes path (no trailing "\") and every key below it: its marker and all deeper keys.
  void DropSubtree(const std::string& path);

 private:
  std::vector<TCacheEntry> entries_;
};

// One name of a directory snapshot: what enumeration hands out.
struct TDirectoryEntry {
  std::string name;  // "." for the directory itself, ".." for its parent
  BY_HANDLE_FILE_INFORMATION record;
  DWORD mode;  // permission bits as shown (the server's, or 0755 / 0644)
};

class TFTPDevice {
 public:
  // Connects, logs in, lists the root, probes REST. Raises on any failure (nothing leaks).
  explicit TFTPDevice(const TDeviceSettings& settings);
  // Finishes (never aborts) open uploads, then closes the sessions. Never raises.
  ~TFTPDevice();
  TFTPDevice(const TFTPDevice&) = delete;
  TFTPDevice& operator=(const TFTPDevice&) = delete;

  // Lists dirPath (ending in "\") unless a listing younger than the settings' CacheSeconds is
  // cached. A failed listing leaves the cache as it was. Concurrent callers for one directory
  // share one listing.
  void LoadDirectory(const std::string& dirPath);
  // The entries of dirPath ("." first, then ".." and the names in key order), listing it
  // first when needed. False when the directory has no listing.
  bool ReadDirectory(const std::string& dirPath, std::vector<TDirectoryEntry>* entries);
  // An enumeration handed out by ReadDirectory is over (its directory handle was closed): the
  // memory a large one took goes back to the system.
  void DirectoryClosed();
  // The device's one enumeration cursor over ReadDirectory's result: starts at "."; false when
  // the directory has no listing. Not for concurrent enumerations (the drive uses
  // ReadDirectory).
  bool FindFirst(const std::string& dirPath, WIN32_FIND_DATAW* data);
  bool FindNext(WIN32_FIND_DATAW* data);
  // Copies the cached record of path, listing its directory first when needed. Raises
  // EReFileNotFound when the listing does not show path. info null: does nothing.
  void GetFileInfo(const std::string& path, BY_HANDLE_FILE_INFORMATION* info);
  // The permission bits shown for path: the server's, else 0755 for a directory and 0644 for
  // a file. From the cache when it holds path (however old its listing); else as GetFileInfo.
  DWORD GetFileMode(const std::string& path);
  // Lock-free: true and a copy of the root record when path is "\" and the root record is known.
  bool GetCachedRootInfo(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) const;
  // Lock-free. Sizes are in wide characters; any pointer may be null.
  void GetVolumeInfo(WCHAR* volumeName, DWORD volumeNameSize, DWORD* serial,
                     DWORD* maxComponentLength, DWORD* flags, WCHAR* fsName,
                     DWORD fsNameSize) const;

  // MKD; the new directory goes into its parent's cached listing.
  void CreateDir(const std::string& path);
  // RMD; the directory's whole subtree leaves the cache.
  void RemoveDir(const std::string& path);
  // DELE; the key leaves the cache.
  void RemoveFile(const std::string& path);
  // DELE when cached, then an open zero-byte APPE transfer that creates the file (and that the
  // first write continues); the new empty file goes into its parent's cached listing.
  void CreateEmptyFile(const std::string& path);
  // RNFR/RNTO; the old path's subtree and the new parent's listing leave the cache.
  void Rename(const std::string& oldPath, const std::string& newPath);
  // Pointers for counts may be null. ReadAt: EOF = 0 bytes, no exception; never more bytes
  // than the size the drive shows unless the drive is writing the file. Raises
  // EReFileNotFound for an unknown path or a directory, EFilerError for an offset above 0 when
  // the server has no REST.
  void ReadAt(const std::string& path, void* buffer, LONGLONG offset, DWORD count, DWORD* read);
  // Accepts offset 0 (rewrite, at least as long as the old content) or the size shown
  // (append); EFilerError otherwise. Raises on a failed upload (after marking the file's
  // size unknown: appends are refused until its directory is listed again).
  void WriteAt(const std::string& path, const void* data, LONGLONG offset, DWORD count,
               DWORD* written);
  // Finishes the open upload of path now, if there is one (shutdown send side, close, read the
  // completion reply; no ABOR), and raises the server's refusal of it, or a refusal met
  // earlier when another request finished that upload (each refusal is raised once, to the
  // first flush or close of path).
  void FinishUpload(const std::string& path);
  // A handle of path is opened / closed (the drive's open and last close). Returns the handle's
  // number (never 0). CloseHandle finishes what the handle left open: the open upload of the
  // file and, at the file's last close, the upload of a spooled file (whole, under a
  // temporary name, then renamed over the file). Raises what the server refused; the spooled
  // content is then kept for a later try.
  std::uint64_t OpenHandle(const std::string& path);
  void CloseHandle(std::uint64_t handle);
  // flush/fsync: FinishUpload, or the upload of a spooled file (which stays spooled while its
  // handles are open).
  void Flush(const std::string& path);
  // Sets the file's length. The same length does nothing; 0 starts the file anew on the
  // server; any other length spools the file. EFilerError when the spool is off.
  void SetFileSize(const std::string& path, ULONGLONG size);
  // Sets path's last-write time (MFMT, or MDTM with a time); accepted and ignored when the
  // server can do neither. Finishes an open upload of path first.
  void SetFileTime(const std::string& path, const FILETIME& lastWrite);
  // Sets path's permission bits (SITE CHMOD); accepted and ignored when the server has no
  // such command. Finishes an open upload of path first.
  void SetFileMode(const std::string& path, DWORD mode);

  const std::string& VolumeName() const { return volumeName_; }
  DWORD VolumeSerial() const { return volumeSerial_; }
  // The remote root in backslash form: empty, or "\" + path without a trailing separator.
  const std::string& RemoteRoot() const { return remoteRoot_; }
  const TDeviceSettings& Settings() const { return settings_; }
  TSessionPool& Pool() { return *pool_; }
  // A copy of the cache, for tests.
  std::vector<TCacheEntry> CacheSnapshot() const;

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
  // Longest name of one path component, bytes (what servers take; the drive says so).
  static constexpr DWORD kMaxNameLength = 255;

 private:
  // The state of one file that transfers and changes of it share.
  // Its lock orders the file's requests; the flags and figures are also read, without that
  // lock, by listings (under filesMutex_), hence atomic.
  struct TFileState {
    veldra::TMutex lock;
    int users = 0;  // references from requests in progress (guarded by filesMutex_)
    // An upload of the file is open, or was, on some session, or the file is spooled: size
    // and written (a file time) are the drive's, not a listing's.
    std::atomic<bool> writing{false};
    std::atomic<bool> spooled{false};
    std::atomic<ULONGLONG> size{0};
    std::atomic<ULONGLONG> written{0};
    // The server refused an upload: appends are refused until the directory is listed again.
    std::atomic<bool> broken{false};
    // Handles open on the file (OpenHandle .. CloseHandle); the last close sends a spooled
    // file to the server.
    int handles = 0;
    // The file's content while it is written out of order: every handle reads and writes it.
    std::unique_ptr<TSpoolFile> spool;
    // Deleted while spooled and open: its content is dropped at the last close.
    bool deleted = false;
  };
  // A reference to a file's state, counted while a request uses it.
  class TFileRef {
   public:
    TFileRef(TFTPDevice& device, const std::string& path);
    ~TFileRef();
    TFileRef(const TFileRef&) = delete;
    TFileRef& operator=(const TFileRef&) = delete;
    TFileState* operator->() const { return state_.get(); }
    TFileState& operator*() const { return *state_; }

   private:
    TFTPDevice& device_;
    std::string path_;
    std::shared_ptr<TFileState> state_;
  };

  // The cache record of path, listing its directory (again, when stale or when the record's
  // time is only the drive's guess) first.
  TCacheEntry LookUp(const std::string& path);
  // Lists dirPath unless (without force) a fresh listing is cached. With spareOnly (work ahead
  // of the program) only on a spare session: false when none was free and nothing was done.
  bool ListNow(const std::string& dirPath, bool force, bool spareOnly = false)
      EXCLUDES(cacheMutex_);
  // Queues the subdirectories of dirPath without a fresh listing for the prefetcher.
  void PrefetchBelow(const std::string& dirPath, const std::vector<TDirectoryEntry>& entries)
      EXCLUDES(cacheMutex_);
  // Asks the server about path alone (MLST, or MDTM for its time) and puts the answer into its
  // cache entry. False when the server offers neither for such an entry, or refuses (the
  // caller lists the directory).
  bool AskEntry(const std::string& path, bool directory) EXCLUDES(cacheMutex_);
  bool ListingFresh(const std::string& dirPath) REQUIRES(cacheMutex_);
  // Whether dirPath's parent is listed without it (the directory was renamed or removed).
  bool RemovedMeanwhile(const std::string& dirPath) REQUIRES(cacheMutex_);
  // Puts the file into the spool: its content fetched from the server (after its open upload
  // is finished). REQUIRES the file's lock. Raises EFilerError when the spool is off.
  void SpoolFile(const std::string& path, TFileState& state);
  // Sends a spooled file to the server whole and safely. REQUIRES the file's lock.
  void UploadSpool(const std::string& path, TFileState& state);
  // Up to count bytes of the server's file from offset into buffer, no more than the size the
  // drive shows (size, kAllOnes when unknown). Returns the count.
  DWORD DownloadRange(const std::string& path, void* buffer, LONGLONG offset, DWORD count,
                      ULONGLONG size);
  // The file states and open handles of oldPath (and below it) now belong to newPath.
  void MoveFileStates(const std::string& oldPath, const std::string& newPath) EXCLUDES(filesMutex_);
  // CreateEmptyFile with the file's lock held.
  void CreateEmptyFileLocked(const std::string& path, TFileState& state);
  // Finishes path's open upload: REQUIRES the file's lock (state).
  void FinishUploadLocked(const std::string& path, TFileState& state);
  // What the last close of a file does: a spooled file is sent whole and dropped from the
  // spool, an open upload finished. Raises the server's refusal. Needs the file's lock.
  void CompleteLocked(const std::string& path, TFileState& state);
  // Sets the file's length: 0 starts it empty on the server, another length spools it.
  // Needs the file's lock.
  void ResizeLocked(const std::string& path, TFileState& state, ULONGLONG size);
  void KeepUploadFailure(const std::string& remotePath, std::exception_ptr failure);
  std::exception_ptr TakeUploadFailure(const std::string& remotePath);
  // The server refused the upload of path: its size is unknown until listed again.
  void MarkUploadFailed(const std::string& path);
  // Puts path into its parent's cached listing (when listed) with these values.
  void PutEntry(const std::string& path, DWORD attributes, ULONGLONG size, bool timePending)
      EXCLUDES(cacheMutex_);
  void UpdateSize(const std::string& path, ULONGLONG size, const FILETIME& written)
      EXCLUDES(cacheMutex_);
  void ForgetListing(const std::string& dirPath) EXCLUDES(cacheMutex_);
  // Raises EReRefused(ERROR_FILENAME_EXCED_RANGE) for a component longer than kMaxNameLength.
  static void CheckNameLengths(const std::string& path);

  TDeviceSettings settings_;
  std::unique_ptr<TServerProfile> profile_;
  std::string remoteRoot_;
  std::string volumeName_;
  DWORD volumeSerial_ = 0;
  bool restartSupported_ = false;
  std::unique_ptr<TSessionPool> pool_;

  std::unique_ptr<TSpool> spool_;
  // Lists the directories below one the program reads (none with a single session); stopped
  // before the pool goes.
  std::unique_ptr<TPrefetcher> prefetcher_;

  veldra::TMutex filesMutex_ ACQUIRED_BEFORE(cacheMutex_);
  std::map<std::string, std::shared_ptr<TFileState>> files_ GUARDED_BY(filesMutex_);
  // Open handles: number to the path they were opened with (kept current on rename).
  std::map<std::uint64_t, std::string> handles_ GUARDED_BY(filesMutex_);
  std::uint64_t lastHandle_ GUARDED_BY(filesMutex_) = 0;
  // Refused upload completions, by remote path, until the file's next flush or close.
  std::map<std::string, std::exception_ptr> failedUploads_ GUARDED_BY(filesMutex_);

  mutable veldra::TMutex cacheMutex_;
  veldra::TCondition listed_;  // a listing in progress ended
  TFTPDeviceFileList cache_ GUARDED_BY(cacheMutex_);
  std::set<std::string> listing_ GUARDED_BY(cacheMutex_);  // directories being listed now
  int32_t listingCount_ GUARDED_BY(cacheMutex_) = 0;
  int32_t entryCount_ GUARDED_BY(cacheMutex_) = 0;

  // Written once, then published by rootInfoFilled_ (release); lock-free readers load the flag
  // (acquire) before they copy the record.
  BY_HANDLE_FILE_INFORMATION rootInfo_{};
  std::atomic<bool> rootInfoFilled_{false};

  // A large enumeration was handed out since the last DirectoryClosed.
  std::atomic<bool> largeEnumeration_{false};
  // FindFirst/FindNext's cursor (one enumeration at a time).
  std::vector<TDirectoryEntry> enumEntries_;
  size_t enumIndex_ = 0;
};
