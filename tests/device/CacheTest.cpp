// The directory cache and the device's pure rules: key order, records, path mapping,
// volume identity and the enumeration record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/uftpdevice.h"
#include "platform/TextConv.h"

namespace {

const std::string M(1, ListingMarker);

std::vector<std::string> Keys(const TFTPDeviceFileList& list) {
  std::vector<std::string> keys;
  for (int i = 0; i < list.Count(); ++i) keys.push_back(list.Key(i));
  return keys;
}

// A listing as the device records it: entries, then marker and "..".
void List(TFTPDeviceFileList& list, const std::string& dir, int listing,
          const std::vector<std::pair<std::string, DWORD>>& names, int* entry) {
  for (const auto& n : names) list.AddRecord(dir, listing, ++*entry, 7, n.first, n.second, 0, 0);
  list.AddRecord(dir, listing, ++*entry, 7, M, FILE_ATTRIBUTE_DIRECTORY, 0, 0);
  list.AddRecord(dir, listing, ++*entry, 7, "..", FILE_ATTRIBUTE_DIRECTORY, 0, 0);
}

TEST(DeviceCache, KeysOfASmallTreeStandInDepthThenByteOrder) {
  TFTPDeviceFileList list;
  int entry = 0;
  List(list, "\\b\\", 2, {{"c", FILE_ATTRIBUTE_NORMAL}}, &entry);
  List(list, "\\", 1, {{"b", FILE_ATTRIBUTE_DIRECTORY}, {"a", FILE_ATTRIBUTE_NORMAL}}, &entry);
  list.AddRecord("\\", 1, ++entry, 7, "", FILE_ATTRIBUTE_DIRECTORY, 0, 0);
  EXPECT_EQ(Keys(list), (std::vector<std::string>{"\\", "\\" + M, "\\..", "\\a", "\\b", "\\b\\" + M,
                                                  "\\b\\..", "\\b\\c"}));
  EXPECT_EQ(TFTPDeviceFileList::KeyDepth("\\"), 0);
  EXPECT_EQ(TFTPDeviceFileList::KeyDepth("\\b\\"), 1);
  EXPECT_EQ(TFTPDeviceFileList::KeyDepth("\\b\\c"), 2);
  // A name sorting below "\" (a hyphen, a blank) still leaves each directory's keys together.
  TFTPDeviceFileList odd;
  entry = 0;
  List(odd, "\\a\\", 1, {{"z", FILE_ATTRIBUTE_NORMAL}}, &entry);
  List(odd, "\\a-\\", 2, {{"y", FILE_ATTRIBUTE_NORMAL}}, &entry);
  List(odd, "\\a b\\", 3, {{"x", FILE_ATTRIBUTE_NORMAL}}, &entry);
  int i = 0;
  ASSERT_TRUE(odd.Find("\\a\\" + M, &i));
  EXPECT_EQ(odd.Key(i + 1), "\\a\\..");
  EXPECT_EQ(odd.Key(i + 2), "\\a\\z");
}

TEST(DeviceCache, RecordsHoldSizesTimesAndNumbers) {
  TFTPDeviceFileList list;
  int i = list.AddRecord("\\", 3, 9, 58729, "big", FILE_ATTRIBUTE_NORMAL, 5000000000LL, 38518.5);
  const BY_HANDLE_FILE_INFORMATION& r = list.Record(i);
  EXPECT_EQ(r.nFileSizeHigh, 1u);
  EXPECT_EQ(r.nFileSizeLow, 705032704u);
  EXPECT_EQ(FileTimeValue(r.ftLastWriteTime), 127633104000000000ULL);
  EXPECT_EQ(FileTimeValue(r.ftCreationTime), 127633104000000000ULL);
  EXPECT_EQ(FileTimeValue(r.ftLastAccessTime), 127633104000000000ULL);
  EXPECT_EQ(r.dwVolumeSerialNumber, 58729u);
  EXPECT_EQ(r.nFileIndexLow, 3u);
  EXPECT_EQ(r.nFileIndexHigh, 9u);
  EXPECT_EQ(r.nNumberOfLinks, 0u);
  EXPECT_EQ(TFTPDeviceFileList::ToFileTime(0), 94353120000000000ULL);
  EXPECT_EQ(TFTPDeviceFileList::ToFileTime(-200000), 0u);

  // The same name twice in one listing: one key with the later values.
  list.AddRecord("\\", 3, 10, 58729, "big", FILE_ATTRIBUTE_DIRECTORY, 1, 0);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Record(0).dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(list.Record(0).nFileIndexHigh, 10u);
  EXPECT_EQ(list.Record(0).nFileSizeLow, 1u);
}

TEST(DeviceCache, CaseDistinctNamesAreTwoKeys) {
  TFTPDeviceFileList list;
  list.AddRecord("\\", 1, 1, 7, "Readme", FILE_ATTRIBUTE_NORMAL, 1, 0);
  list.AddRecord("\\", 1, 2, 7, "README", FILE_ATTRIBUTE_NORMAL, 2, 0);
  EXPECT_EQ(list.Count(), 2);
  int i = 0;
  EXPECT_FALSE(list.Find("\\readme", &i));
  ASSERT_TRUE(list.Find("\\README", &i));
  EXPECT_EQ(list.Record(i).nFileSizeLow, 2u);
}

TEST(DeviceCache, DropListingAndSubtreeLeaveTheRestAlone) {
  TFTPDeviceFileList list;
  int entry = 0;
  list.AddRecord("\\", 1, ++entry, 7, "", FILE_ATTRIBUTE_DIRECTORY, 0, 0);
  List(list, "\\", 1, {{"d", FILE_ATTRIBUTE_DIRECTORY}, {"d2", FILE_ATTRIBUTE_DIRECTORY}}, &entry);
  List(list, "\\d\\", 2, {{"e", FILE_ATTRIBUTE_DIRECTORY}, {"f", FILE_ATTRIBUTE_NORMAL}}, &entry);
  List(list, "\\d\\e\\", 3, {{"g", FILE_ATTRIBUTE_NORMAL}}, &entry);
  List(list, "\\d2\\", 4, {{"h", FILE_ATTRIBUTE_NORMAL}}, &entry);

  list.DropListing("\\d\\");
  EXPECT_EQ(Keys(list), (std::vector<std::string>{"\\", "\\" + M, "\\..", "\\d", "\\d2",
                                                  "\\d2\\" + M, "\\d2\\..", "\\d2\\h",
                                                  "\\d\\e\\" + M, "\\d\\e\\..", "\\d\\e\\g"}));
  list.DropSubtree("\\d");
  EXPECT_EQ(Keys(list), (std::vector<std::string>{"\\", "\\" + M, "\\..", "\\d2", "\\d2\\" + M,
                                                  "\\d2\\..", "\\d2\\h"}));
  list.DropListing("\\");
  EXPECT_EQ(Keys(list), (std::vector<std::string>{"\\", "\\d2\\" + M, "\\d2\\..", "\\d2\\h"}));
  list.DropKey("\\nothing");
  EXPECT_EQ(list.Count(), 4);
}

TEST(DeviceCache, AWholeListingAtOnceEqualsOneByOne) {
  // An unsorted listing with a repeated name, into a cache that already holds other
  // directories and one of the names.
  std::vector<TFTPDeviceFileList::TNewEntry> listing;
  int entry = 100;
  for (int i = 0; i < 500; ++i) {
    std::string name = "n" + std::to_string((i * 7919) % 500);
    listing.push_back(
        {name, i % 3 ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_DIRECTORY, i, 1.5, ++entry});
  }
  listing.push_back({"n7", FILE_ATTRIBUTE_NORMAL, 77777, 2.5, ++entry});
  listing.push_back({"n-", 0, 1, 0, ++entry});
  TFTPDeviceFileList oneByOne, atOnce;
  for (TFTPDeviceFileList* list : {&oneByOne, &atOnce}) {
    int e = 0;
    List(*list, "\\a\\", 1, {{"x", FILE_ATTRIBUTE_NORMAL}}, &e);
    List(*list, "\\b\\c\\", 2, {{"y", FILE_ATTRIBUTE_NORMAL}}, &e);
    list->AddRecord("\\b\\", 3, ++e, 7, "n3", FILE_ATTRIBUTE_NORMAL, 3, 0);
  }
  for (const auto& n : listing)
    oneByOne.AddRecord("\\b\\", 3, n.entryNumber, 7, n.name, n.attributes, n.byteSize, n.modified);
  atOnce.AddRecords("\\b\\", 3, 7, listing);
  ASSERT_EQ(Keys(atOnce), Keys(oneByOne));
  for (int i = 0; i < atOnce.Count(); ++i)
    EXPECT_EQ(std::memcmp(&atOnce.Record(i), &oneByOne.Record(i), 52), 0) << atOnce.Key(i);
  int i = 0;
  ASSERT_TRUE(atOnce.Find("\\b\\n7", &i));
  EXPECT_EQ(atOnce.Record(i).nFileSizeLow, 77777u);
}

TEST(DeviceRules, RemoteRootVolumeNameAndSerial) {
  EXPECT_EQ(TFTPDevice::MakeRemoteRoot("pub/"), "\\pub");
  EXPECT_EQ(TFTPDevice::MakeRemoteRoot("/"), "");
  EXPECT_EQ(TFTPDevice::MakeRemoteRoot(""), "");
  EXPECT_EQ(TFTPDevice::MakeRemoteRoot("pub//"), "\\pub\\");
  EXPECT_EQ(TFTPDevice::MakeRemoteRoot("/a/b"), "\\a\\b");
  EXPECT_EQ(TFTPDevice::SoundexSerial("ftp://10.0.0.1/pub"), 58729u);
  EXPECT_EQ(TFTPDevice::SoundexSerial("ftp://10.0.0.1"), 58720u);
  // The first digit 1..6 after the scheme decides: "l" is 4, "h" and "w" are skipped.
  EXPECT_EQ(TFTPDevice::SoundexSerial("ftp://localhost"), 58720u + 9 * 4);
  EXPECT_EQ(TFTPDevice::SoundexSerial("ftp://host"), 58720u + 9 * 2);
}

TEST(DeviceRules, PathPartsSplitOnBackslashOnly) {
  EXPECT_EQ(TFTPDevice::DirectoryPart("\\a\\b.txt"), "\\a\\");
  EXPECT_EQ(TFTPDevice::NamePart("\\a\\b.txt"), "b.txt");
  EXPECT_EQ(TFTPDevice::DirectoryPart("\\12:30.log"), "\\");
  EXPECT_EQ(TFTPDevice::NamePart("\\logs\\12:30.log"), "12:30.log");
  EXPECT_EQ(TFTPDevice::DirectoryPart("\\"), "\\");
  EXPECT_EQ(TFTPDevice::NamePart("\\"), "");
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
  EXPECT_EQ(d.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(FileTimeValue(d.ftCreationTime), 127633104000000000ULL);
  EXPECT_EQ(FileTimeValue(d.ftLastAccessTime), 127633104000000000ULL);
  EXPECT_EQ(d.nFileSizeHigh, 1u);
  EXPECT_EQ(d.nFileSizeLow, 705032704u);
  EXPECT_EQ(d.dwReserved0, 4u);
  EXPECT_EQ(d.dwReserved1, 11u);
  EXPECT_EQ(std::u16string(d.cFileName), u"na\u00efve:1");
  EXPECT_EQ(d.cAlternateFileName[0], 0);

  TFTPDevice::EntryToFindData("\\dir\\" + M, r, &d);
  EXPECT_EQ(std::u16string(d.cFileName), u".");
  TFTPDevice::EntryToFindData("\\" + std::string(259, 'x'), r, &d);
  EXPECT_EQ(std::u16string(d.cFileName).size(), 259u);
  TFTPDevice::EntryToFindData("\\" + std::string(260, 'x'), r, &d);
  EXPECT_EQ(d.cFileName[0], 0);
  // A Latin-1 byte from a server survives the trip to the drive and back.
  TFTPDevice::EntryToFindData(std::string("\\caf\xE9"), r, &d);
  EXPECT_EQ(veldra::platform::WideToAnsi(d.cFileName), "caf\xE9");
}

}  // namespace
