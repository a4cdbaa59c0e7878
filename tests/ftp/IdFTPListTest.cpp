// Listing parser cases taken from what real servers print.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "ftp/IdFTPList.h"

namespace {

// Day numbers (days since 1899-12-30) of the dates used below.
constexpr double k2019_03_05 = 43529;
constexpr double k2005_03_15 = 38426;
constexpr double k1999_12_01 = 36495;
constexpr double k2020_01_01 = 43831;
constexpr double k2026_03_05 = 46086;
constexpr double k2025_03_05 = 45721;

double At(double day, int hour, int minute, int ms) {
  return day + (hour * 3600000.0 + minute * 60000.0 + ms) / 86400000.0;
}

void ExpectTime(double expected, double actual) {
  EXPECT_NEAR(expected, actual, 1e-9);
}

struct Fixture {
  TIdFTPListItems items;
  explicit Fixture(TIdLocalDate today = {2026, 12, 6}) {
    items.TodayProvider = [today] { return today; };
  }
  // Guesses from the first line, as the session does, and parses.
  std::vector<std::string> Names(const std::vector<std::string>& lines) {
    items.DetectedFormat = items.GuessFormat(lines.empty() ? "" : lines[0], true);
    items.ParseLines(lines);
    std::vector<std::string> names;
    for (int i = 0; i < items.ItemCount(); ++i) names.push_back(items.ItemAt(i).EntryName);
    return names;
  }
};

TEST(FtpListGuess, FirstLineDecidesLayout) {
  struct Case {
    const char* line;
    bool details;
    TIdFTPListFormat expected;
  } cases[] = {
      {"-rw-r--r--    1 1000     1000         1234 Mar 05 14:07 notes.txt", true, flfUnix},
      {"-rw-r--r--    1 1000     1000         1234 Mar 05 14:07 notes.txt", false, flfNoDetails},
      {"total 12", true, flfUnix},
      {"TOTAL 0", true, flfUnix},
      // /tmp, setgid shares, setuid binaries, devices, pipes and sockets as first entries.
      {"drwxrwxrwt   10 root     root         4096 Dec  6 23:10 tmp", true, flfUnix},
      {"drwxr-sr-x    2 ftp      ftp          4096 Mar  5 14:07 share", true, flfUnix},
      {"-rwsr-xr-x    1 root     root        55672 Jan  1  2020 su", true, flfUnix},
      {"drwxr-xr-T    2 root     root         4096 Jan  1  2020 box", true, flfUnix},
      {"brw-rw----    1 root     disk     8,   0 Jan  1  2020 sda", true, flfUnix},
      {"crw-rw-rw-    1 root     root     1,   3 Jan  1  2020 null", true, flfUnix},
      {"prw-r--r--    1 root     root            0 Jan  1  2020 fifo", true, flfUnix},
      {"srwxrwxrwx    1 root     root            0 Jan  1  2020 sock", true, flfUnix},
      {"-rwxrwxrwz    1 root     root            0 Jan  1  2020 odd", true, flfUnknown},
      {"DISK$USER:[ANNA]  DSK: listing", true, flfVax},
      {"03-15-05  02:30PM       <DIR>          Program Files", true, flfDos},
      {"06-05-03  03:19PM                 1786 Program.cs", true, flfDos},
      {"12-01-99  09:05AM            1,234,567 setup.exe", true, flfDos},
      {"12-01-99  09:05AM            123456789 big.iso", true, flfDos},
      {"12/01/99  09:05AM                    0 empty.txt", true, flfDos},
      {"12-01-99  09:05AM                 12ab x", true, flfUnknown},
      {"", true, flfUnknown},
      {"drwx", true, flfUnknown},
      {"hello world, this is no listing", true, flfUnknown},
  };
  TIdFTPListItems items;
  for (const Case& c : cases) EXPECT_EQ(c.expected, items.GuessFormat(c.line, c.details)) << c.line;
}

TEST(FtpListUnix, EntryFields) {
  struct Case {
    const char* line;
    EntryKind kind;
    const char* name;
    const char* target;
    int64_t size;
    int links;
    const char* owner;
    const char* group;
    const char* access;  // owner, group, other triads joined
    double modified;
  } cases[] = {
      // pyftpdlib / vsftpd style: two-digit day, numeric ids.
      {"-rw-r--r--   1 anna  staff   1234 Mar  5 14:07 notes.txt", ekFile, "notes.txt", "", 1234, 1,
       "anna", "staff", "rw-r--r--", At(k2026_03_05, 14, 7, 999)},
      {"-rw-r--r--    1 1000     1000         1234 Mar 05  2019 notes.txt", ekFile, "notes.txt", "",
       1234, 1, "1000", "1000", "rw-r--r--", At(k2019_03_05, 0, 0, 999)},
      {"drwxr-xr-x    2 1000     1000         4096 Mar 05 14:07 sub dir", ekDirectory, "sub dir",
       "", 4096, 2, "1000", "1000", "rwxr-xr-x", At(k2026_03_05, 14, 7, 999)},
      {"lrwxrwxrwx 1 root root 7 Jan 1 2020 lib -> usr/lib", ekSymbolicLink, "lib", "usr/lib", 7, 1,
       "root", "root", "rwxrwxrwx", At(k2020_01_01, 0, 0, 999)},
      // proftpd, setgid directory; pure-ftpd, wide columns and a name with two inner spaces.
      {"drwxr-sr-x   2 ftp      ftp          4096 Mar  5 14:07 share", ekDirectory, "share", "",
       4096, 2, "ftp", "ftp", "rwxr-sr-x", At(k2026_03_05, 14, 7, 999)},
      {"-rw-r--r--    1 1000       1000          123456789012 Mar  5  2019 a  b.txt", ekFile,
       "a  b.txt", "", 123456789012LL, 1, "1000", "1000", "rw-r--r--", At(k2019_03_05, 0, 0, 999)},
      // A server without a group column: 8 columns, the size where the group would be.
      {"-rw-r--r-- 1 anna 1234 Mar 5 14:07 x.txt", ekFile, "x.txt", "", 1234, 1, "", "anna",
       "rw-r--r--", At(k2026_03_05, 14, 7, 999)},
      // Sticky /tmp stays a directory; pipes and sockets are files.
      {"drwxrwxrwt   10 0        0            4096 Dec 06 23:10 tmp", ekDirectory, "tmp", "", 4096,
       10, "0", "0", "rwxrwxrwt", At(k2026_03_05 + 276, 23, 10, 999)},
      {"prw-r--r--    1 0        0               0 Mar 05  2019 fifo", ekFile, "fifo", "", 0, 1,
       "0", "0", "rw-r--r--", At(k2019_03_05, 0, 0, 999)},
      // A link without an arrow keeps its whole name.
      {"lrwxrwxrwx 1 root root 7 Jan 1 2020 dangling", ekSymbolicLink, "dangling", "", 7, 1, "root",
       "root", "rwxrwxrwx", At(k2020_01_01, 0, 0, 999)},
  };
  for (const Case& c : cases) {
    Fixture f;
    TIdFTPListItem& item = f.items.AddItem();
    item.RawLine = c.line;
    f.items.ParseEntry(flfUnix, item);
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.kind, item.Kind);
    EXPECT_EQ(c.name, item.EntryName);
    EXPECT_EQ(c.target, item.LinkTarget);
    EXPECT_EQ(c.size, item.ByteSize);
    EXPECT_EQ(c.links, item.LinkCount);
    EXPECT_EQ(c.owner, item.Owner);
    EXPECT_EQ(c.group, item.Group);
    EXPECT_EQ(c.access, item.OwnerAccess + item.GroupAccess + item.OtherAccess);
    ExpectTime(c.modified, item.Modified);
    EXPECT_EQ(c.line, item.RawLine);
  }
}

