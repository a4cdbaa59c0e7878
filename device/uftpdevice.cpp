// The FTP device: path mapping, listing on demand, lookups, enumeration, volume identity,
// changes, reads and writes, over a pool of sessions.
#include "device/uftpdevice.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

#include "device/SessionPool.h"
#include "device/ureftp.h"
#include "ftp/IdFTPList.h"
#include "platform/Interrupt.h"
#include "platform/Memory.h"
#include "platform/TextConv.h"

std::atomic<bool> DebugMode{false};

namespace {

constexpr ULONGLONG kAllOnes = ~ULONGLONG(0);
// Entries from which a listing's scratch memory is handed back to the system at once.
constexpr size_t kLargeListing = 10000;
constexpr ULONGLONG kIntervalsPerSecond = 10000000ULL;
// 1970-01-01 in 100-ns intervals since 1601-01-01.
constexpr ULONGLONG kUnixEpoch = 116444736000000000ULL;

// Copies text into a UTF-16 buffer of size units (zero included); a text that does not fit
// leaves the empty string.
void CopyWide(const std::string& text, WCHAR* buffer, DWORD size) {
  if (!buffer || size == 0) return;
  std::u16string wide = veldra::platform::AnsiToWide(text);
  if (wide.size() > size - 1) wide.clear();
  std::copy(wide.begin(), wide.end(), buffer);
  buffer[wide.size()] = 0;
}

int SoundexDigit(char ch) {
  switch (std::toupper(static_cast<unsigned char>(ch))) {
    case 'B':
    case 'F':
    case 'P':
    case 'V':
      return 1;
    case 'C':
    case 'G':
    case 'J':
    case 'K':
    case 'Q':
    case 'S':
    case 'X':
    case 'Z':
      return 2;
    case 'D':
    case 'T':
      return 3;
    case 'L':
      return 4;
    case 'M':
    case 'N':
      return 5;
    case 'R':
      return 6;
    case 'H':
    case 'W':
      return -1;
    default:
      return 0;
  }
}

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Now, UTC, as a file time: the drive's own guess of a time it cannot know yet.
FILETIME NowFileTime() {
  const auto since1970 = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  return MakeFileTime(kUnixEpoch + ULONGLONG(since1970) * 10);
}

// "YYYYMMDDHHMMSS" (UTC) of a file time, whole seconds.
std::string UtcStamp(const FILETIME& time) {
  const ULONGLONG value = FileTimeValue(time);
  const long long seconds =
      value >= kUnixEpoch ? static_cast<long long>((value - kUnixEpoch) / kIntervalsPerSecond) : 0;
  long long days = seconds / 86400;
  const long long rest = seconds % 86400;
  // Civil date of a day count since 1970-01-01 (proleptic Gregorian).
  days += 719468;
  const long long era = days / 146097;
  const long long doe = days - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long day = doy - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[32];
  std::snprintf(text, sizeof text, "%04lld%02lld%02lld%02lld%02lld%02lld", year, month, day,
                rest / 3600, rest / 60 % 60, rest % 60);
  return text;
}

// Names a listing may carry that must not become keys: our own "." and ".." are added by the
// device, and a name with "\" (or our marker) would pose as a deeper path.
bool UsableName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('\\') == std::string::npos &&
         name.find(ListingMarker) == std::string::npos && name.find('/') == std::string::npos;
}

