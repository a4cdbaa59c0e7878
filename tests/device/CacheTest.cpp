// The directory cache and the device's pure rules: listings in and out of the cache, stable
// times, path mapping, volume identity, the enumeration record and the refusal table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/uftpdevice.h"
#include "platform/TextConv.h"

namespace {

const std::string M(1, ListingMarker);
using TNew = TFTPDeviceFileList::TNewEntry;

// The names of dir's listing as the enumeration walks them: from the marker while the keys
// stay in that directory.
std::vector<std::string> Walk(const TFTPDeviceFileList& list, const std::string& dir) {
  std::vector<std::string> names;
  int i = 0;
  if (!list.Find(dir + M, &i)) return names;
  const int depth = TFTPDeviceFileList::KeyDepth(dir + M);
  for (; i < list.Count() && TFTPDeviceFileList::KeyDepth(list.Key(i)) == depth &&
         list.Key(i).compare(0, dir.size(), dir) == 0;
       ++i) {
    names.push_back(TFTPDevice::NamePart(list.Key(i)));
  }
  return names;
}

TNew File(const std::string& name, int64_t size = 1, ULONGLONG ticks = 0, uint8_t precision = 0) {
  TNew e;
  e.name = name;
  e.attributes = FILE_ATTRIBUTE_NORMAL;
  e.byteSize = size;
  e.ticks = ticks;
  e.precision = precision;
  return e;
}

TEST(DeviceCache, ListingsStayTogetherAndReplaceTheirPredecessor) {
  TFTPDeviceFileList list;
  int32_t entry = 0;
  // Names that sort below "\" (a hyphen, a blank) must not split another directory's keys.
  list.ReplaceListing("\\a\\", 1, &entry, 7, {File("z")}, 0);
  list.ReplaceListing("\\a-\\", 2, &entry, 7, {File("y")}, 0);
  list.ReplaceListing("\\a b\\", 3, &entry, 7, {File("x")}, 0);
  TNew dir = File("a");
  dir.attributes = FILE_ATTRIBUTE_DIRECTORY;
  list.ReplaceListing("\\", 4, &entry, 7, {File("b"), dir, File("b", 5)}, 0);
  EXPECT_EQ(Walk(list, "\\a\\"), (std::vector<std::string>{M, "..", "z"}));
  EXPECT_EQ(Walk(list, "\\"), (std::vector<std::string>{M, "..", "a", "b"}));
  int i = 0;
  ASSERT_TRUE(list.Find("\\", &i));  // the root's own entry comes with the first root listing
  ASSERT_TRUE(list.Find("\\b", &i));
  EXPECT_EQ(list.Record(i).nFileSizeLow, 5u);  // a name listed twice keeps the later values

  // Listed again: a name gone on the server goes; case-distinct names are two keys.
  list.ReplaceListing("\\", 5, &entry, 7, {File("B"), File("b")}, 0);
  EXPECT_EQ(Walk(list, "\\"), (std::vector<std::string>{M, "..", "B", "b"}));
  EXPECT_FALSE(list.Find("\\a", &i));
  list.DropSubtree("\\a");
  EXPECT_TRUE(Walk(list, "\\a\\").empty());
  EXPECT_EQ(Walk(list, "\\a-\\"), (std::vector<std::string>{M, "..", "y"}));
}

TEST(DeviceCache, AnUnchangedFileKeepsItsExactTimeWhenListedAgain) {
  const ULONGLONG second = 10000000ULL;
  const ULONGLONG exact = 132000000000000000ULL + 17 * second;  // 17 s into a minute
  const ULONGLONG minute = 132000000000000000ULL;
  struct Row {
    TNew relisted;
    bool pending;  // the old time was only the drive's guess
    ULONGLONG expected;
  } rows[] = {
      {File("f", 10, minute, 2), false, exact},  // LIST to the minute: kept
      {File("f", 10, minute + 60 * second, 2), false, minute + 60 * second},  // other minute
      {File("f", 11, minute, 2), false, minute},                              // other size: changed
      {File("f", 10, minute, 2), true, minute},                               // a guess gives way
      {File("f", 10, exact + second, 3), false, exact + second},  // as exact: the new one
  };
  for (const Row& row : rows) {
    TFTPDeviceFileList list;
    int32_t entry = 0;
    list.ReplaceListing("\\", 1, &entry, 7, {File("f", 10, exact, 3)}, 0);
    int i = 0;
    ASSERT_TRUE(list.Find("\\f", &i));
    list.Entry(i).TimePending = row.pending;
    list.ReplaceListing("\\", 2, &entry, 7, {row.relisted}, 0);
    ASSERT_TRUE(list.Find("\\f", &i));
    EXPECT_EQ(FileTimeValue(list.Record(i).ftLastWriteTime), row.expected);
  }
}

TEST(DeviceCache, RecordsHoldSizesTimesAndNumbers) {
  TFTPDeviceFileList list;
  int i = list.AddRecord("\\", 3, 9, 58729, "big", FILE_ATTRIBUTE_NORMAL, 5000000000LL, 38518.5);
  const BY_HANDLE_FILE_INFORMATION& r = list.Record(i);
  EXPECT_EQ(r.nFileSizeHigh, 1u);
  EXPECT_EQ(r.nFileSizeLow, 705032704u);
  EXPECT_EQ(FileTimeValue(r.ftLastWriteTime), 127633104000000000ULL);
  EXPECT_EQ(FileTimeValue(r.ftCreationTime), 127633104000000000ULL);
  EXPECT_EQ(r.dwVolumeSerialNumber, 58729u);
  EXPECT_EQ(r.nFileIndexLow, 3u);
  EXPECT_EQ(r.nFileIndexHigh, 9u);
  EXPECT_EQ(TFTPDeviceFileList::ToFileTime(0), 94353120000000000ULL);
  EXPECT_EQ(TFTPDeviceFileList::ToFileTime(-200000), 0u);
}

TEST(DeviceRules, RemoteRootVolumeNameSerialAndPathParts) {
  EXPECT_EQ(TFTPDevice::MakeRemoteRoot("pub/"), "\\pub");
  EXPECT_EQ(TFTPDevice::MakeRemoteRoot("/"), "");
  EXPECT_EQ(TFTPDevice::MakeRemoteRoot("pub//"), "\\pub\\");
  EXPECT_EQ(TFTPDevice::MakeRemoteRoot("/a/b"), "\\a\\b");
  EXPECT_EQ(TFTPDevice::SoundexSerial("ftp://10.0.0.1/pub"), 58729u);
  EXPECT_EQ(TFTPDevice::SoundexSerial("ftp://10.0.0.1"), 58720u);
  // The first digit 1..6 after the scheme decides: "l" is 4, "h" and "w" are skipped.
  EXPECT_EQ(TFTPDevice::SoundexSerial("ftp://localhost"), 58720u + 9 * 4);
  EXPECT_EQ(TFTPDevice::DirectoryPart("\\logs\\12:30.log"), "\\logs\\");
  EXPECT_EQ(TFTPDevice::NamePart("\\logs\\12:30.log"), "12:30.log");
  EXPECT_EQ(TFTPDevice::DirectoryPart("\\"), "\\");
}

TEST(DeviceRules, EntryToFindDataFillsTheEnumerationRecord) {
  BY_HANDLE_FILE_INFORMATION r{};
  r.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  r.ftLastWriteTime = MakeFileTime(127633104000000000ULL);
  r.nFileSizeHigh = 1;
  r.nFileSizeLow = 705032704;
  r.nFileIndexLow = 4;
  r.nFileIndexHigh = 11;
  WIN32_FIND_DATAW d;
  TFTPDevice::EntryToFindData("\\dir\\na\xC3\xAFve:1", r, &d);
  EXPECT_EQ(FileTimeValue(d.ftCreationTime), 127633104000000000ULL);
  EXPECT_EQ(d.nFileSizeHigh, 1u);
  EXPECT_EQ(d.dwReserved0, 4u);
  EXPECT_EQ(d.dwReserved1, 11u);
  EXPECT_EQ(std::u16string(d.cFileName), u"na\u00efve:1");
  TFTPDevice::EntryToFindData("\\dir\\" + M, r, &d);
  EXPECT_EQ(std::u16string(d.cFileName), u".");
  TFTPDevice::EntryToFindData("\\" + std::string(260, 'x'), r, &d);
  EXPECT_EQ(d.cFileName[0], 0);
  // A Latin-1 byte from a server survives the trip to the drive and back.
  TFTPDevice::EntryToFindData(std::string("\\caf\xE9"), r, &d);
  EXPECT_EQ(veldra::platform::WideToAnsi(d.cFileName), "caf\xE9");
}

// Real refusal texts of vsftpd, pyftpdlib, proftpd and pure-ftpd, and what they mean.
TEST(DeviceRules, RefusalsMeanWhatTheServerSays) {
  struct Row {
    int code;
    const char* text;
    int expected;
  } rows[] = {
      {550, "Permission denied.", wincode::kAccessDenied},
      {550, "Not enough privileges.", wincode::kAccessDenied},
      {550, "/a: No such file or directory.", wincode::kFileNotFound},
      {550, "Can't remove directory: Directory not empty", wincode::kDirNotEmpty},
      {550, "d: Directory not empty", wincode::kDirNotEmpty},
      {550, "File exists", wincode::kAlreadyExists},
      {553, "Could not create file.", wincode::kAccessDenied},
      {552, "Disk quota exceeded", wincode::kQuotaExceeded},
      {552, "Requested file action aborted.", wincode::kQuotaExceeded},
      {452, "Insufficient storage space.", wincode::kDiskFull},
      {550, "File name too long", wincode::kFilenameTooLong},
      {550, "Remove directory operation failed.", wincode::kBadNetResponse},
      {450, "Busy", wincode::kBusy},
  };
  for (const Row& row : rows)
    EXPECT_EQ(RefusalCode(row.code, row.text), row.expected) << row.code << " " << row.text;
}

}  // namespace