TEST(FtpListUnix, YearOfDatesWithoutYear) {
  // A month later than this month is last year's; this month itself is this year's.
  struct Case {
    TIdLocalDate today;
    double expected;
  } cases[] = {
      {{2026, 2, 10}, At(k2025_03_05, 14, 7, 999)},
      {{2026, 3, 1}, At(k2026_03_05, 14, 7, 999)},
      {{2026, 12, 31}, At(k2026_03_05, 14, 7, 999)},
  };
  for (const Case& c : cases) {
    Fixture f(c.today);
    TIdFTPListItem& item = f.items.AddItem();
    item.RawLine = "-rw-r--r-- 1 a b 1 Mar 5 14:07 x";
    f.items.ParseEntry(flfUnix, item);
    ExpectTime(c.expected, item.Modified);
  }
}

TEST(FtpListUnix, UnreadableLinesFail) {
  const char* lines[] = {
      "-rw-r--r-- 1 anna staff 5 Mai 3 2019 x",       // localised month
      "-rw-r--r-- 1 anna staff 5 Feb 30 2019 x",      // no such day
      "-rw-r--r-- 1 anna staff 5 Feb 3 24:00 x",      // no such hour
      "-rw-r--r-- 1 anna staff 5 Feb 3",              // too few columns
      "crw-rw-rw- 1 root root 1, 3 Jan 1 2020 null",  // device numbers shift the columns
      "-rw-r--r-- 1 anna staff 1234 Mar 5 14:07",     // no name
  };
  for (const char* line : lines) {
    Fixture f;
    TIdFTPListItem& item = f.items.AddItem();
    item.RawLine = line;
    EXPECT_THROW(f.items.ParseEntry(flfUnix, item), EIdInvalidFTPListingFormat) << line;
  }
}

