// The directory cache and the device's pure rules: listings in and out of the cache, stable
// times, records, path mapping, volume identity, the enumeration record and the refusal table.
// What an enumeration shows of names sorting around "\" is checked through the drive (the
// interop scenario's tree).
#include <gtest/gtest.h>

#include <string>

#include "device/uftpdevice.h"
#include "platform/TextConv.h"

namespace {

using TNew = TFTPDeviceFileList::TNewEntry;

TNew File(const std::string& name, int64_t size = 1, ULONGLONG ticks = 0, uint8_t precision = 0,
          DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
  TNew e;
  e.name = name;
  e.attributes = attributes;
  e.byteSize = size;
  e.ticks = ticks;
  e.precision = precision;
  return e;
}

// A fresh listing replaces the old one; dropping a directory leaves its neighbours alone,
// whatever their names sort like against "\" ("a-", "a b").
TEST(DeviceCache, ListingsReplaceTheirPredecessorAndDropOnlyTheirOwn) {
  TFTPDeviceFileList list;
  int32_t entry = 0;
  int i = 0;
  list.ReplaceListing("\\a\\", 1, &entry, 7, {File("z")}, 0);
  list.ReplaceListing("\\a-\\", 2, &entry, 7, {File("y")}, 0);
  list.ReplaceListing("\\a b\\", 3, &entry, 7, {File("x")}, 0);
  const TNew dir = File("a", 0, 0, 0, FILE_ATTRIBUTE_DIRECTORY);
  list.ReplaceListing("\\", 4, &entry, 7, {File("b"), dir, File("b", 5)}, 0);
  EXPECT_TRUE(list.Find("\\", &i));  // the root's own entry comes with its first listing
  ASSERT_TRUE(list.Find("\\b", &i));
  EXPECT_EQ(FileSizeValue(list.Record(i)), 5u);  // a name listed twice keeps the later values
  list.ReplaceListing("\\", 5, &entry, 7, {File("B"), File("b")}, 0);
  EXPECT_FALSE(list.Find("\\a", &i));  // gone from the server
  EXPECT_TRUE(list.Find("\\B", &i) && list.Find("\\b", &i));
  list.DropSubtree("\\a");
  EXPECT_FALSE(list.Find("\\a\\z", &i));
  EXPECT_TRUE(list.Find("\\a-\\y", &i) && list.Find("\\a b\\x", &i));
}

// A listing to the minute must not make an exact time jump back to the minute.
TEST(DeviceCache, AnUnchangedFileKeepsItsExactTimeWhenListedAgain) {
  const ULONGLONG second = 10000000ULL, minute = 132000000000000000ULL;
  const ULONGLONG exact = minute + 17 * second;
  struct Row {
    TNew relisted;
    bool pending;  // the old time was only the drive's guess
    ULONGLONG expected;
  } rows[] = {
      {File("f", 10, minute, 2), false, exact},                               // same minute: kept
      {File("f", 10, minute + 60 * second, 2), false, minute + 60 * second},  // other minute
      {File("f", 11, minute, 2), false, minute},                              // other size
      {File("f", 10, minute, 2), true, minute},                               // a guess gives way
      {File("f", 10, exact + second, 3), false, exact + second},              // as exact: new one
  };
  for (const Row& row : rows) {
    TFTPDeviceFileList list;
    int32_t entry = 0;
    int i = 0;
    list.ReplaceListing("\\", 1, &entry, 7, {File("f", 10, exact, 3)}, 0);
    ASSERT_TRUE(list.Find("\\f", &i));
    list.Entry(i).TimePending = row.pending;
    list.ReplaceListing("\\", 2, &entry, 7, {row.relisted}, 0);
    ASSERT_TRUE(list.Find("\\f", &i));
    EXPECT_EQ(FileTimeValue(list.Record(i).ftLastWriteTime), row.expected);
  }
}

TEST(DeviceRules, RemoteRootAndVolumeSerial) {
  EXPECT_EQ(TFTPDevice::MakeRemoteRoot("pub/"), "\\pub");
  EXPECT_EQ(TFTPDevice::MakeRemoteRoot("/"), "");
  EXPECT_EQ(TFTPDevice::MakeRemoteRoot("pub//"), "\\pub\\");
  EXPECT_EQ(TFTPDevice::MakeRemoteRoot("/a/b"), "\\a\\b");
  EXPECT_EQ(TFTPDevice::SoundexSerial("ftp://10.0.0.1/pub"), 58729u);
  EXPECT_EQ(TFTPDevice::SoundexSerial("ftp://10.0.0.1"), 58720u);
  // The first digit 1..6 after the scheme decides: "l" is 4, "h" and "w" are skipped.
  EXPECT_EQ(TFTPDevice::SoundexSerial("ftp://localhost"), 58720u + 9 * 4);
}

// A record as the cache makes it, and the enumeration record made of it. The Windows build
// skips this case by name (its names are ANSI, not UTF-8).
TEST(DeviceRules, EntryToFindDataFillsTheEnumerationRecord) {
  TFTPDeviceFileList list;
  const BY_HANDLE_FILE_INFORMATION& r = list.Record(
      list.AddRecord("\\", 4, 11, 58729, "big", FILE_ATTRIBUTE_NORMAL, 5000000000LL, 38518.5));
  EXPECT_EQ(r.dwVolumeSerialNumber, 58729u);
  EXPECT_EQ(FileTimeValue(r.ftLastWriteTime), 127633104000000000ULL);
  EXPECT_EQ(TFTPDeviceFileList::ToFileTime(0), 94353120000000000ULL);
  EXPECT_EQ(TFTPDeviceFileList::ToFileTime(-200000), 0u);
  WIN32_FIND_DATAW d;
  TFTPDevice::EntryToFindData("\\dir\\na\xC3\xAFve:1", r, &d);
  EXPECT_EQ(FileTimeValue(d.ftCreationTime), 127633104000000000ULL);
  EXPECT_EQ(d.nFileSizeHigh, 1u);
  EXPECT_EQ(d.nFileSizeLow, 705032704u);
  EXPECT_EQ(d.dwReserved0, 4u);
  EXPECT_EQ(d.dwReserved1, 11u);
  EXPECT_EQ(std::u16string(d.cFileName), u"na\u00efve:1");
  TFTPDevice::EntryToFindData("\\dir\\" + std::string(1, ListingMarker), r, &d);
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
