// The FTP device: path mapping, listing on demand, lookups, enumeration, volume identity,
// changes, reads and writes.
#include "device/uftpdevice.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "device/ureftp.h"
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

// --- placeholders until the session is in ---
TFTPDevice::TFTPDevice(const std::string&, const std::string&, const std::string&,
                       const std::string&, bool, int) {
  throw Exception("not available yet");
}
TFTPDevice::~TFTPDevice() = default;
TReFtp& TFTPDevice::Session() {
  return *session_;
}
void TFTPDevice::LoadDirectory(const std::string&) {}
bool TFTPDevice::FindFirst(const std::string&, WIN32_FIND_DATAW*) {
  return false;
}
bool TFTPDevice::FindNext(WIN32_FIND_DATAW*) {
  return false;
}
void TFTPDevice::GetFileInfo(const std::string&, BY_HANDLE_FILE_INFORMATION*) {}
void TFTPDevice::CreateDir(const std::string&) {}
void TFTPDevice::RemoveDir(const std::string&) {}
void TFTPDevice::RemoveFile(const std::string&) {}
void TFTPDevice::CreateEmptyFile(const std::string&) {}
void TFTPDevice::Rename(const std::string&, const std::string&) {}
void TFTPDevice::ReadAt(const std::string&, void*, LONGLONG, DWORD, DWORD* read) {
  if (read) *read = 0;
}
void TFTPDevice::WriteAt(const std::string&, const void*, LONGLONG, DWORD, DWORD* written) {
  if (written) *written = 0;
}
void TFTPDevice::FinishUpload(const std::string&) {}