TEST(FtpListDos, EntryFields) {
  struct Case {
    const char* line;
    EntryKind kind;
    const char* name;
    int64_t size;
    double modified;
  } cases[] = {
      {"03-15-05  02:30PM       <DIR>          Program Files", ekDirectory, "Program Files", 0,
       At(k2005_03_15, 14, 30, 0)},
      {"12-01-99  09:05AM            1,234,567 setup.exe", ekFile, "setup.exe", 1234567,
       At(k1999_12_01, 9, 5, 0)},
      {"12-01-99  12:05AM                   10 midnight.txt", ekFile, "midnight.txt", 10,
       At(k1999_12_01, 0, 5, 0)},
      {"12-01-99  12:05PM                   10 noon.txt", ekFile, "noon.txt", 10,
       At(k1999_12_01, 12, 5, 0)},
      {"12-01-99  17:05                     10 24h.txt", ekFile, "24h.txt", 10,
       At(k1999_12_01, 17, 5, 0)},
      // Unreadable date or time: the entry stays, dated 0.
      {"13-01-99  09:05AM                   10 bad month.txt", ekFile, "bad month.txt", 10, 0},
      {"12-01-99  13:05PM                   10 bad hour.txt", ekFile, "bad hour.txt", 10, 0},
  };
  for (const Case& c : cases) {
    Fixture f;
    TIdFTPListItem& item = f.items.AddItem();
    item.RawLine = c.line;
    f.items.ParseEntry(flfDos, item);
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.kind, item.Kind);
    EXPECT_EQ(c.name, item.EntryName);
    EXPECT_EQ(c.size, item.ByteSize);
    ExpectTime(c.modified, item.Modified);
    EXPECT_EQ("????????", item.Owner);  // DOS lines fill no Unix fields
  }
}

TEST(FtpListDos, TwoDigitYearWindow) {
  // The first year not earlier than fifty years ago with those last two digits.
  struct Case {
    int currentYear;
    const char* yy;
    int expectedYear;
  } cases[] = {{2026, "99", 1999}, {2026, "76", 1976}, {2026, "75", 2075},
               {2049, "99", 1999}, {2050, "99", 2099}, {2026, "05", 2005}};
  for (const Case& c : cases) {
    Fixture f({c.currentYear, 6, 1});
    TIdFTPListItem& item = f.items.AddItem();
    item.RawLine = std::string("01-01-") + c.yy + "  01:00AM                    1 f";
    f.items.ParseEntry(flfDos, item);
    TDateTime expected;
    ASSERT_TRUE(TryEncodeDateTime(c.expectedYear, 1, 1, 1, 0, 0, 0, expected));
    ExpectTime(expected, item.Modified);
  }
}

