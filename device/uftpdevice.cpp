// The FTP device: path mapping, listing on demand, lookups, enumeration, volume identity,
// changes, reads and writes.
#include "device/uftpdevice.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <mutex>

#include "device/ureftp.h"
#include "ftp/IdFTPList.h"
#include "platform/TextConv.h"

std::atomic<bool> DebugMode{false};

namespace {

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
  if (maxComponentLength) *maxComponentLength = 260;
  if (flags) *flags = 7;  // case-sensitive search, case-preserved names, Unicode on disk
  CopyWide("VELDRA", fsName, fsNameSize);
}

namespace {

// The local clock as a date-time (days since 1899-12-30, fraction = time of day).
double LocalNow() {
  static std::mutex mutex;  // std::localtime shares one result buffer
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  {
    std::lock_guard<std::mutex> lock(mutex);
    tm = *std::localtime(&now);
  }
  TDateTime value = 0;
  TryEncodeDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                    std::min(tm.tm_sec, 59), 0, value);
  return value;
}

// Names a listing may carry that must not become keys: our own "." and ".." are added by the
// device, and a name with "\" would pose as a deeper path.
bool UsableName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('\\') == std::string::npos &&
         name.find(ListingMarker) == std::string::npos;
}

}  // namespace

namespace {

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

}  // namespace

int TFTPDeviceFileList::AddEntry(const std::string& dirPath, int32_t listingNumber,
                                 int32_t entryNumber, DWORD volumeSerial,
                                 const TIdFTPListItem& item) {
  return AddRecord(dirPath, listingNumber, entryNumber, volumeSerial, item.EntryName,
                   KindAttributes(item.Kind), item.ByteSize, item.Modified);
}

TFTPDevice::TFTPDevice(const TDeviceSettings& settings)
    : cache_(std::make_unique<TFTPDeviceFileList>()), session_(std::make_unique<TReFtp>()) {
  session_->SetReadTimeout(5000);
  session_->SetHost(settings.Host);
  session_->SetUsername(settings.User);
  session_->SetPassword(settings.Password);
  session_->SetPassive(settings.Passive);
  session_->SetPort(settings.Port);
  session_->SetTlsMode(settings.Tls);
  session_->SetCertificatePin(settings.CertificatePin);
  remoteRoot_ = MakeRemoteRoot(settings.RemotePath);
  volumeName_ = "ftp://" + settings.Host + remoteRoot_;
  std::replace(volumeName_.begin(), volumeName_.end(), '\\', '/');
  volumeSerial_ = SoundexSerial(volumeName_);
  // The first command meets no connection; the session's retry connects and logs in.
  LoadDirectory("\\");
  session_->ProbeRestartSupport();
}

TFTPDevice::~TFTPDevice() {
  // A file copied just before the unmount must arrive whole: finish its upload before the
  // connections close. An open download is simply dropped with the session.
  if (session_ && session_->Direction() == TReFtp::TDirection::Upload) session_->AbortTransfer();
}

TReFtp& TFTPDevice::Session() {
  return *session_;
}

void TFTPDevice::LoadDirectory(const std::string& dirPath) {
  if (dirPath.empty() || cache_->Find(dirPath + ListingMarker, nullptr)) return;
  session_->ChangeRemoteDirectory(ToRemotePath(dirPath));
  session_->RequestListing(nullptr, "", true);
  TIdFTPListItems& items = session_->ParsedListing();
  ++listingCount_;
  // Entries removed on the server must not linger with an older listing number: they would
  // also end the enumeration walk early.
  cache_->DropListing(dirPath);
  std::vector<TFTPDeviceFileList::TNewEntry> entries;
  entries.reserve(items.ItemCount());
  for (int i = 0; i < items.ItemCount(); ++i) {
    const TIdFTPListItem& item = items.ItemAt(i);
    if (!UsableName(item.EntryName)) continue;
    entries.push_back(
        {item.EntryName, KindAttributes(item.Kind), item.ByteSize, item.Modified, ++entryCount_});
  }
  cache_->AddRecords(dirPath, listingCount_, volumeSerial_, entries);
  if (dirPath == "\\" && !cache_->Find("\\", nullptr)) {
    cache_->AddRecord(dirPath, listingCount_, ++entryCount_, volumeSerial_, "",
                      FILE_ATTRIBUTE_DIRECTORY, 0, 0);
  }
  cache_->AddRecord(dirPath, listingCount_, ++entryCount_, volumeSerial_,
                    std::string(1, ListingMarker), FILE_ATTRIBUTE_DIRECTORY, 0, 0);
  cache_->AddRecord(dirPath, listingCount_, ++entryCount_, volumeSerial_, "..",
                    FILE_ATTRIBUTE_DIRECTORY, 0, 0);
}

bool TFTPDevice::FindFirst(const std::string& dirPath, WIN32_FIND_DATAW* data) {
  LoadDirectory(dirPath);
  const std::string marker = dirPath + ListingMarker;
  int index = 0;
  bool found = cache_->Find(marker, &index);
  enumIndex_ = index;
  if (!found) return false;
  enumListing_ = static_cast<int32_t>(cache_->Record(index).nFileIndexLow);
  EntryToFindData(marker, cache_->Record(index), data);
  ++enumIndex_;
  return true;
}

