// The file-system library interface served by libfuse3's high-level API: every FUSE request
// becomes one or two callbacks of the DOKAN_OPERATIONS table, and their Windows error codes
// become errno values through one table.
//
// Kernel caching. Writers are opened with direct I/O: every write reaches the callbacks with the
// caller's own request size (st_blksize of 1 MiB makes cat/cp use 1 MiB buffers), in the
// caller's order, so a sequential copy stays on one open APPE, and nothing written through the
// drive can be shadowed by stale pages. Readers go through the page cache (mappings need it),
// its read-ahead running beside the reader and put back in offset order, so that a sequential
// read stays on one RETR. Attribute and entry results are cached for
// one second (the kernel updates a file's size itself on writes and truncates through the
// drive); directory contents are never cached by the kernel, so a listing after a change shows
// it. Readdir hands out attributes with the names, so `ls -l` costs one request per directory.
#define FUSE_USE_VERSION 314

#include "drive/DokanFuse.h"

#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "drive/Dokan.h"
#include "platform/Interrupt.h"
#include "platform/Mount.h"
#include "platform/Mutex.h"
#include "platform/Process.h"
#include "platform/ReadAhead.h"
#include "platform/TextConv.h"

namespace veldra::drive {

int WindowsErrorToErrno(int code) {
  switch (-code) {
    case 0:
      return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_SEEK:
      return ESPIPE;
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_INVALID_FUNCTION:
      return EPERM;
    case ERROR_DISK_FULL:
      return ENOSPC;
    case ERROR_DISK_QUOTA_EXCEEDED:
      return EDQUOT;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
      return EINVAL;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_BUSY:
      return EBUSY;
    case ERROR_OPERATION_ABORTED:
      return EINTR;
    default:
      // A broken connection or a failure nobody explained (-31, -51, -53, -58 and the rest).
      return code > 0 ? 0 : EIO;
  }
}

std::string MountPointOf(char16_t letter) {
  if (letter >= u'A' && letter <= u'Z') letter = static_cast<char16_t>(letter - u'A' + u'a');
  if (letter < u'a' || letter > u'z') return std::string();
  return std::string("/mnt/") + static_cast<char>(letter);
}

std::string EscapeMountOption(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == ',' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

bool ToDrivePath(const char* path, std::string* drivePath) {
  std::string out = path != nullptr ? path : "";
  for (char& c : out) {
    if (c == '\\') return false;
    if (c == '/') c = '\\';
  }
  if (out.empty()) out = "\\";
  *drivePath = std::move(out);
  return true;
}

}  // namespace veldra::drive

namespace {

using veldra::drive::ToDrivePath;
using veldra::drive::WindowsErrorToErrno;

// What the FUSE handlers need; lives on DokanMain's stack for the whole mount.
struct Mount {
  DOKAN_OPTIONS* options;
  DOKAN_OPERATIONS* operations;
  std::string path;
  std::atomic<bool> tuned{false};
};

constexpr unsigned kReadAheadKiB = 1024;

// At most one mount per process: the handlers reach it through fuse_get_context().
std::atomic<bool> g_mounted{false};

Mount& Current() {
  return *static_cast<Mount*>(fuse_get_context()->private_data);
}
DOKAN_OPERATIONS& Ops() {
  return *Current().operations;
}
// The table of requests beyond the Windows slots, or null.
const VELDRA_EXTENSIONS* Extensions() {
  return reinterpret_cast<const VELDRA_EXTENSIONS*>(
      static_cast<uintptr_t>(Current().options->GlobalContext));
}

// The kernel reports the calling thread; the owner check asks about its process.
DWORD ProcessOf(pid_t tid) {
  return veldra::platform::ProcessOfThread(tid);
}

// The request this thread serves was interrupted (its caller got a signal or was killed).
bool RequestInterrupted() {
  return fuse_interrupted() != 0;
}

DOKAN_FILE_INFO MakeInfo(bool directory = false, const fuse_file_info* fi = nullptr) {
  // Every wait of the request gives up once its caller has gone.
  veldra::platform::SetInterruptCheck(&RequestInterrupted);
  Mount& mount = Current();
  if (!mount.tuned.exchange(true)) {
    // Readers go through the page cache: a large read-ahead keeps a sequential read in 1 MiB
    // requests on one transfer. Only now: the kernel caps it once more when the mount starts.
    veldra::platform::SetMountReadAhead(mount.path, kReadAheadKiB);
  }
  DOKAN_FILE_INFO info{};
  info.DokanOptions = Current().options;
  info.ProcessId = ProcessOf(fuse_get_context()->pid);
  info.IsDirectory = directory ? 1 : 0;
  info.SynchronousIo = 1;
  if (fi != nullptr) info.Context = fi->fh;
  return info;
}

// A drive path as the callbacks take it, or the errno that refuses the name.
struct WideName {
  std::u16string text;
  int error = 0;
  explicit WideName(const char* path) {
    std::string drivePath;
    if (!ToDrivePath(path, &drivePath)) {
      error = EINVAL;
      return;
    }
    text = veldra::platform::AnsiToWide(drivePath);
  }
  const WCHAR* c_str() const { return text.c_str(); }
};

int Errno(int code) {
  return -WindowsErrorToErrno(code);
}

// The start every path request shares: the name (a name the drive cannot carry is refused),
// the slot (a missing one answers `missing`), the request record; then call(name, info).
template <typename Slot, typename Call>
int Serve(const char* path, Slot slot, int missing, Call&& call, bool directory = false,
          const fuse_file_info* fi = nullptr) {
  WideName name(path);
  if (name.error != 0) return -name.error;
  if (slot == nullptr) return missing;
  DOKAN_FILE_INFO info = MakeInfo(directory, fi);
  return call(name.c_str(), info);
}

// FILETIME (100 ns since 1601) to a timespec (since 1970); earlier times become 0.
constexpr ULONGLONG kEpochDiff = 116444736000000000ULL;
timespec ToTimespec(const FILETIME& time) {
  ULONGLONG value = FileTimeValue(time);
  timespec ts{};
  if (value > kEpochDiff) {
    value -= kEpochDiff;
    ts.tv_sec = static_cast<time_t>(value / 10000000ULL);
    ts.tv_nsec = static_cast<long>((value % 10000000ULL) * 100);
  }
  return ts;
}

FILETIME ToFiletime(const timespec& ts) {
  if (ts.tv_sec < 0) return MakeFileTime(0);
  return MakeFileTime(kEpochDiff + ULONGLONG(ts.tv_sec) * 10000000ULL +
                      ULONGLONG(ts.tv_nsec) / 100);
}

constexpr blksize_t kIoBlockSize = 1 << 20;

// The permission bits the device shows for a name (0755 / 0644 when it cannot say).
mode_t ModeOf(const WCHAR* name, bool directory, DOKAN_FILE_INFO& info) {
  DWORD mode = directory ? 0755 : 0644;
  const VELDRA_EXTENSIONS* ext = Extensions();
  if (ext != nullptr && ext->GetFileMode != nullptr && ext->GetFileMode(name, &mode, &info) != 0)
    mode = directory ? 0755 : 0644;
  return static_cast<mode_t>(mode & 07777);
}

void FillStat(DWORD attributes, ULONGLONG size, const FILETIME& accessed, const FILETIME& written,
              mode_t permissions, struct stat* st) {
  *st = {};
  const fuse_context* context = fuse_get_context();
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  // Reparse points (symbolic links on the server) are shown as the regular files they serve.
  st->st_mode = (directory ? S_IFDIR : S_IFREG) | permissions;
  st->st_nlink = 1;  // unknown: keeps tools from deriving subdirectory counts
  st->st_uid = context->uid;
  st->st_gid = context->gid;
  // All ones marks a size the device lost track of (a failed upload); never hand out -1.
  st->st_size = size > static_cast<ULONGLONG>(INT64_MAX) ? 0 : static_cast<off_t>(size);
  st->st_blksize = kIoBlockSize;
  st->st_blocks = (st->st_size + 511) / 512;
  st->st_atim = ToTimespec(accessed);
  st->st_mtim = ToTimespec(written);
  st->st_ctim = ToTimespec(written);
}

// ---- FUSE handlers -------------------------------------------------------------------------

void* OnInit(fuse_conn_info* conn, fuse_config* cfg) {
  cfg->use_ino = 0;
  cfg->entry_timeout = 1.0;
  cfg->attr_timeout = 1.0;
  cfg->negative_timeout = 0.0;
  cfg->kernel_cache = 0;
  // Decided per open (OpenWith): writers go around the page cache, readers through it.
  cfg->direct_io = 0;
  // An unlinked open file must not be renamed to a hidden name on the server.
  cfg->hard_remove = 1;
  // A request whose caller was killed is told (SIGUSR1 to its thread), so it can give up.
  cfg->intr = 1;
  // The kernel's read-ahead goes on while the reader copies what has arrived; ReadOrder puts
  // its requests back in offset order for the device's one transfer per file.
  conn->want |= FUSE_CAP_ASYNC_READ;
  conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
  return fuse_get_context()->private_data;
}

void OnDestroy(void* privateData) {
  auto* mount = static_cast<Mount*>(privateData);
  if (mount == nullptr || mount->operations->Unmount == nullptr) return;
  DOKAN_FILE_INFO info{};
  info.DokanOptions = mount->options;
  info.ProcessId = static_cast<DWORD>(getpid());
  mount->operations->Unmount(&info);
}

int OnGetattr(const char* path, struct stat* st, fuse_file_info* fi) {
  return Serve(
      path, Ops().GetFileInformation, -EIO,
      [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
        BY_HANDLE_FILE_INFORMATION record{};
        const int code = Ops().GetFileInformation(name, &record, &info);
        if (code != 0) return Errno(code);
        const bool directory = (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        FillStat(record.dwFileAttributes, FileSizeValue(record), record.ftLastAccessTime,
                 record.ftLastWriteTime, ModeOf(name, directory, info), st);
        return 0;
      },
      false, fi);
}

constexpr size_t kEntriesWithAttributes = 10000;

// One entry of an open directory's listing, kept between its readdir requests: the library
// then passes each request's page straight to the kernel instead of holding a copy of the
// whole directory (three times larger) until it has been read.
struct DirEntry {
  std::string name;
  DWORD attributes;
  ULONGLONG size;
  FILETIME accessed;
  FILETIME written;
  mode_t mode;
};

// The listings of the open directories, by handle number (fuse_file_info::fh).
class DirectoryTable {
 public:
  uint64_t Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t id = ++last_;
    listings_[id];
    return id;
  }
  // The listing of an open handle; null for a handle this table never gave out.
  std::vector<DirEntry>* Find(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = listings_.find(id);
    return it == listings_.end() ? nullptr : &it->second;
  }
  void Close(uint64_t id) {
    std::vector<DirEntry> gone;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = listings_.find(id);
    if (it == listings_.end()) return;
    gone.swap(it->second);
    listings_.erase(it);
  }

 private:
  std::mutex mutex_;
  uint64_t last_ = 0;
  std::map<uint64_t, std::vector<DirEntry>> listings_;  // one thread per handle at a time
};

DirectoryTable g_directories;

int OnOpendir(const char* path, fuse_file_info* fi) {
  return Serve(path, Ops().OpenDirectory, 0, [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
    const int code = Ops().OpenDirectory(name, &info);
    if (code != 0) return Errno(code);
    if (!info.IsDirectory) return -ENOTDIR;
    fi->fh = g_directories.Open();
    return 0;
  });
}

// Carried through FindFiles to the entry collector in DOKAN_FILE_INFO::DokanContext.
struct Listing {
  std::vector<DirEntry>* entries;
  std::u16string directory;  // the listed directory's drive path, ending in "\"
};

int CollectEntry(WIN32_FIND_DATAW* data, DOKAN_FILE_INFO* info) {
  if (data == nullptr || info == nullptr || info->DokanContext == 0) return 0;
  auto* listing = reinterpret_cast<Listing*>(static_cast<uintptr_t>(info->DokanContext));
  const size_t length = std::char_traits<char16_t>::length(data->cFileName);
  std::u16string wide(data->cFileName, std::min<size_t>(length, MAX_PATH - 1));
  std::string name = veldra::platform::WideToAnsi(wide);
  // A name the kernel cannot carry (empty, or too long for the record) is left out.
  if (name.empty() || name.find('/') != std::string::npos) return 0;
  const bool directory = (data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const bool dots = name == "." || name == "..";
  const std::u16string full = listing->directory + wide;
  listing->entries->push_back(
      {std::move(name), data->dwFileAttributes,
       (static_cast<ULONGLONG>(data->nFileSizeHigh) << 32) | data->nFileSizeLow,
       data->ftLastAccessTime, data->ftLastWriteTime,
       dots ? mode_t(0755) : ModeOf(full.c_str(), directory, *info)});
  return 0;
}

int OnReaddir(const char* path, void* buffer, fuse_fill_dir_t filler, off_t offset,
              fuse_file_info* fi, fuse_readdir_flags flags) {
  std::vector<DirEntry>* entries = g_directories.Find(fi->fh);
  if (entries == nullptr) return -EBADF;
  if (offset == 0) {
    // The first page (or a rewind): the directory as it is now.
    entries->clear();
    const int code = Serve(
        path, Ops().FindFiles, -EIO,
        [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
          Listing listing{entries, name};
          if (listing.directory.empty() || listing.directory.back() != u'\\')
            listing.directory += u'\\';
          info.DokanContext = reinterpret_cast<uintptr_t>(&listing);
          return Errno(Ops().FindFiles(name, &CollectEntry, &info));
        },
        true);
    if (code != 0) return code;
  }
  const bool plus = (flags & FUSE_READDIR_PLUS) != 0;
  for (size_t i = static_cast<size_t>(offset); i < entries->size(); ++i) {
    const DirEntry& e = (*entries)[i];
    // "." and ".." go without attributes: the library numbers only the entries it looks up.
    // So do the names of a huge directory past the first ones: every entry handed out with
    // attributes stays known to the library (memory) until the kernel forgets it.
    const bool bare = e.name == "." || e.name == ".." || i >= kEntriesWithAttributes;
    struct stat st;
    FillStat(e.attributes, e.size, e.accessed, e.written, e.mode, &st);
    const fuse_fill_dir_flags fill =
        plus && !bare ? FUSE_FILL_DIR_PLUS : static_cast<fuse_fill_dir_flags>(0);
    if (filler(buffer, e.name.c_str(), bare ? nullptr : &st, static_cast<off_t>(i + 1), fill))
      break;
  }
  return 0;
}

// Ends a handle: Cleanup, then CloseFile. Cleanup's failure is the result.
int EndHandle(const char* path, bool directory, const fuse_file_info* fi) {
  return Serve(
      path, Ops().Cleanup, 0,
      [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
        const int code = Ops().Cleanup(name, &info);
        if (Ops().CloseFile != nullptr) Ops().CloseFile(name, &info);
        return Errno(code);
      },
      directory, fi);
}

int OnReleasedir(const char* path, fuse_file_info* fi) {
  g_directories.Close(fi->fh);
  return EndHandle(path, true, nullptr);
}

constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kGenericWrite = 0x40000000;
constexpr DWORD kShareReadWrite = 0x3;

DWORD AccessOf(int flags) {
  switch (flags & O_ACCMODE) {
    case O_RDONLY:
      return kGenericRead;
    case O_WRONLY:
      return kGenericWrite;
    default:
      return kGenericRead | kGenericWrite;
  }
}

int OpenWith(const char* path, DWORD disposition, fuse_file_info* fi) {
  return Serve(
      path, Ops().CreateFile, -EIO,
      [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
        const int code = Ops().CreateFile(name, AccessOf(fi->flags), kShareReadWrite, disposition,
                                          FILE_ATTRIBUTE_NORMAL, &info);
        if (code != 0) return Errno(code);
        if (info.IsDirectory) return -EISDIR;
        // A reader goes through the page cache, so that programs can map the file (shared
        // mappings need it); it starts from a clean cache at every open. A writer goes around the
        // cache: its requests reach the device in the caller's order and size, and nothing it
        // writes can be shadowed by stale pages.
        const bool readOnly = (fi->flags & O_ACCMODE) == O_RDONLY;
        fi->direct_io = readOnly ? 0 : 1;
        fi->keep_cache = 0;
        fi->fh = info.Context;
        return 0;
      },
      false, fi);
}

int OnOpen(const char* path, fuse_file_info* fi) {
  return OpenWith(path, (fi->flags & O_TRUNC) ? TRUNCATE_EXISTING : OPEN_EXISTING, fi);
}

int OnCreate(const char* path, mode_t /*mode*/, fuse_file_info* fi) {
  DWORD disposition = OPEN_ALWAYS;
  if (fi->flags & O_EXCL) {
    disposition = CREATE_NEW;
  } else if (fi->flags & O_TRUNC) {
    disposition = CREATE_ALWAYS;
  }
  return OpenWith(path, disposition, fi);
}

// Reads of one handle one at a time, in the order of their offsets. The kernel sends a reader's
// read-ahead as several requests at once, which the library's threads take up in any order;
// served as they come, each out-of-order one would cost the server an abort and a new transfer.
// While a handle is read sequentially, a read just past its last one waits while another read
// of the handle runs, then a moment more for the reads before it (under load they come tens of
// milliseconds late). A handle read at random does not wait: there are no reads before it to
// come. Sequential: a new handle, or one whose last two reads each began where the one before
// ended.
// Waiting requests hold library threads: past kSpareThreads of them (none on a single thread) a
// read goes on at once, so that threads stay free to take up the reads the waiting ones wait for.
class ReadOrder {
 public:
  static constexpr int kSpareThreads = 16;

  // Holds the handle's turn for one read at `offset` for its scope.
  class Turn {
   public:
    Turn(ReadOrder& order, uint64_t handle, off_t offset)
        : end(offset), order_(order), handle_(handle), offset_(offset) {
      order_.Await(handle, offset);
    }
    ~Turn() { order_.Served(handle_, offset_, end); }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    off_t end;  // where the read ended (its offset when it failed)

   private:
    ReadOrder& order_;
    uint64_t handle_;
    off_t offset_;
  };
  void SetSpareThreads(int count) EXCLUDES(mutex_) {
    veldra::TMutexLock lock(mutex_);
    spareThreads_ = count;
  }
  void Forget(uint64_t handle) EXCLUDES(mutex_) {
    veldra::TMutexLock lock(mutex_);
    handles_.erase(handle);
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Handle {
    off_t next = 0;  // where the last read ended
    int run = 2;     // consecutive reads that began where the one before ended
    bool busy = false;
    Clock::time_point idleSince = Clock::now();
    std::multimap<off_t, veldra::TCondition*> waiters;  // the waiting reads, by offset
  };
  void Await(uint64_t handle, off_t offset) EXCLUDES(mutex_) {
    veldra::TMutexLock lock(mutex_);
    // Only the handle's release erases it, and no read of the handle is outstanding then.
    Handle& h = handles_[handle];
    veldra::TCondition turn;
    auto waiting = h.waiters.end();
    for (;;) {
      const auto waited = Clock::now() - h.idleSince;
      const bool due =
          h.run < 2 || offset <= h.next || offset - h.next > kWindow || waited >= kWaitForEarlier;
      if ((!h.busy && due) || (waiting == h.waiters.end() && waiting_ >= spareThreads_)) break;
      if (waiting == h.waiters.end()) {
        ++waiting_;
        waiting = h.waiters.emplace(offset, &turn);
      }
      turn.WaitFor(mutex_, h.busy ? kWaitForEarlier : kWaitForEarlier - waited);
    }
    if (waiting != h.waiters.end()) {
      --waiting_;
      h.waiters.erase(waiting);
    }
    h.busy = true;
  }
  void Served(uint64_t handle, off_t offset, off_t end) EXCLUDES(mutex_) {
    veldra::TMutexLock lock(mutex_);
    Handle& h = handles_[handle];
    h.run = offset == h.next ? std::min(h.run + 1, 2) : 0;
    h.next = end;
    h.busy = false;
    h.idleSince = Clock::now();
    // The read that goes on where this one ended is woken alone (a wake-up for every waiting
    // read would cost each served read several context switches); without one, all of the
    // handle's are, to see whether their turn has come.
    const auto next = h.waiters.find(end);
    if (next != h.waiters.end()) {
      next->second->NotifyAll();
    } else {
      for (auto& waiter : h.waiters) waiter.second->NotifyAll();
    }
  }

  static constexpr off_t kWindow = off_t{4} << 20;  // the kernel's read-ahead reaches 1-2 MiB
  static constexpr std::chrono::milliseconds kWaitForEarlier{50};
  veldra::TMutex mutex_;
  std::map<uint64_t, Handle> handles_ GUARDED_BY(mutex_);  // by fuse_file_info::fh
  int waiting_ GUARDED_BY(mutex_) = 0;
  int spareThreads_ GUARDED_BY(mutex_) = 0;
};

ReadOrder g_readOrder;

int OnRead(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  ReadOrder::Turn turn(g_readOrder, fi->fh, offset);
  const int result = Serve(
      path, Ops().ReadFile, -EIO,
      [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
        size_t done = 0;
        // Filled to the end unless the file ends first: short reads would cost callers extra calls.
        while (done < size) {
          DWORD got = 0;
          const int code = Ops().ReadFile(name, buffer + done, static_cast<DWORD>(size - done),
                                          &got, offset + static_cast<off_t>(done), &info);
          if (code != 0) return done > 0 ? static_cast<int>(done) : Errno(code);
          if (got == 0) break;
          done += got;
        }
        return static_cast<int>(done);
      },
      false, fi);
  if (result > 0) turn.end = offset + result;
  return result;
}

int OnWrite(const char* path, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  return Serve(
      path, Ops().WriteFile, -EIO,
      [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
        DWORD written = 0;
        const int code =
            Ops().WriteFile(name, buffer, static_cast<DWORD>(size), &written, offset, &info);
        if (code != 0) return Errno(code);
        // Nothing taken is never reported as success.
        if (written == 0 && size > 0) return -EIO;
        return static_cast<int>(written);
      },
      false, fi);
}

int Flush(const char* path, const fuse_file_info* fi) {
  return Serve(
      path, Ops().FlushFileBuffers, 0,
      [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
        return Errno(Ops().FlushFileBuffers(name, &info));
      },
      false, fi);
}

int OnFlush(const char* path, fuse_file_info* fi) {
  return Flush(path, fi);
}
int OnFsync(const char* path, int /*datasync*/, fuse_file_info* fi) {
  return Flush(path, fi);
}
int OnRelease(const char* path, fuse_file_info* fi) {
  g_readOrder.Forget(fi->fh);
  return EndHandle(path, false, fi);
}

int OnTruncate(const char* path, off_t size, fuse_file_info* fi) {
  return Serve(
      path, Ops().SetEndOfFile, -EPERM,
      [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
        return Errno(Ops().SetEndOfFile(name, size, &info));
      },
      false, fi);
}

int OnMkdir(const char* path, mode_t /*mode*/) {
  return Serve(
      path, Ops().CreateDirectory, -EPERM,
      [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
        return Errno(Ops().CreateDirectory(name, &info));
      },
      true);
}

int OnRmdir(const char* path) {
  return Serve(
      path, Ops().DeleteDirectory, -EPERM,
      [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
        return Errno(Ops().DeleteDirectory(name, &info));
      },
      true);
}

int OnUnlink(const char* path) {
  return Serve(path, Ops().DeleteFile, -EPERM, [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
    return Errno(Ops().DeleteFile(name, &info));
  });
}

int OnRename(const char* from, const char* to, unsigned int flags) {
  WideName newName(to);
  if (newName.error != 0) return -newName.error;
  if (flags & ~static_cast<unsigned int>(RENAME_NOREPLACE)) return -EINVAL;
  return Serve(from, Ops().MoveFile, -EPERM, [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
    const BOOL replace = (flags & RENAME_NOREPLACE) ? 0 : 1;
    return Errno(Ops().MoveFile(name, newName.c_str(), replace, &info));
  });
}

int OnStatfs(const char* /*path*/, struct statvfs* st) {
  *st = {};
  DWORD maxComponent = 255;
  if (Ops().GetVolumeInformation != nullptr) {
    DOKAN_FILE_INFO info = MakeInfo();
    DWORD serial = 0;
    DWORD flags = 0;
    int code =
        Ops().GetVolumeInformation(nullptr, 0, &serial, &maxComponent, &flags, nullptr, 0, &info);
    if (code != 0) return Errno(code);
    st->f_fsid = serial;
  }
  // FTP cannot tell free space; a large figure keeps copy tools from refusing to copy.
  constexpr unsigned long kBlock = 4096;
  constexpr fsblkcnt_t kBlocks = (fsblkcnt_t(1) << 50) / kBlock;  // 1 PiB
  st->f_bsize = kBlock;
  st->f_frsize = kBlock;
  st->f_blocks = kBlocks;
  st->f_bfree = kBlocks;
  st->f_bavail = kBlocks;
  st->f_files = 1u << 30;
  st->f_ffree = 1u << 30;
  st->f_favail = 1u << 30;
  st->f_namemax = maxComponent;
  return 0;
}

// Modes and times go to the server where it takes them; owners cannot be kept over FTP and are
// accepted (so cp -p, tar and rsync do not fail on them).
int OnChmod(const char* path, mode_t mode, fuse_file_info* fi) {
  const VELDRA_EXTENSIONS* ext = Extensions();
  return Serve(
      path, ext != nullptr ? ext->SetFileMode : nullptr, 0,
      [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
        return Errno(ext->SetFileMode(name, mode & 07777, &info));
      },
      false, fi);
}
int OnChown(const char*, uid_t, gid_t, fuse_file_info*) {
  return 0;
}
int OnUtimens(const char* path, const timespec times[2], fuse_file_info* fi) {
  return Serve(
      path, Ops().SetFileTime, 0,
      [&](const WCHAR* name, DOKAN_FILE_INFO& info) {
        if (times == nullptr || times[1].tv_nsec == UTIME_OMIT) return 0;
        timespec written = times[1];
        if (written.tv_nsec == UTIME_NOW) clock_gettime(CLOCK_REALTIME, &written);
        const FILETIME lastWrite = ToFiletime(written);
        return Errno(Ops().SetFileTime(name, nullptr, nullptr, &lastWrite, &info));
      },
      false, fi);
}
// FTP has no links or special files: refused plainly (ENOSYS would read as a broken drive).
int OnSymlink(const char*, const char*) {
  return -EPERM;
}
int OnLink(const char*, const char*) {
  return -EPERM;
}
int OnMknod(const char*, mode_t, dev_t) {
  return -EPERM;
}
int OnGetxattr(const char*, const char*, char*, size_t) {
  return -ENODATA;
}
int OnListxattr(const char*, char*, size_t) {
  return 0;
}
int OnSetxattr(const char*, const char*, const char*, size_t, int) {
  return -ENOTSUP;
}
int OnRemovexattr(const char*, const char*) {
  return -ENODATA;
}

fuse_operations MakeFuseOperations() {
  fuse_operations ops{};
  ops.init = OnInit;
  ops.destroy = OnDestroy;
  ops.getattr = OnGetattr;
  ops.opendir = OnOpendir;
  ops.readdir = OnReaddir;
  ops.releasedir = OnReleasedir;
  ops.open = OnOpen;
  ops.create = OnCreate;
  ops.read = OnRead;
  ops.write = OnWrite;
  ops.flush = OnFlush;
  ops.fsync = OnFsync;
  ops.release = OnRelease;
  ops.truncate = OnTruncate;
  ops.mkdir = OnMkdir;
  ops.rmdir = OnRmdir;
  ops.unlink = OnUnlink;
  ops.rename = OnRename;
  ops.statfs = OnStatfs;
  ops.chmod = OnChmod;
  ops.chown = OnChown;
  ops.utimens = OnUtimens;
  ops.symlink = OnSymlink;
  ops.link = OnLink;
  ops.mknod = OnMknod;
  ops.getxattr = OnGetxattr;
  ops.listxattr = OnListxattr;
  ops.setxattr = OnSetxattr;
  ops.removexattr = OnRemovexattr;
  return ops;
}

// The volume and file-system names for the mount table, asked of the callback before mounting;
// fallbacks when it has none.
void VolumeNames(const Mount& mount, std::string* volume, std::string* fsName) {
  *volume = "VELDRA";
  *fsName = "VELDRA";
  if (mount.operations->GetVolumeInformation == nullptr) return;
  WCHAR volumeBuffer[MAX_PATH + 1] = {};
  WCHAR fsBuffer[MAX_PATH + 1] = {};
  DWORD serial = 0, maxComponent = 0, flags = 0;
  DOKAN_FILE_INFO info{};
  info.DokanOptions = mount.options;
  info.ProcessId = static_cast<DWORD>(getpid());
  if (mount.operations->GetVolumeInformation(volumeBuffer, MAX_PATH + 1, &serial, &maxComponent,
                                             &flags, fsBuffer, MAX_PATH + 1, &info) != 0) {
    return;
  }
  std::string v = veldra::platform::WideToAnsi(volumeBuffer);
  std::string f = veldra::platform::WideToAnsi(fsBuffer);
  if (!v.empty()) *volume = v;
  if (!f.empty()) *fsName = f;
}

// The subtype must be one word of the mount type: keep letters, digits and a few marks.
std::string SubtypeOf(const std::string& fsName) {
  std::string out;
  for (char c : fsName) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
        c == '-' || c == '.') {
      out += c;
    }
  }
  return out.empty() ? std::string("VELDRA") : out;
}

struct FuseDeleter {
  void operator()(fuse* f) const { fuse_destroy(f); }
};
struct LoopConfigDeleter {
  void operator()(fuse_loop_config* c) const { fuse_loop_cfg_destroy(c); }
};

// Mount point directory: made when missing, removed again on the way out if made here.
using MountDirectory = veldra::platform::TMountDirectory;

// Clears the one-mount flag on every way out of DokanMain.
struct MountSlot {
  bool taken;
  MountSlot() : taken(!g_mounted.exchange(true)) {}
  ~MountSlot() {
    if (taken) g_mounted.store(false);
  }
  MountSlot(const MountSlot&) = delete;
  MountSlot& operator=(const MountSlot&) = delete;
};

}  // namespace

int DokanMain(DOKAN_OPTIONS* options, DOKAN_OPERATIONS* operations) {
  if (options == nullptr || operations == nullptr) return DOKAN_ERROR;
  const WCHAR letter = options->MountPoint != nullptr ? options->MountPoint[0] : u'\0';
  const std::string mountPath = veldra::drive::MountPointOf(letter);
  if (mountPath.empty() || options->MountPoint[1] != u'\0') return DOKAN_DRIVE_LETTER_ERROR;
  if (access("/dev/fuse", R_OK | W_OK) != 0) return DOKAN_DRIVER_INSTALL_ERROR;
  MountSlot slot;
  if (!slot.taken) return DOKAN_START_ERROR;

  Mount mount{options, operations, mountPath};
  std::string volume, fsName;
  VolumeNames(mount, &volume, &fsName);

  MountDirectory directory(mountPath);
  if (!directory.Prepare()) return DOKAN_MOUNT_POINT_ERROR;

  std::vector<std::string> arguments = {
      "veldra", "-o",
      "fsname=" + veldra::drive::EscapeMountOption(volume) +
          ",subtype=" + veldra::drive::EscapeMountOption(SubtypeOf(fsName)) + ",allow_other"};
  if (options->Options & DOKAN_OPTION_DEBUG) arguments.push_back("-odebug");
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());

