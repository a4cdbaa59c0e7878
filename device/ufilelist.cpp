// The directory cache: sorted keys with their file records.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "device/uftpdevice.h"

namespace {

constexpr ULONGLONG kIntervalsPerDay = 864000000000ULL;
constexpr ULONGLONG kIntervalsPerSecond = 10000000ULL;
constexpr long long kDaysFrom1601To1899 = 109205;

bool KeyLess(const TCacheEntry& entry, const std::string& key) {
  return TFTPDeviceFileList::CompareKeys(entry.Key, key) < 0;
}

bool EntryLess(const TCacheEntry& a, const TCacheEntry& b) {
  return TFTPDeviceFileList::CompareKeys(a.Key, b.Key) < 0;
}

void FillRecord(BY_HANDLE_FILE_INFORMATION& r, int32_t listingNumber, int32_t entryNumber,
                DWORD volumeSerial, DWORD attributes, int64_t byteSize, ULONGLONG ticks) {
  if (attributes != 0) r.dwFileAttributes = attributes;
  const FILETIME t = MakeFileTime(ticks);
  r.ftCreationTime = t;
  r.ftLastAccessTime = t;
  r.ftLastWriteTime = t;
  r.dwVolumeSerialNumber = volumeSerial;
  const ULONGLONG size = static_cast<ULONGLONG>(byteSize);
  r.nFileSizeHigh = DWORD(size >> 32);
  r.nFileSizeLow = DWORD(size & 0xFFFFFFFFu);
  r.nFileIndexLow = DWORD(listingNumber);
  r.nFileIndexHigh = DWORD(entryNumber);
}

// The span a listed time stands for: a time given to the minute covers that whole minute.
ULONGLONG PrecisionSpan(std::uint8_t precision) {
  switch (precision) {
    case 1:
      return kIntervalsPerDay;
    case 2:
      return 60 * kIntervalsPerSecond;
    case 3:
      return kIntervalsPerSecond;
    case 4:
      return kIntervalsPerSecond / 1000;
    default:
      return 0;
  }
}

// The time an unchanged entry keeps: its old one when that is more exact and still agrees with
// the new listing (so that `ls` after a relisting, `vim` and `rsync` see no jump).
bool KeepOldTime(const TCacheEntry& old, const TFTPDeviceFileList::TNewEntry& fresh) {
  if (old.TimePending || old.Precision <= fresh.precision || fresh.precision == 0) return false;
  if (FileSizeValue(old.Record) != static_cast<ULONGLONG>(fresh.byteSize)) return false;
  if (fresh.attributes != 0 && old.Record.dwFileAttributes != fresh.attributes) return false;
  const ULONGLONG oldTicks = FileTimeValue(old.Record.ftLastWriteTime);
  return oldTicks >= fresh.ticks && oldTicks - fresh.ticks < PrecisionSpan(fresh.precision);
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
  return it != entries_.end() && CompareKeys(it->Key, key) == 0;
}

int TFTPDeviceFileList::AddRecord(const std::string& dirPath, int32_t listingNumber,
                                  int32_t entryNumber, DWORD volumeSerial, const std::string& name,
                                  DWORD attributes, int64_t byteSize, double modified) {
  std::string key = dirPath + name;
  int index = 0;
  if (!Find(key, &index)) {
    TCacheEntry entry;
    entry.Key = std::move(key);
    entries_.insert(entries_.begin() + index, std::move(entry));
  }
  FillRecord(entries_[index].Record, listingNumber, entryNumber, volumeSerial, attributes, byteSize,
             ToFileTime(modified));
  return index;
}

void TFTPDeviceFileList::ReplaceListing(const std::string& dirPath, int32_t listingNumber,
                                        int32_t* entryCounter, DWORD volumeSerial,
                                        std::vector<TNewEntry> newEntries,
                                        std::int64_t listedAtMs) {
  // The old listing leaves the cache, but what it knew stays at hand for the times of
  // unchanged entries (moved, not copied: a directory may hold hundreds of thousands).
  std::vector<TCacheEntry> old;
  int first = 0;
  {
    Find(dirPath + ListingMarker, &first);
    int last = first;
    const int depth = KeyDepth(dirPath + ListingMarker);
    while (last < Count() && KeyDepth(entries_[last].Key) == depth &&
           entries_[last].Key.compare(0, dirPath.size(), dirPath) == 0) {
      ++last;
    }
    old.assign(std::make_move_iterator(entries_.begin() + first),
               std::make_move_iterator(entries_.begin() + last));
    entries_.erase(entries_.begin() + first, entries_.begin() + last);
  }

  std::vector<TCacheEntry> fresh;
  fresh.reserve(newEntries.size() + 3);
  for (TNewEntry& e : newEntries) {
    TCacheEntry entry;
    entry.Key = dirPath + e.name;
    FillRecord(entry.Record, listingNumber, ++*entryCounter, volumeSerial, e.attributes, e.byteSize,
               e.ticks);
    entry.Precision = e.precision;
    entry.Mode = e.mode;
    entry.ModeKnown = e.modeKnown;
    auto previous = std::lower_bound(old.begin(), old.end(), entry.Key, KeyLess);
    if (previous != old.end() && previous->Key == entry.Key && KeepOldTime(*previous, e)) {
      entry.Record.ftCreationTime = previous->Record.ftCreationTime;
      entry.Record.ftLastAccessTime = previous->Record.ftLastAccessTime;
      entry.Record.ftLastWriteTime = previous->Record.ftLastWriteTime;
      entry.Precision = previous->Precision;
    }
    fresh.push_back(std::move(entry));
  }
  newEntries = std::vector<TNewEntry>();
  old = std::vector<TCacheEntry>();
  // A name listed twice: the later item wins (a stable sort keeps listing order among equals).
  std::stable_sort(fresh.begin(), fresh.end(), EntryLess);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < fresh.size(); ++i) {
    if (kept > 0 && fresh[kept - 1].Key == fresh[i].Key) {
      const DWORD previous = fresh[kept - 1].Record.dwFileAttributes;
      fresh[kept - 1] = std::move(fresh[i]);
      if (fresh[kept - 1].Record.dwFileAttributes == 0)
        fresh[kept - 1].Record.dwFileAttributes = previous;
    } else {
      if (kept != i) fresh[kept] = std::move(fresh[i]);
      ++kept;
    }
  }
  fresh.resize(kept);
  auto synthetic = [&](const std::string& name) {
    TCacheEntry entry;
    entry.Key = dirPath + name;
    FillRecord(entry.Record, listingNumber, ++*entryCounter, volumeSerial, FILE_ATTRIBUTE_DIRECTORY,
               0, ToFileTime(0));
    return entry;
  };
  fresh.push_back(synthetic(std::string(1, ListingMarker)));
  fresh.back().ListedAtMs = listedAtMs;
  fresh.push_back(synthetic(".."));
  std::sort(fresh.begin(), fresh.end(), EntryLess);
  // A directory's keys lie together where its marker sorts: the new ones go where the old
  // ones were, in one move (no second copy of the cache, and no growth when listed again).
  if (entries_.capacity() < entries_.size() + fresh.size())
    entries_.reserve(entries_.size() + fresh.size() + entries_.size() / 8);
  entries_.insert(entries_.begin() + first, std::make_move_iterator(fresh.begin()),
                  std::make_move_iterator(fresh.end()));
  // The root's own entry comes with the root's first listing; it sorts before every key.
  if (dirPath == "\\" && !Find("\\", nullptr)) entries_.insert(entries_.begin(), synthetic(""));
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
  while (last < Count() && KeyDepth(entries_[last].Key) == depth &&
         entries_[last].Key.compare(0, dirPath.size(), dirPath) == 0) {
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
                                [&](const TCacheEntry& e) {
                                  return e.Key.compare(0, prefix.size(), prefix) == 0;
                                }),
                 entries_.end());
}