bool TFTPDevice::FindNext(WIN32_FIND_DATAW* data) {
  if (enumIndex_ < 0 || enumIndex_ >= cache_->Count()) return false;
  const BY_HANDLE_FILE_INFORMATION& record = cache_->Record(enumIndex_);
  if (static_cast<int32_t>(record.nFileIndexLow) != enumListing_) return false;
  EntryToFindData(cache_->Key(enumIndex_), record, data);
  ++enumIndex_;
  return true;
}

void TFTPDevice::GetFileInfo(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  if (!info) return;
  LoadDirectory(DirectoryPart(path));
  int index = 0;
  if (!cache_->Find(path, &index)) throw EReFileNotFound();
  *info = cache_->Record(index);
  if (path == "\\" && !rootInfoFilled_.load(std::memory_order_relaxed)) {
    rootInfo_ = *info;
    rootInfoFilled_.store(true, std::memory_order_release);
  }
}

void TFTPDevice::CreateDir(const std::string& path) {
  session_->CreateRemoteDirectory(ToRemotePath(path));
  cache_->DropKey(DirectoryPart(path) + ListingMarker);
}

void TFTPDevice::RemoveDir(const std::string& path) {
  session_->RemoveRemoteDirectory(ToRemotePath(path));
  // Its marker and entries go too: a new directory of that name must not show them.
  cache_->DropSubtree(path);
}

void TFTPDevice::RemoveFile(const std::string& path) {
  session_->DeleteRemoteFile(ToRemotePath(path));
  cache_->DropKey(path);
}

void TFTPDevice::CreateEmptyFile(const std::string& path) {
  if (cache_->Find(path, nullptr)) {
    try {
      RemoveFile(path);
    } catch (const EIdProtocolReplyError&) {
      // Another client may have deleted the file since it was listed. Only a fresh listing
      // that no longer holds it lets the create go on: the append below would otherwise add
      // to a file that could not be deleted instead of starting it empty.
      const std::string directory = DirectoryPart(path);
      cache_->DropKey(directory + ListingMarker);
      LoadDirectory(directory);
      if (cache_->Find(path, nullptr)) throw;
    }
  }
  session_->Upload(ToRemotePath(path), nullptr, 0, 0);
  cache_->DropKey(path);
  cache_->DropKey(DirectoryPart(path) + ListingMarker);
}

void TFTPDevice::Rename(const std::string& oldPath, const std::string& newPath) {
  session_->RenameRemote(ToRemotePath(oldPath), ToRemotePath(newPath));
  // A moved directory takes its keys along; a replaced one leaves nothing behind either.
  cache_->DropSubtree(oldPath);
  cache_->DropSubtree(newPath);
  cache_->DropKey(DirectoryPart(newPath) + ListingMarker);
}

void TFTPDevice::ReadAt(const std::string& path, void* buffer, LONGLONG offset, DWORD count,
                        DWORD* read) {
  if (read) *read = 0;
  if (count == 0) return;
  BY_HANDLE_FILE_INFORMATION info;
  GetFileInfo(path, &info);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) throw EReFileNotFound();
  const ULONGLONG size = FileSizeValue(info);
  if (static_cast<ULONGLONG>(offset) >= size) return;
  if (offset < 0) return;
  if (offset > 0 && !session_->ProbeRestartSupport()) throw EFilerError();
  const LONGLONG knownEnd = size == ~ULONGLONG(0) ? -1 : static_cast<LONGLONG>(size);
  DWORD n = session_->Download(ToRemotePath(path), buffer, count, offset, knownEnd);
  if (read) *read = n;
}

void TFTPDevice::WriteAt(const std::string& path, const void* data, LONGLONG offset, DWORD count,
                         DWORD* written) {
  if (written) *written = 0;
  if (count == 0) return;
  BY_HANDLE_FILE_INFORMATION info;
  GetFileInfo(path, &info);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) throw EReFileNotFound();
  if (offset < 0) return;
  const ULONGLONG size = FileSizeValue(info);
  if (offset > 0 && static_cast<ULONGLONG>(offset) != size) throw EFilerError();
  if (offset == 0 && size != 0) {
    // Only a rewrite at least as long as the old content is a whole new file.
    if (count < size) throw EFilerError();
    CreateEmptyFile(path);
  }
  try {
    session_->Upload(ToRemotePath(path), data, count, offset);
  } catch (...) {
    // Nobody may take the cached size for the server's any more; the writer hears of it.
    MarkSizeUnknown(path);
    throw;
  }
  int index = 0;
  if (cache_->Find(path, &index)) {
    BY_HANDLE_FILE_INFORMATION& r = cache_->Record(index);
    ULONGLONG newSize = offset > 0 ? size + count : count;
    r.nFileSizeHigh = DWORD(newSize >> 32);
    r.nFileSizeLow = DWORD(newSize & 0xFFFFFFFFu);
    r.ftLastWriteTime = MakeFileTime(TFTPDeviceFileList::ToFileTime(LocalNow()));
  }
  if (written) *written = count;
}

void TFTPDevice::FinishUpload(const std::string& path) {
  try {
    session_->FinishUpload(ToRemotePath(path));
  } catch (...) {
    MarkSizeUnknown(path);
    throw;
  }
}

void TFTPDevice::MarkSizeUnknown(const std::string& path) {
  int index = 0;
  if (!cache_->Find(path, &index)) return;
  cache_->Record(index).nFileSizeHigh = 0xFFFFFFFFu;
  cache_->Record(index).nFileSizeLow = 0xFFFFFFFFu;
}