  const fuse_operations fuseOps = MakeFuseOperations();
  std::unique_ptr<fuse, FuseDeleter> fs(fuse_new(&args, &fuseOps, sizeof fuseOps, &mount));
  fuse_opt_free_args(&args);
  if (!fs) return DOKAN_START_ERROR;
  if (fuse_mount(fs.get(), mountPath.c_str()) != 0) return DOKAN_MOUNT_ERROR;

  fuse_session* session = fuse_get_session(fs.get());
  const bool signals = fuse_set_signal_handlers(session) == 0;
  g_readOrder.SetSpareThreads(options->ThreadCount == 1 ? 0 : ReadOrder::kSpareThreads);
  if (options->ThreadCount == 1) {
    fuse_loop(fs.get());
  } else {
    std::unique_ptr<fuse_loop_config, LoopConfigDeleter> config(fuse_loop_cfg_create());
    unsigned int threads = options->ThreadCount != 0 ? options->ThreadCount : 8;
    if (config) {
      // Room for reads waiting their turn besides the workers.
      fuse_loop_cfg_set_max_threads(config.get(), threads + ReadOrder::kSpareThreads);
      fuse_loop_cfg_set_idle_threads(config.get(), threads);
      fuse_loop_cfg_set_clone_fd(config.get(), 0);
    }
    fuse_loop_mt(fs.get(), config.get());
  }
  if (signals) fuse_remove_signal_handlers(session);
  fuse_unmount(fs.get());
  fs.reset();  // calls the Unmount callback
  return DOKAN_SUCCESS;
}

BOOL DokanRemoveMountPoint(LPCWSTR mountPoint) {
  if (mountPoint == nullptr) return 0;
  const std::string path = veldra::drive::MountPointOf(mountPoint[0]);
  return !path.empty() && veldra::platform::UnmountPath(path) ? 1 : 0;
}