TEST(FtpListLines, WholeListings) {
  struct Case {
    const char* server;
    std::vector<std::string> lines;
    std::vector<std::string> names;
  } cases[] = {
      {"vsftpd",
       {"drwxrwxrwt    2 0        0            4096 Dec 06 23:10 incoming",
        "lrwxrwxrwx    1 0        0               7 Jan 01  2020 lib -> usr/lib",
        "-rw-r--r--    1 1000     1000         1234 Mar 05 14:07 notes.txt"},
       {"incoming", "lib", "notes.txt"}},
      {"proftpd with total line",
       {"total 12", "drwxr-sr-x   2 ftp      ftp          4096 Mar  5 14:07 share",
        "-rw-r--r--   1 ftp      ftp        123456 Jan 15  2021 a  b.txt"},
       {"share", "a  b.txt"}},
      {"pure-ftpd",
       {"-rw-r--r--    1 1000       1000               12 Mar  5 14:07 hello world.txt",
        "drwxr-xr-x    2 1000       1000             4096 Mar  5 14:07 docs"},
       {"hello world.txt", "docs"}},
      {"MS-DOS",
       {"03-15-05  02:30PM       <DIR>          Program Files",
        "12-01-99  09:05AM            1,234,567 setup.exe", "   \t ",
        "06-05-03  03:19PM                 1786 Program.cs"},
       {"Program Files", "setup.exe", "Program.cs"}},
      // An odd line drops only itself.
      {"localised month and a device in the middle",
       {"-rw-r--r-- 1 a b 1 Mar 5 2019 first", "-rw-r--r-- 1 a b 1 Mai 5 2019 mai",
        "crw-rw-rw- 1 root root 1, 3 Jan 1 2020 null", "-rw-r--r-- 1 a b 1 Mar 5 2019 last"},
       {"first", "last"}},
      {"blank lines", {"-rw-r--r-- 1 a b 1 Mar 5 2019 only", "", " ", "\t"}, {"only"}},
      {"unknown layout", {"hello", "-rw-r--r-- 1 a b 1 Mar 5 2019 x"}, {}},
      {"empty", {}, {}},
  };
  for (const Case& c : cases) {
    Fixture f;
    EXPECT_EQ(c.names, f.Names(c.lines)) << c.server;
  }
}

TEST(FtpListLines, OtherLayoutsAndCollection) {
  Fixture f;
  // NLST: the trimmed line is the name; the total rule only applies to Unix listings.
  f.items.DetectedFormat = flfNoDetails;
  f.items.ParseLines({"total 3", "  a b  ", "c"});
  ASSERT_EQ(3, f.items.ItemCount());
  EXPECT_EQ("total 3", f.items.ItemAt(0).EntryName);
  EXPECT_EQ("a b", f.items.ItemAt(1).EntryName);

  // No parsing: raw items only.
  f.items.DetectedFormat = flfNone;
  f.items.ParseLines({"anything"});
  ASSERT_EQ(1, f.items.ItemCount());
  EXPECT_EQ("anything", f.items.ItemAt(0).RawLine);
  EXPECT_EQ("", f.items.ItemAt(0).EntryName);

  // Custom: no handler means no entries; the handler fills items and may refuse lines.
  f.items.DetectedFormat = flfCustom;
  f.items.ParseLines({"a", "b"});
  EXPECT_EQ(0, f.items.ItemCount());
  f.items.OnParseCustomListFormat = [](TIdFTPListItem& item) {
    if (item.RawLine == "bad") throw EIdInvalidFTPListingFormat("bad");
    item.EntryName = "<" + item.RawLine + ">";
  };
  f.items.ParseLines({"a", "bad", "b"});
  ASSERT_EQ(2, f.items.ItemCount());
  EXPECT_EQ("<b>", f.items.ItemAt(1).EntryName);

  TIdFTPListItem copy;
  copy.Assign(f.items.ItemAt(0));
  EXPECT_EQ("<a>", copy.EntryName);
  EXPECT_EQ("a", copy.RawLine);

  try {
    f.items.ItemAt(2);
    FAIL() << "no error";
  } catch (const EListError& e) {
    EXPECT_STREQ("List index out of bounds (2)", e.what());
  }
  EXPECT_THROW(f.items.ItemAt(-1), EListError);
  TIdFTPListItem& unknown = f.items.AddItem();
  EXPECT_THROW(f.items.ParseEntry(flfUnknown, unknown), EIdInvalidFTPListingFormat);
}

}  // namespace
