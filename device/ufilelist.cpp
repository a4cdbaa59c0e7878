// The directory cache: sorted keys with their file records.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "device/uftpdevice.h"

namespace {

constexpr ULONGLONG kIntervalsPerDay = 864000000000ULL;
constexpr long long kDaysFrom1601To1899 = 109205;

bool KeyLess(const std::pair<std::string, BY_HANDLE_FILE_INFORMATION>& entry,
             const std::string& key) {
  return TFTPDeviceFileList::CompareKeys(entry.first, key) < 0;
}

void FillRecord(BY_HANDLE_FILE_INFORMATION& r, int32_t listingNumber, int32_t entryNumber,
                DWORD volumeSerial, DWORD attributes, int64_t byteSize, double modified) {
  if (attributes != 0) r.dwFileAttributes = attributes;
  FILETIME t = MakeFileTime(TFTPDeviceFileList::ToFileTime(modified));
  r.ftCreationTime = t;
  r.ftLastAccessTime = t;
  r.ftLastWriteTime = t;
  r.dwVolumeSerialNumber = volumeSerial;
  ULONGLONG size = static_cast<ULONGLONG>(byteSize);
  r.nFileSizeHigh = DWORD(size >> 32);
  r.nFileSizeLow = DWORD(size & 0xFFFFFFFFu);
  r.nFileIndexLow = DWORD(listingNumber);
  r.nFileIndexHigh = DWORD(entryNumber);
}

}  // namespace

int TFTPDeviceFileList::KeyDepth(const std::string& key) {
  if (key.empty()) return 0;
  return static_cast<int>(std::count(key.begin(), key.end() - 1, '\\'));
}

int TFTPDeviceFileList::CompareKeys(const std::string& a, const std::string& b) {
  int depth = KeyDepth(a) - KeyDepth(b);
  if (depth != 0) return depth;
  // Byte order keeps every key that starts with one directory path together, and the marker
  // character (code 1) ahead of every name, which the enumeration walk depends on.
  int c = a.compare(b);  // std::string compares char_traits<char>, which is unsigned order
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

ULONGLONG TFTPDeviceFileList::ToFileTime(double dateTime) {
  if (!std::isfinite(dateTime)) return 0;
  // Whole days and the time of day apart, so that the day count stays exact.
  double whole = std::floor(dateTime);
  double fraction = dateTime - whole;
  if (whole < -double(kDaysFrom1601To1899) || whole > 1e7) return 0;
  long long days = static_cast<long long>(whole) + kDaysFrom1601To1899;
  long long ticks = std::llround(fraction * double(kIntervalsPerDay));
  return ULONGLONG(days) * kIntervalsPerDay + ULONGLONG(ticks);
}

bool TFTPDeviceFileList::Find(const std::string& key, int* index) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), key, KeyLess);
  if (index) *index = static_cast<int>(it - entries_.begin());
  return it != entries_.end() && CompareKeys(it->first, key) == 0;
}

int TFTPDeviceFileList::AddRecord(const std::string& dirPath, int32_t listingNumber,
                                  int32_t entryNumber, DWORD volumeSerial, const std::string& name,
                                  DWORD attributes, int64_t byteSize, double modified) {
  std::string key = dirPath + name;
  int index = 0;
  if (!Find(key, &index)) {
    BY_HANDLE_FILE_INFORMATION zero;
    std::memset(&zero, 0, sizeof zero);
    entries_.emplace(entries_.begin() + index, std::move(key), zero);
  }
  FillRecord(entries_[index].second, listingNumber, entryNumber, volumeSerial, attributes, byteSize,
             modified);
  return index;
}

void TFTPDeviceFileList::AddRecords(const std::string& dirPath, int32_t listingNumber,
                                    DWORD volumeSerial, const std::vector<TNewEntry>& newEntries) {
  using Entry = std::pair<std::string, BY_HANDLE_FILE_INFORMATION>;
  std::vector<Entry> fresh;
  fresh.reserve(newEntries.size());
  for (const TNewEntry& e : newEntries) {
    std::string key = dirPath + e.name;
    int index = 0;
    if (Find(key, &index)) {
      FillRecord(entries_[index].second, listingNumber, e.entryNumber, volumeSerial, e.attributes,
                 e.byteSize, e.modified);
      continue;
    }
    BY_HANDLE_FILE_INFORMATION r;
    std::memset(&r, 0, sizeof r);
    FillRecord(r, listingNumber, e.entryNumber, volumeSerial, e.attributes, e.byteSize, e.modified);
    fresh.emplace_back(std::move(key), r);
  }
  auto less = [](const Entry& a, const Entry& b) { return CompareKeys(a.first, b.first) < 0; };
  std::stable_sort(fresh.begin(), fresh.end(), less);
  // A name listed twice: the later item wins, as it would one by one. A record whose first
  // occurrence had a kind (attributes) keeps them when the later one has none.
  std::vector<Entry> unique;
  unique.reserve(fresh.size());
  for (Entry& e : fresh) {
    if (!unique.empty() && unique.back().first == e.first) {
      DWORD previous = unique.back().second.dwFileAttributes;
      unique.back().second = e.second;
      if (unique.back().second.dwFileAttributes == 0)
        unique.back().second.dwFileAttributes = previous;
    } else {
      unique.push_back(std::move(e));
    }
  }
  const std::size_t middle = entries_.size();
  entries_.insert(entries_.end(), std::make_move_iterator(unique.begin()),
                  std::make_move_iterator(unique.end()));
  std::inplace_merge(entries_.begin(), entries_.begin() + middle, entries_.end(), less);
}

void TFTPDeviceFileList::DropKey(const std::string& key) {
  int index = 0;
  if (Find(key, &index)) entries_.erase(entries_.begin() + index);
}

void TFTPDeviceFileList::DropListing(const std::string& dirPath) {
  // The marker and direct entries are exactly the keys of depth(marker) that begin with
  // dirPath; they lie together, marker first.
  int first = 0;
  Find(dirPath + ListingMarker, &first);
  int last = first;
  int depth = KeyDepth(dirPath + ListingMarker);
  while (last < Count() && KeyDepth(entries_[last].first) == depth &&
         entries_[last].first.compare(0, dirPath.size(), dirPath) == 0) {
    ++last;
  }
  entries_.erase(entries_.begin() + first, entries_.begin() + last);
}

void TFTPDeviceFileList::DropSubtree(const std::string& path) {
  if (path.empty() || path == "\\") return;  // the root is never dropped as a whole
  DropKey(path);
  std::string prefix = path + '\\';
  // Keys below path live at several depths; each depth keeps them together, so one pass over
  // the list removes them.
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [&](const std::pair<std::string, BY_HANDLE_FILE_INFORMATION>& e) {
                                  return e.first.compare(0, prefix.size(), prefix) == 0;
                                }),
                 entries_.end());
}