// The record attributes of a listing entry's kind (0 for a kind without one).
DWORD KindAttributes(EntryKind kind) {
  switch (kind) {
    case ekDirectory:
      return FILE_ATTRIBUTE_DIRECTORY;
    case ekFile:
      return FILE_ATTRIBUTE_NORMAL;
    case ekSymbolicLink:
      return FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return 0;
}

bool IsDirectory(const BY_HANDLE_FILE_INFORMATION& record) {
  return (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void SetSize(BY_HANDLE_FILE_INFORMATION& r, ULONGLONG size) {
  r.nFileSizeHigh = DWORD(size >> 32);
  r.nFileSizeLow = DWORD(size & 0xFFFFFFFFu);
}

void SetTimes(BY_HANDLE_FILE_INFORMATION& r, const FILETIME& t) {
  r.ftCreationTime = t;
  r.ftLastAccessTime = t;
  r.ftLastWriteTime = t;
}

DWORD ShownMode(const TCacheEntry& entry) {
  if (entry.ModeKnown) return entry.Mode;
  return IsDirectory(entry.Record) ? 0755 : 0644;
}

// A refusal of the server turned into the device's failure with its meaning; `unknown` says
// what an unclear refusal most likely means for this request.
[[noreturn]] void RaiseRefusal(const EIdProtocolReplyError& e, int unknown) {
  int code = RefusalCode(e.ErrorCode(), e.Message());
  if (code == wincode::kBadNetResponse) code = unknown;
  throw EReRefused(code, IdTrim(e.Message()));
}

}  // namespace

std::string TFTPDevice::MakeRemoteRoot(const std::string& remotePath) {
  std::string root = remotePath;
  if (!root.empty()) {
    if (root.front() != '/') root.insert(root.begin(), '/');
    if (root.back() == '/') root.pop_back();
    std::replace(root.begin(), root.end(), '/', '\\');
  }
  return root;
}

DWORD TFTPDevice::SoundexSerial(const std::string& volumeName) {
  if (volumeName.empty()) return 0;
  std::string code(1, static_cast<char>(std::toupper(static_cast<unsigned char>(volumeName[0]))));
  int last = SoundexDigit(volumeName[0]);
  for (size_t i = 1; i < volumeName.size() && code.size() < 4; ++i) {
    int d = SoundexDigit(volumeName[i]);
    if (d > 0 && d != last) code += static_cast<char>('0' + d);
    if (d != -1) last = d;
  }
  while (code.size() < 4) code += '0';
  long long c = static_cast<unsigned char>(code[0]);
  long long serial =
      ((((c - 65) * 26 + (code[1] - '0')) * 7 + (code[2] - '0')) * 7 + (code[3] - '0')) * 9 + 4;
  return static_cast<DWORD>(serial);
}

std::string TFTPDevice::DirectoryPart(const std::string& path) {
  size_t pos = path.rfind('\\');
  return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

std::string TFTPDevice::NamePart(const std::string& path) {
  size_t pos = path.rfind('\\');
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string TFTPDevice::ToRemotePath(const std::string& drivePath) const {
  std::string remote = remoteRoot_ + drivePath;
  std::replace(remote.begin(), remote.end(), '\\', '/');
  return remote;
}

void TFTPDevice::EntryToFindData(const std::string& key, const BY_HANDLE_FILE_INFORMATION& record,
                                 WIN32_FIND_DATAW* data) {
  if (!data) return;
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = record.dwFileAttributes;
  data->ftCreationTime = record.ftLastWriteTime;
  data->ftLastAccessTime = record.ftLastWriteTime;
  data->ftLastWriteTime = record.ftLastWriteTime;
  data->nFileSizeHigh = record.nFileSizeHigh;
  data->nFileSizeLow = record.nFileSizeLow;
  data->dwReserved0 = record.nFileIndexLow;
  data->dwReserved1 = record.nFileIndexHigh;
  std::string name = NamePart(key);
  if (!name.empty() && name.back() == ListingMarker) name.back() = '.';
  CopyWide(name, data->cFileName, MAX_PATH);
}

bool TFTPDevice::GetCachedRootInfo(const std::string& path,
                                   BY_HANDLE_FILE_INFORMATION* info) const {
  if (!info || path != "\\" || !rootInfoFilled_.load(std::memory_order_acquire)) return false;
  *info = rootInfo_;
  return true;
}

void TFTPDevice::GetVolumeInfo(WCHAR* volumeName, DWORD volumeNameSize, DWORD* serial,
                               DWORD* maxComponentLength, DWORD* flags, WCHAR* fsName,
                               DWORD fsNameSize) const {
  CopyWide(volumeName_, volumeName, volumeNameSize);
  if (serial) *serial = volumeSerial_;
  // What servers take (a longer name is refused before anything is sent).
  if (maxComponentLength) *maxComponentLength = kMaxNameLength;
  if (flags) *flags = 7;  // case-sensitive search, case-preserved names, Unicode on disk
  CopyWide("VELDRA", fsName, fsNameSize);
}

// ---- construction ------------------------------------------------------------------------

TFTPDevice::TFTPDevice(const TDeviceSettings& settings)
    : settings_(settings), profile_(std::make_unique<TServerProfile>()) {
  veldra::platform::LimitHeapArenas();
  remoteRoot_ = MakeRemoteRoot(settings.RemotePath);
  volumeName_ = "ftp://" + settings.Host + remoteRoot_;
  std::replace(volumeName_.begin(), volumeName_.end(), '\\', '/');
  volumeSerial_ = SoundexSerial(volumeName_);
  // /DEBUG serves one request at a time on one session, so its log reads as one story.
  const bool debug = DebugMode.load();
  const int sessions = debug ? 1 : std::max(1, settings.Sessions);
  pool_ = std::make_unique<TSessionPool>(
      [this, debug, sessions] {
        auto session = std::make_unique<TReFtp>(profile_.get());
        session->SetReadTimeout(5000);
        session->SetHost(settings_.Host);
        session->SetUsername(settings_.User);
        session->SetPassword(settings_.Password);
        session->SetPassive(settings_.Passive);
        // The debug log shows one command and its reply at a time. Later sessions need not
        // ask what the first one asked.
        session->SetPipelinePassive(!debug);
        // With one session the next request follows at once: a reply asked ahead would not
        // have come, and waiting for it costs more than the PASV saves.
        session->SetPassiveAhead(sessions > 1);
        session->SetAskSystem(debug || !profile_->Probed.load());
        session->SetPort(settings_.Port);
        session->SetTlsMode(settings_.Tls);
        session->SetCertificatePin(settings_.CertificatePin);
        session->OnUploadRefused = [this](const std::string& remotePath,
                                          std::exception_ptr failure) {
          KeepUploadFailure(remotePath, failure);
        };
        return session;
      },
      sessions, sessions > 1);
  spool_ = std::make_unique<TSpool>(settings.SpoolDirectory, settings.SpoolLimitBytes);
  if (sessions > 1) {
    prefetcher_ = std::make_unique<TPrefetcher>(
        [this](const std::string& dir) { return ListNow(dir, false, true); }, sessions - 1);
  }
  LoadDirectory("\\");
  auto session = pool_->Acquire();
  restartSupported_ = session->ProbeRestartSupport();
}

TFTPDevice::~TFTPDevice() {
  // Spooled files whose last upload failed get one more try; what still fails stays on the
  // local disk (its place is in the README), never silently lost.
  std::vector<std::pair<std::string, std::shared_ptr<TFileState>>> spooled;
  {
    veldra::TMutexLock lock(filesMutex_);
    for (auto& [path, state] : files_) spooled.emplace_back(path, state);
  }
  for (auto& [path, state] : spooled) {
    veldra::TMutexLock hold(state->lock);
    if (!state->spool || !state->spool->Dirty() || state->deleted) continue;
    try {
      UploadSpool(path, *state);
    } catch (const std::exception&) {
      state->spool->Keep();
    }
  }
  prefetcher_.reset();
  // Uploads are finished (their refusals reach KeepUploadFailure) while the device is whole.
  pool_.reset();
}

std::vector<TCacheEntry> TFTPDevice::CacheSnapshot() const {
  veldra::TMutexLock lock(cacheMutex_);
  std::vector<TCacheEntry> entries;
  for (int i = 0; i < cache_.Count(); ++i) entries.push_back(cache_.Entry(i));
  return entries;
}

// ---- file states -------------------------------------------------------------------------

TFTPDevice::TFileRef::TFileRef(TFTPDevice& device, const std::string& path)
    : device_(device), path_(path) {
  veldra::TMutexLock lock(device_.filesMutex_);
  auto& state = device_.files_[path_];
  if (!state) state = std::make_shared<TFileState>();
  ++state->users;
  state_ = state;
}

TFTPDevice::TFileRef::~TFileRef() {
  veldra::TMutexLock lock(device_.filesMutex_);
  // A state outlives its last request only while it carries something (an open upload, open
  // handles, a spooled content).
  if (--state_->users == 0 && !state_->writing && !state_->broken && state_->handles == 0 &&
      !state_->spool) {
    auto it = device_.files_.find(path_);
    if (it != device_.files_.end() && it->second == state_) device_.files_.erase(it);
  }
}

// ---- listings ----------------------------------------------------------------------------

bool TFTPDevice::ListingFresh(const std::string& dirPath) {
  int index = 0;
  if (!cache_.Find(dirPath + ListingMarker, &index)) return false;
  const std::int64_t age = SteadyMs() - cache_.Entry(index).ListedAtMs;
  return settings_.CacheSeconds > 0 && age < std::int64_t(settings_.CacheSeconds) * 1000;
}

bool TFTPDevice::RemovedMeanwhile(const std::string& dirPath) {
  if (dirPath.size() < 2) return false;  // the root
  const std::string self = dirPath.substr(0, dirPath.size() - 1);
  int index = 0;
  return cache_.Find(DirectoryPart(self) + ListingMarker, &index) && !cache_.Find(self, &index);
}

void TFTPDevice::LoadDirectory(const std::string& dirPath) {
  if (dirPath.empty()) return;
  ListNow(dirPath, false);
}

void TFTPDevice::ForgetListing(const std::string& dirPath) {
  veldra::TMutexLock lock(cacheMutex_);
  cache_.DropKey(dirPath + ListingMarker);
}

namespace {

// Turns listing lines into cache entries, one line at a time.
class TListingReader {
 public:
  explicit TListingReader(TIdFTPListFormat format) : parser_(format) {}

  void Add(const std::string& line) {
    if (!parser_.Parse(line, item_) || !UsableName(item_.EntryName)) return;
    TFTPDeviceFileList::TNewEntry entry;
    entry.name = item_.EntryName;
    entry.attributes = KindAttributes(item_.Kind);
    entry.byteSize = item_.ByteSize;
    entry.ticks = static_cast<ULONGLONG>(item_.ModifiedTicks);
    entry.precision = static_cast<std::uint8_t>(item_.TimePrecision);
    entry.mode = static_cast<std::uint16_t>(item_.Mode & 07777);
    entry.modeKnown = item_.ModeKnown;
    entries_.push_back(std::move(entry));
  }
  std::vector<TFTPDeviceFileList::TNewEntry>& Entries() { return entries_; }

 private:
  TIdFTPLineParser parser_;
  TIdFTPListItem item_;  // reused: no allocations per line but the entry's own name
  std::vector<TFTPDeviceFileList::TNewEntry> entries_;
};

}  // namespace

bool TFTPDevice::ListNow(const std::string& dirPath, bool force, bool spareOnly) {
  {
    veldra::TMutexLock lock(cacheMutex_);
    for (;;) {
      if (!force && ListingFresh(dirPath)) return true;
      if (listing_.count(dirPath) == 0) break;
      if (spareOnly) return true;  // being listed already
      // Another request lists it right now: its listing is new enough for this one too.
      if (veldra::platform::InterruptRequested())
        throw EReRefused(wincode::kOperationAborted, "Interrupted.");
      listed_.WaitFor(cacheMutex_, std::chrono::milliseconds(veldra::platform::kInterruptSliceMs));
      force = false;
    }
    listing_.insert(dirPath);
  }
  auto done = [&] {
    {
      veldra::TMutexLock lock(cacheMutex_);
      listing_.erase(dirPath);
    }
    listed_.NotifyAll();
  };
  try {
    const std::string remote = ToRemotePath(dirPath);
    auto reader = std::make_unique<TListingReader>(flfUnknown);
    {
      std::optional<TSessionPool::TLease> session =
          spareOnly ? pool_->TryAcquireSpare() : std::optional(pool_->Acquire());
      if (!session) {
        done();
        return false;
      }
      // Parsed as the lines arrive: a huge listing is never held as text.
      if (profile_->Mlsd.load()) reader = std::make_unique<TListingReader>(flfMLSD);
      (*session)->ListDirectory(remote, [&](const std::string& line) { reader->Add(line); });
    }
    // Files this drive is writing keep the size it writes, whatever a listing taken meanwhile
    // says; a refused upload's file shows the server's truth again from now on.
    std::map<std::string, std::pair<ULONGLONG, FILETIME>> writing;
    {
      veldra::TMutexLock files(filesMutex_);
      for (auto it = files_.begin(); it != files_.end();) {
        TFileState& state = *it->second;
        if (DirectoryPart(it->first) == dirPath) {
          state.broken = false;
          if (state.writing || state.spooled)
            writing[NamePart(it->first)] = {state.size, MakeFileTime(state.written)};
          if (state.users == 0 && !state.writing && !state.spooled && state.handles == 0) {
            it = files_.erase(it);
            continue;
          }
        }
        ++it;
      }
    }
    veldra::TMutexLock lock(cacheMutex_);
    if (RemovedMeanwhile(dirPath)) {
      // Renamed or removed while it was listed: its old name must not come back.
      lock.Unlock();
      done();
      return true;
    }
    for (auto& entry : reader->Entries()) {
      auto it = writing.find(entry.name);
      if (it == writing.end()) continue;
      entry.byteSize = static_cast<int64_t>(it->second.first);
      entry.ticks = FileTimeValue(it->second.second);
      entry.precision = 0;
    }
    const size_t count = reader->Entries().size();
    ++listingCount_;
    cache_.ReplaceListing(dirPath, listingCount_, &entryCount_, volumeSerial_,
                          std::move(reader->Entries()), SteadyMs());
    for (const auto& [name, values] : writing) {
      int index = 0;
      if (cache_.Find(dirPath + name, &index)) cache_.Entry(index).TimePending = true;
    }
    lock.Unlock();
    reader.reset();
    // A large listing's scratch memory goes back now, not with the next large one.
    if (count >= kLargeListing) veldra::platform::ReleaseFreeMemory();
  } catch (...) {
    done();
    throw;
  }
  done();
  return true;
}

TCacheEntry TFTPDevice::LookUp(const std::string& path) {
  CheckNameLengths(path);
  const std::string dir = DirectoryPart(path);
  LoadDirectory(dir);
  for (int attempt = 0;; ++attempt) {
    TCacheEntry entry;
    bool found = false;
    {
      veldra::TMutexLock lock(cacheMutex_);
      int index = 0;
      found = cache_.Find(path, &index);
      if (found) entry = cache_.Entry(index);
    }
    if (!found) throw EReFileNotFound();
    if (!entry.TimePending || attempt > 0) return entry;
    {
      // The time is the drive's guess after its own upload: the server's own time is asked
      // once the upload is over, so that it never changes later.
      veldra::TMutexLock files(filesMutex_);
      auto it = files_.find(path);
      if (it != files_.end() && (it->second->writing || it->second->spooled)) return entry;
    }
    if (!AskEntry(path, IsDirectory(entry.Record))) ListNow(dir, true);
  }
}

bool TFTPDevice::AskEntry(const std::string& path, bool directory) {
  // MDTM is for files only (servers refuse it for directories).
  if (!profile_->Mlsd.load() && (directory || !profile_->Mdtm.load())) return false;
  TIdFTPListItem item;
  try {
    auto session = pool_->Acquire();
    if (!session->AskEntry(ToRemotePath(path), &item)) return false;
  } catch (const EIdProtocolReplyError&) {
    return false;  // refused: the listing tells whether and how the entry is there
  }
  veldra::TMutexLock lock(cacheMutex_);
  int index = 0;
  if (!cache_.Find(path, &index)) return true;  // gone meanwhile: the next look lists
  TCacheEntry& entry = cache_.Entry(index);
  if (item.TimePrecision != tpNone) {
    SetTimes(entry.Record, MakeFileTime(static_cast<ULONGLONG>(item.ModifiedTicks)));
    entry.Precision = static_cast<std::uint8_t>(item.TimePrecision);
  }
  if (item.ModeKnown) {
    entry.Mode = static_cast<std::uint16_t>(item.Mode & 07777);
    entry.ModeKnown = true;
  }
  if (!item.EntryName.empty()) SetSize(entry.Record, static_cast<ULONGLONG>(item.ByteSize));
  entry.TimePending = false;
  return true;
}

void TFTPDevice::GetFileInfo(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  if (!info) return;
  *info = LookUp(path).Record;
  if (path == "\\" && !rootInfoFilled_.load(std::memory_order_acquire)) {
    veldra::TMutexLock lock(cacheMutex_);  // one writer publishes the record
    if (!rootInfoFilled_.load(std::memory_order_relaxed)) {
      rootInfo_ = *info;
      rootInfoFilled_.store(true, std::memory_order_release);
    }
  }
}

DWORD TFTPDevice::GetFileMode(const std::string& path) {
  {
    // Asked right after the entry was looked up or listed (for every name of a directory
    // being read): the cache answers, even when its listing has just grown old.
    veldra::TMutexLock lock(cacheMutex_);
    int index = 0;
    if (cache_.Find(path, &index)) return ShownMode(cache_.Entry(index));
  }
  return ShownMode(LookUp(path));
}

void TFTPDevice::DirectoryClosed() {
  // A large directory's enumeration (and the file-system layer's copy of it) is over.
  if (largeEnumeration_.exchange(false)) veldra::platform::ReleaseFreeMemory();
}

bool TFTPDevice::ReadDirectory(const std::string& dirPath, std::vector<TDirectoryEntry>* entries) {
  LoadDirectory(dirPath);
  for (int attempt = 0;; ++attempt) {
    entries->clear();
    bool pending = false;
    {
      veldra::TMutexLock lock(cacheMutex_);
      int index = 0;
      if (!cache_.Find(dirPath + ListingMarker, &index)) return false;
      const int depth = TFTPDeviceFileList::KeyDepth(dirPath + ListingMarker);
      int end = index;
      while (end < cache_.Count() && TFTPDeviceFileList::KeyDepth(cache_.Key(end)) == depth &&
             cache_.Key(end).compare(0, dirPath.size(), dirPath) == 0) {
        ++end;
      }
      entries->reserve(static_cast<size_t>(end - index));
      for (int i = index; i < end; ++i) {
        const TCacheEntry& e = cache_.Entry(i);
        std::string name = NamePart(e.Key);
        if (i == index) name = ".";
        pending = pending || e.TimePending;
        entries->push_back({std::move(name), e.Record, ShownMode(e)});
      }
    }
    if (entries->size() >= kLargeListing) largeEnumeration_ = true;
    if (attempt == 0) PrefetchBelow(dirPath, *entries);
    if (!pending || attempt > 0) return true;
    // Times the drive guessed after its uploads: ask the server once those uploads are over.
    bool stillWriting = false;
    {
      veldra::TMutexLock files(filesMutex_);
      for (const auto& [path, state] : files_)
        stillWriting =
            stillWriting || ((state->writing || state->spooled) && DirectoryPart(path) == dirPath);
    }
    if (stillWriting) return true;
    ListNow(dirPath, true);
  }
}

void TFTPDevice::PrefetchBelow(const std::string& dirPath,
                               const std::vector<TDirectoryEntry>& entries) {
  if (!prefetcher_) return;
  std::vector<std::string> dirs;
  {
    veldra::TMutexLock lock(cacheMutex_);
    for (const TDirectoryEntry& e : entries) {
      if (!IsDirectory(e.record) || e.name == "." || e.name == "..") continue;
      std::string dir = dirPath + e.name + '\\';
      if (!ListingFresh(dir) && listing_.count(dir) == 0) dirs.push_back(std::move(dir));
    }
  }
  if (!dirs.empty()) prefetcher_->Add(dirs);
}

bool TFTPDevice::FindFirst(const std::string& dirPath, WIN32_FIND_DATAW* data) {
  enumEntries_.clear();
  enumIndex_ = 0;
  if (!ReadDirectory(dirPath, &enumEntries_)) return false;
  return FindNext(data);
}

bool TFTPDevice::FindNext(WIN32_FIND_DATAW* data) {
  if (enumIndex_ >= enumEntries_.size()) return false;
  const TDirectoryEntry& e = enumEntries_[enumIndex_++];
  EntryToFindData(e.name == "." ? std::string(1, ListingMarker) : e.name, e.record, data);
  return true;
}

// ---- changes -----------------------------------------------------------------------------

void TFTPDevice::CheckNameLengths(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end - start > kMaxNameLength)
      throw EReRefused(wincode::kFilenameTooLong, "File name too long.");
    start = end + 1;
  }
}

void TFTPDevice::PutEntry(const std::string& path, DWORD attributes, ULONGLONG size,
                          bool timePending) {
  const std::string dir = DirectoryPart(path);
  veldra::TMutexLock lock(cacheMutex_);
  int marker = 0;
  if (!cache_.Find(dir + ListingMarker, &marker)) return;  // not listed: listed when asked
  const int32_t listing = static_cast<int32_t>(cache_.Record(marker).nFileIndexLow);
  const int index = cache_.AddRecord(dir, listing, ++entryCount_, volumeSerial_, NamePart(path),
                                     attributes, static_cast<int64_t>(size), 0);
  TCacheEntry& entry = cache_.Entry(index);
  SetTimes(entry.Record, NowFileTime());
  entry.Precision = 0;
  entry.ModeKnown = false;
  entry.TimePending = timePending;
}

void TFTPDevice::UpdateSize(const std::string& path, ULONGLONG size, const FILETIME& written) {
  veldra::TMutexLock lock(cacheMutex_);
  int index = 0;
  if (!cache_.Find(path, &index)) return;
  TCacheEntry& entry = cache_.Entry(index);
  SetSize(entry.Record, size);
  SetTimes(entry.Record, written);
  entry.TimePending = true;
}

void TFTPDevice::CreateDir(const std::string& path) {
  CheckNameLengths(path);
  try {
    auto session = pool_->Acquire();
    session->CreateRemoteDirectory(ToRemotePath(path));
  } catch (const EIdProtocolReplyError& e) {
    bool exists = false;
    try {
      ListNow(DirectoryPart(path), true);
      LookUp(path);
      exists = true;
    } catch (const Exception&) {
    }
    RaiseRefusal(e, exists ? wincode::kAlreadyExists : wincode::kAccessDenied);
  }
  // Not asked for at once: a directory's time moves with every name added to it, so the
  // drive's guess holds until the next listing like any later change would.
  PutEntry(path, FILE_ATTRIBUTE_DIRECTORY, 0, false);
  // A new directory is empty: its listing is known without asking.
  veldra::TMutexLock lock(cacheMutex_);
  ++listingCount_;
  cache_.ReplaceListing(path + "\\", listingCount_, &entryCount_, volumeSerial_, {}, SteadyMs());
}

void TFTPDevice::RemoveDir(const std::string& path) {
  try {
    auto session = pool_->Acquire();
    session->RemoveRemoteDirectory(ToRemotePath(path));
  } catch (const EIdProtocolReplyError& e) {
    // A server that does not say why: a directory that still holds names is not empty.
    int unknown = wincode::kAccessDenied;
    try {
      ListNow(DirectoryPart(path), true);
      LookUp(path);
      std::vector<TDirectoryEntry> entries;
      ListNow(path + "\\", true);
      if (ReadDirectory(path + "\\", &entries) && entries.size() > 2)
        unknown = wincode::kDirNotEmpty;
    } catch (const EReFileNotFound&) {
      unknown = wincode::kFileNotFound;
    } catch (const Exception&) {
    }
    RaiseRefusal(e, unknown);
  }
  veldra::TMutexLock lock(cacheMutex_);
  // Its marker and entries go too: a new directory of that name must not show them.
  cache_.DropSubtree(path);
}

void TFTPDevice::RemoveFile(const std::string& path) {
  TFileRef file(*this, path);
  veldra::TMutexLock hold(file->lock);
  // A spooled file deleted while open: its content is dropped at the last close, as a deleted
  // file's content is on a local disk.
  if (file->spool) file->deleted = true;
  if (file->writing) {
    try {
      FinishUploadLocked(path, *file);
    } catch (const Exception&) {
      // Its writer still learns of it; the file goes anyway.
    }
  }
  try {
    auto session = pool_->Acquire();
    session->DeleteRemoteFile(ToRemotePath(path));
  } catch (const EIdProtocolReplyError& e) {
    bool exists = true;
    try {
      ListNow(DirectoryPart(path), true);
      LookUp(path);
    } catch (const EReFileNotFound&) {
      exists = false;
    } catch (const Exception&) {
    }
    RaiseRefusal(e, exists ? wincode::kAccessDenied : wincode::kFileNotFound);
  }
  veldra::TMutexLock lock(cacheMutex_);
  cache_.DropKey(path);
}

void TFTPDevice::CreateEmptyFile(const std::string& path) {
  CheckNameLengths(path);
  TFileRef file(*this, path);
  veldra::TMutexLock hold(file->lock);
  CreateEmptyFileLocked(path, *file);
}

void TFTPDevice::CreateEmptyFileLocked(const std::string& path, TFileState& state) {
  if (state.writing) {
    try {
      FinishUploadLocked(path, state);
    } catch (const Exception&) {
      // Kept for that upload's writer; this create starts the file anew either way.
    }
  }
  const std::string remote = ToRemotePath(path);
  bool exists = false;
  try {
    exists = !IsDirectory(LookUp(path).Record);
  } catch (const EReFileNotFound&) {
  }
  if (exists) {
    try {
      auto session = pool_->Acquire();
      session->DeleteRemoteFile(remote);
    } catch (const EIdProtocolReplyError& e) {
      // Another client may have deleted the file since it was listed. Only a fresh listing
      // that no longer holds it lets the create go on: the append below would otherwise add
      // to a file that could not be deleted instead of starting it empty.
      ListNow(DirectoryPart(path), true);
      bool stillThere = true;
      try {
        LookUp(path);
      } catch (const EReFileNotFound&) {
        stillThere = false;
      }
      if (stillThere) RaiseRefusal(e, wincode::kAccessDenied);
    }
  }
  try {
    TSessionPool::TWant want{remote, TReFtp::TDirection::Upload, 0};
    auto session = pool_->Acquire(&want);
    session->Upload(remote, nullptr, 0, 0);
  } catch (const EIdProtocolReplyError& e) {
    {
      veldra::TMutexLock lock(cacheMutex_);
      cache_.DropKey(path);
    }
    RaiseRefusal(e, wincode::kAccessDenied);
  }
  state.writing = true;
  state.broken = false;
  state.size = 0;
  state.written = FileTimeValue(NowFileTime());
  PutEntry(path, FILE_ATTRIBUTE_NORMAL, 0, true);
}

void TFTPDevice::Rename(const std::string& oldPath, const std::string& newPath) {
  CheckNameLengths(newPath);
  {
    // Many servers cannot rename a file that is still being written.
    TFileRef file(*this, oldPath);
    veldra::TMutexLock hold(file->lock);
    if (file->writing) {
      try {
        FinishUploadLocked(oldPath, *file);
      } catch (const Exception&) {
      }
    }
  }
  try {
    auto session = pool_->Acquire();
    session->RenameRemote(ToRemotePath(oldPath), ToRemotePath(newPath));
  } catch (const EIdProtocolReplyError& e) {
    bool exists = true;
    try {
      ListNow(DirectoryPart(oldPath), true);
      LookUp(oldPath);
    } catch (const EReFileNotFound&) {
      exists = false;
    } catch (const Exception&) {
    }
    RaiseRefusal(e, exists ? wincode::kAccessDenied : wincode::kFileNotFound);
  }
  MoveFileStates(oldPath, newPath);
  veldra::TMutexLock lock(cacheMutex_);
  // A moved file keeps its record under the new name; a moved directory's keys go (listed
  // again when asked), and a replaced target leaves nothing behind either.
  int index = 0;
  TCacheEntry moved;
  const bool known = cache_.Find(oldPath, &index);
  if (known) moved = cache_.Entry(index);
  cache_.DropSubtree(oldPath);
  cache_.DropSubtree(newPath);
  const std::string newDir = DirectoryPart(newPath);
  int marker = 0;
  if (known && cache_.Find(newDir + ListingMarker, &marker)) {
    const int32_t listing = static_cast<int32_t>(cache_.Record(marker).nFileIndexLow);
    const int at =
        cache_.AddRecord(newDir, listing, ++entryCount_, volumeSerial_, NamePart(newPath), 0, 0, 0);
    TCacheEntry& entry = cache_.Entry(at);
    moved.Key = entry.Key;
    moved.Record.nFileIndexLow = DWORD(listing);
    moved.Record.nFileIndexHigh = DWORD(entryCount_);
    entry = std::move(moved);
  } else {
    cache_.DropKey(newDir + ListingMarker);
  }
}

void TFTPDevice::MoveFileStates(const std::string& oldPath, const std::string& newPath) {
  // Open handles and spooled contents follow their file (and the files of a moved directory).
  auto moved = [&](const std::string& path, std::string* to) {
    if (path != oldPath && path.compare(0, oldPath.size() + 1, oldPath + "\\") != 0) return false;
    *to = newPath + path.substr(oldPath.size());
    return true;
  };
  veldra::TMutexLock lock(filesMutex_);
  std::vector<std::pair<std::string, std::shared_ptr<TFileState>>> states;
  for (auto it = files_.begin(); it != files_.end();) {
    std::string to;
    if (moved(it->first, &to)) {
      states.emplace_back(to, it->second);
      it = files_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [path, state] : states) files_[path] = state;
  for (auto& [handle, path] : handles_) {
    std::string to;
    if (moved(path, &to)) path = to;
  }
}

// ---- uploads -----------------------------------------------------------------------------

void TFTPDevice::KeepUploadFailure(const std::string& remotePath, std::exception_ptr failure) {
  {
    veldra::TMutexLock lock(filesMutex_);
    failedUploads_[remotePath] = failure;
  }
  // The refusal is seen now: the drive path's size is unknown from this moment.
  std::string path = remotePath.substr(std::min(remotePath.size(), remoteRoot_.size()));
  std::replace(path.begin(), path.end(), '/', '\\');
  MarkUploadFailed(path);
}

std::exception_ptr TFTPDevice::TakeUploadFailure(const std::string& remotePath) {
  veldra::TMutexLock lock(filesMutex_);
  auto it = failedUploads_.find(remotePath);
  if (it == failedUploads_.end()) return nullptr;
  std::exception_ptr failure = it->second;
  failedUploads_.erase(it);
  return failure;
}

void TFTPDevice::MarkUploadFailed(const std::string& path) {
  {
    veldra::TMutexLock files(filesMutex_);
    auto it = files_.find(path);
    if (it != files_.end()) {
      it->second->broken = true;
      it->second->writing = false;
    }
  }
  veldra::TMutexLock lock(cacheMutex_);
  int index = 0;
  if (cache_.Find(path, &index)) SetSize(cache_.Record(index), kAllOnes);
  // The next look at the file shows what the server holds.
  cache_.DropKey(DirectoryPart(path) + ListingMarker);
}

void TFTPDevice::FinishUploadLocked(const std::string& path, TFileState& state) {
  const std::string remote = ToRemotePath(path);
  std::exception_ptr failure;
  TSessionPool::TWant want{remote, TReFtp::TDirection::Upload, -1};
  if (auto session = pool_->AcquireHolding(want)) {
    try {
      (*session)->FinishUpload(remote);
    } catch (const Exception& e) {
      if (IsInterruption(e)) throw;
      failure = std::current_exception();
    }
  }
  if (!failure) failure = TakeUploadFailure(remote);
  state.writing = false;
  if (failure) {
    MarkUploadFailed(path);
    std::rethrow_exception(failure);
  }
}

void TFTPDevice::FinishUpload(const std::string& path) {
  TFileRef file(*this, path);
  veldra::TMutexLock hold(file->lock);
  FinishUploadLocked(path, *file);
}

// ---- handles and the spool ---------------------------------------------------------------

std::uint64_t TFTPDevice::OpenHandle(const std::string& path) {
  TFileRef file(*this, path);
  veldra::TMutexLock lock(filesMutex_);
  ++file->handles;
  handles_[++lastHandle_] = path;
  return lastHandle_;
}

void TFTPDevice::CloseHandle(std::uint64_t handle) {
  std::string path;
  {
    veldra::TMutexLock lock(filesMutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return;
    path = it->second;
    handles_.erase(it);
  }
  TFileRef file(*this, path);
  veldra::TMutexLock hold(file->lock);
  bool last = false;
  {
    veldra::TMutexLock lock(filesMutex_);
    last = --file->handles == 0;
  }
  if (file->spool && !last) return;
  CompleteLocked(path, *file);
}

void TFTPDevice::CompleteLocked(const std::string& path, TFileState& state) {
  if (state.spool) {
    if (state.spool->Dirty() && !state.deleted) UploadSpool(path, state);  // raises: kept
    state.spool.reset();
    state.spooled = false;
    state.deleted = false;
    return;
  }
  // Completing the upload lets other clients see the whole file, and a refused upload is
  // reported to someone.
  FinishUploadLocked(path, state);
}

void TFTPDevice::Flush(const std::string& path) {
  TFileRef file(*this, path);
  veldra::TMutexLock hold(file->lock);
  if (file->spool) {
    if (file->spool->Dirty() && !file->deleted) UploadSpool(path, *file);
    return;
  }
  FinishUploadLocked(path, *file);
}

void TFTPDevice::SetFileSize(const std::string& path, ULONGLONG size) {
  TFileRef file(*this, path);
  veldra::TMutexLock hold(file->lock);
  ResizeLocked(path, *file, size);
  // A truncate by name, with no handle open, must leave the server holding the result: no
  // close will come to send it.
  bool open = false;
  {
    veldra::TMutexLock lock(filesMutex_);
    open = file->handles > 0;
  }
  if (!open) CompleteLocked(path, *file);
}

void TFTPDevice::ResizeLocked(const std::string& path, TFileState& state, ULONGLONG size) {
  if (!state.spool) {
    ULONGLONG now = state.size;
    if (!state.writing) {
      const TCacheEntry entry = LookUp(path);
      if (IsDirectory(entry.Record)) throw EReFileNotFound();
      now = FileSizeValue(entry.Record);
    }
    if (now == size) return;
    if (size == 0) {
      CreateEmptyFileLocked(path, state);
      return;
    }
    SpoolFile(path, state);
  }
  state.spool->Truncate(size);
  state.size = size;
  state.written = FileTimeValue(NowFileTime());
  UpdateSize(path, size, MakeFileTime(state.written));
}

void TFTPDevice::SpoolFile(const std::string& path, TFileState& state) {
  if (!spool_->Enabled()) throw EFilerError();
  // The server holds the whole file first; then its content comes into the spool.
  if (state.writing) FinishUploadLocked(path, state);
  const TCacheEntry entry = LookUp(path);
  if (IsDirectory(entry.Record)) throw EReFileNotFound();
  const ULONGLONG size = FileSizeValue(entry.Record);
  if (size == kAllOnes) throw EFilerError();
  std::unique_ptr<TSpoolFile> spool = spool_->NewFile(ToRemotePath(path));
  spool->Truncate(size);  // takes its room in the spool at once, or refuses
  std::vector<char> buffer(1 << 20);
  for (ULONGLONG at = 0; at < size;) {
    const DWORD n = DownloadRange(path, buffer.data(), static_cast<LONGLONG>(at),
                                  static_cast<DWORD>(buffer.size()), size);
    if (n == 0) break;  // the file became shorter on the server meanwhile
    spool->Write(buffer.data(), n, at);
    at += n;
  }
  spool->SetDirty(false);
  state.spool = std::move(spool);
  state.spooled = true;
  state.size = state.spool->Size();
}

void TFTPDevice::UploadSpool(const std::string& path, TFileState& state) {
  TSpoolFile& spool = *state.spool;
  const std::string remote = ToRemotePath(path);
  const std::string dir = remote.substr(0, remote.rfind('/') + 1);
  // Sent under a temporary name in the same directory, then renamed over the file: a failed
  // upload never leaves half a file under the real name.
  static std::atomic<unsigned> counter{0};
  const std::string temporary = dir + ".veldra-" + std::to_string(++counter) + "-" + NamePart(path);
  auto session = pool_->Acquire();
  try {
    std::vector<char> buffer(1 << 20);
    std::uint64_t at = 0;
    session->Upload(temporary, nullptr, 0, 0);
    while (at < spool.Size()) {
      const size_t n = spool.Read(buffer.data(), buffer.size(), at);
      if (n == 0) break;
      session->Upload(temporary, buffer.data(), static_cast<DWORD>(n), static_cast<LONGLONG>(at));
      at += n;
    }
    session->FinishUpload(temporary);
    try {
      session->RenameRemote(temporary, remote);
    } catch (const EIdProtocolReplyError&) {
      // Some servers do not rename over an existing name: the old file goes first. (Between
      // the two, the file is missing on the server; the new content is whole under the
      // temporary name.)
      session->DeleteRemoteFile(remote);
      session->RenameRemote(temporary, remote);
    }
  } catch (const Exception& e) {
    try {
      session->AbortTransfer();
      session->DeleteRemoteFile(temporary);
    } catch (const Exception&) {
      // Left behind on the server under its temporary (hidden) name.
    }
    if (IsInterruption(e)) throw;
    if (const auto* refusal = dynamic_cast<const EIdProtocolReplyError*>(&e))
      RaiseRefusal(*refusal, wincode::kBadNetResponse);
    throw;
  }
  spool.SetDirty(false);
  state.writing = false;
  UpdateSize(path, spool.Size(), MakeFileTime(state.written));
}

// ---- reads and writes --------------------------------------------------------------------

DWORD TFTPDevice::DownloadRange(const std::string& path, void* buffer, LONGLONG offset, DWORD count,
                                ULONGLONG size) {
  if (offset > 0 && !restartSupported_) throw EFilerError();
  const bool sizeKnown = size != kAllOnes;
  // Never more than the size the drive shows: a wrong data connection must not add bytes.
  const DWORD wanted =
      sizeKnown ? static_cast<DWORD>(std::min<ULONGLONG>(count, size - ULONGLONG(offset))) : count;
  const std::string remote = ToRemotePath(path);
  bool complete = false;
  DWORD n = 0;
  {
    TSessionPool::TWant want{remote, TReFtp::TDirection::Download, offset};
    auto session = pool_->Acquire(&want);
    n = session->Download(remote, buffer, wanted, offset, sizeKnown ? LONGLONG(size) : -1,
                          &complete);
  }
  const ULONGLONG reached = ULONGLONG(offset) + n;
  if (complete && sizeKnown && reached < size) {
    // The server sent the whole file, and it is shorter: it changed there. Answer from its
    // new size; a server that says the file is longer still has cut this transfer short.
    ULONGLONG now = 0;
    ListNow(DirectoryPart(path), true);
    try {
      now = FileSizeValue(LookUp(path).Record);
    } catch (const EReFileNotFound&) {
    }
    if (now > reached) throw EIdException("The server ended the transfer of " + remote + " early.");
  }
  return n;
}

void TFTPDevice::ReadAt(const std::string& path, void* buffer, LONGLONG offset, DWORD count,
                        DWORD* read) {
  if (read) *read = 0;
  if (count == 0) return;
  {
    TFileRef file(*this, path);
    veldra::TMutexLock hold(file->lock);
    if (file->spool) {
      // Written out of order: its content is the spool's until it goes to the server.
      if (offset >= 0) {
        const size_t n = file->spool->Read(buffer, count, static_cast<std::uint64_t>(offset));
        if (read) *read = static_cast<DWORD>(n);
      }
      return;
    }
    // An upload is finished before anything reads the file: the server must hold it whole.
    if (file->writing) {
      const std::string remote = ToRemotePath(path);
      try {
        FinishUploadLocked(path, *file);
      } catch (const Exception& e) {
        if (IsInterruption(e)) throw;
        // The refusal belongs to the file's writer, who hears of it at its flush or close.
        KeepUploadFailure(remote, std::current_exception());
      }
    }
  }
  const TCacheEntry entry = LookUp(path);
  if (IsDirectory(entry.Record)) throw EReFileNotFound();
  const ULONGLONG size = FileSizeValue(entry.Record);
  if (offset < 0 || static_cast<ULONGLONG>(offset) >= size) return;
  const DWORD n = DownloadRange(path, buffer, offset, count, size);
  if (read) *read = n;
}

void TFTPDevice::WriteAt(const std::string& path, const void* data, LONGLONG offset, DWORD count,
                         DWORD* written) {
  if (written) *written = 0;
  if (count == 0) return;
  TFileRef file(*this, path);
  veldra::TMutexLock hold(file->lock);
  if (offset < 0) return;
  ULONGLONG size = file->size;
  if (!file->writing && !file->spool) {
    const TCacheEntry entry = LookUp(path);
    if (IsDirectory(entry.Record)) throw EReFileNotFound();
    size = FileSizeValue(entry.Record);
  }
  if (file->broken)
    throw EReRefused(wincode::kBadNetResponse,
                     "The server refused an earlier upload of this file.");
  // Streamed while written front to back: from 0 (a whole new content) or at the end. Any
  // other write puts the file into the local spool, which the last close sends whole.
  const bool streams = !file->spool && size != kAllOnes &&
                       (static_cast<ULONGLONG>(offset) == size || (offset == 0 && count >= size));
  if (!streams) {
    if (!file->spool) SpoolFile(path, *file);
    file->spool->Write(data, count, static_cast<std::uint64_t>(offset));
    file->size = file->spool->Size();
    file->written = FileTimeValue(NowFileTime());
    UpdateSize(path, file->size, MakeFileTime(file->written));
    if (written) *written = count;
    return;
  }
  if (offset == 0 && size != 0) CreateEmptyFileLocked(path, *file);
  const std::string remote = ToRemotePath(path);
  try {
    // Two transfers appending to one file would interleave: the session that holds (or is
    // finishing, for another request) this file's upload is waited for and continued.
    TSessionPool::TWant want{remote, TReFtp::TDirection::Upload, offset};
    std::optional<TSessionPool::TLease> session = pool_->AcquireHolding(want);
    if (!session) session.emplace(pool_->Acquire(&want));
    (*session)->Upload(remote, data, count, offset);
  } catch (const Exception& e) {
    if (IsInterruption(e)) throw;
    // Nobody may take the cached size for the server's any more; the writer hears of it.
    MarkUploadFailed(path);
    throw;
  }
  file->writing = true;
  file->size = ULONGLONG(offset) + count;
  file->written = FileTimeValue(NowFileTime());
  UpdateSize(path, file->size, MakeFileTime(file->written));
  if (written) *written = count;
}

void TFTPDevice::SetFileTime(const std::string& path, const FILETIME& lastWrite) {
  TFileRef file(*this, path);
  veldra::TMutexLock hold(file->lock);
  if (file->writing) FinishUploadLocked(path, *file);
  const bool directory = IsDirectory(LookUp(path).Record);
  bool set = false;
  try {
    auto session = pool_->Acquire();
    set = session->SetModified(ToRemotePath(path), UtcStamp(lastWrite));
  } catch (const EIdProtocolReplyError& e) {
    // Many servers keep no time of their own for a directory: copying a tree with its times
    // must not fail on that.
    if (directory) return;
    RaiseRefusal(e, wincode::kAccessDenied);
  }
  if (!set) return;
  const ULONGLONG seconds = FileTimeValue(lastWrite) / kIntervalsPerSecond * kIntervalsPerSecond;
  veldra::TMutexLock lock(cacheMutex_);
  int index = 0;
  if (!cache_.Find(path, &index)) return;
  TCacheEntry& entry = cache_.Entry(index);
  SetTimes(entry.Record, MakeFileTime(seconds));
  entry.Precision = 3;
  entry.TimePending = false;
}

void TFTPDevice::SetFileMode(const std::string& path, DWORD mode) {
  TFileRef file(*this, path);
  veldra::TMutexLock hold(file->lock);
  if (file->writing) FinishUploadLocked(path, *file);
  bool set = false;
  try {
    auto session = pool_->Acquire();
    set = session->ChangeMode(ToRemotePath(path), mode);
  } catch (const EIdProtocolReplyError& e) {
    RaiseRefusal(e, wincode::kAccessDenied);
  }
  if (!set) return;
  veldra::TMutexLock lock(cacheMutex_);
  int index = 0;
  if (!cache_.Find(path, &index)) return;
  cache_.Entry(index).Mode = static_cast<std::uint16_t>(mode & 07777);
  cache_.Entry(index).ModeKnown = true;
}
