// Listing parser cases: real lines captured from vsftpd, pyftpdlib, pure-ftpd and proftpd
// (files " leading.txt", "trailing.txt ", "double  space.txt", a setuid ".hidden", a sticky
// directory "sub dir", a symlink, a 5 GB sparse "big.bin"), plus MS-DOS lines and odd ones.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ftp/IdFTPList.h"

namespace {

const TIdLocalDate kToday{2026, 12, 7};  // the day the lines were captured

// FILETIME ticks of a UTC time, counted day by day from 1601 (a plain check of the parser's
// calendar arithmetic).
std::int64_t Utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  static const int kBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  auto leap = [](int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; };
  std::int64_t days = d - 1 + kBefore[mo - 1] + (mo > 2 && leap(y));
  for (int year = 1601; year < y; ++year) days += leap(year) ? 366 : 365;
  return (((days * 24 + h) * 60 + mi) * 60 + s) * 10000000;
}

TEST(FtpListGuess, FirstLineDecidesLayout) {
  struct Case {
    const char* line;
    bool details;
    TIdFTPListFormat expected;
  } cases[] = {
      {"-rw-r--r--    1 1000     1000         1234 Mar 05 14:07 notes.txt", true, flfUnix},
      {"-rw-r--r--    1 1000     1000         1234 Mar 05 14:07 notes.txt", false, flfNoDetails},
      // /tmp, setgid shares, setuid binaries, devices, pipes and sockets as first entries.
      {"drwxrwxrwt   10 root     root         4096 Dec  6 23:10 tmp", true, flfUnix},
      {"drwxr-sr-x    2 ftp      ftp          4096 Mar  5 14:07 share", true, flfUnix},
      {"-rwsr-xr-x    1 root     root        55672 Jan  1  2020 su", true, flfUnix},
      {"brw-rw----    1 root     disk     8,   0 Jan  1  2020 sda", true, flfUnix},
      {"srwxrwxrwx    1 root     root            0 Jan  1  2020 sock", true, flfUnix},
      {"-rwxrwxrwz    1 root     root            0 Jan  1  2020 odd", true, flfUnknown},
      {"DISK$USER:[ANNA]  DSK: listing", true, flfVax},
      {"03-15-05  02:30PM       <DIR>          Program Files", true, flfDos},
      {"12-01-99  09:05AM            1,234,567 setup.exe", true, flfDos},
      {"12/01/99  09:05AM                    0 empty.txt", true, flfDos},
      {"12-01-99  09:05AM                 12ab x", true, flfUnknown},
      {"", true, flfUnknown},
      {"drwx", true, flfUnknown},
      {"type=file;size=1; x", true, flfUnknown},
  };
  TIdFTPListItems items;
  for (const Case& c : cases) EXPECT_EQ(c.expected, items.GuessFormat(c.line, c.details)) << c.line;
}

// One line through the streaming parser. name: the entry name, then " -> target" for a link
// with a target; unix: "links owner group access" of a Unix line (null: not checked).
TEST(FtpListLine, RealServerLines) {
  const std::int64_t kDec7 = Utc(2026, 12, 7, 4, 2);
  const std::int64_t kDec7s = Utc(2026, 12, 7, 4, 2, 51);
  struct Case {
    TIdFTPListFormat format;
    const char* line;
    const char* name;
    EntryKind kind;
    std::int64_t size;
    std::int64_t ticks;
    TIdTimePrecision precision;
    int mode;  // -1: not known
    const char* unix = nullptr;
  } cases[] = {
      // vsftpd LIST: right-aligned year column, numeric ids.
      {flfUnix, "-rw-rw-rw-    1 999      995             1 Jul 16 12:07  leading.txt",
       " leading.txt", ekFile, 1, Utc(2026, 7, 16, 12, 7), tpMinute, 0666, "1 999 995 rw-rw-rw-"},
      {flfUnix, "-rw-rw-rw-    1 999      995      5000000000 Mar 05  2019 big.bin", "big.bin",
       ekFile, 5000000000, Utc(2019, 3, 5), tpDay, 0666},
      {flfUnix, "drwxrwxrwt    2 999      995          4096 Dec 07 04:02 sub dir", "sub dir",
       ekDirectory, 4096, kDec7, tpMinute, 01777, "2 999 995 rwxrwxrwt"},
      {flfUnix, "drwxrwxrwx    3 999      995          4096 Dec 07 04:02 ..", "..", ekDirectory,
       4096, kDec7, tpMinute, 0777},
      // pyftpdlib LIST: the size column grows to the left.
      {flfUnix, "-rwsr-xr-x   1 root     root            1 Dec 07 04:02 .hidden", ".hidden", ekFile,
       1, kDec7, tpMinute, 04755, "1 root root rwsr-xr-x"},
      {flfUnix, "-rw-rw-rw-   1 root     root     5000000000 Mar 05  2019 big.bin", "big.bin",
       ekFile, 5000000000, Utc(2019, 3, 5), tpDay, 0666},
      {flfUnix, "lrwxrwxrwx   1 root     root           17 Dec 07 04:02 link -> double  space.txt",
       "link -> double  space.txt", ekSymbolicLink, 17, kDec7, tpMinute, 0777},
      // pure-ftpd LIST: unpadded day, wide group column.
      {flfUnix, "-rw-rw-rw-    1 999        veldra              1 Jul 16 12:07  leading.txt",
       " leading.txt", ekFile, 1, Utc(2026, 7, 16, 12, 7), tpMinute, 0666},
      {flfUnix, "-rw-rw-rw-    1 999        veldra     5000000000 Mar  5  2019 big.bin", "big.bin",
       ekFile, 5000000000, Utc(2019, 3, 5), tpDay, 0666, "1 999 veldra rw-rw-rw-"},
      {flfUnix, "-rw-rw-rw-    1 999        veldra              3 Dec  7 04:02 double  space.txt",
       "double  space.txt", ekFile, 3, kDec7, tpMinute, 0666},
      // proftpd LIST.
      {flfUnix, "-rw-rw-rw-   1 veldra   veldra          2 Dec  7 04:02 trailing.txt ",
       "trailing.txt ", ekFile, 2, kDec7, tpMinute, 0666},
      {flfUnix, "-rw-rw-rw-   1 veldra   veldra          1 Dec  7 04:02 semi; colon=x.txt",
       "semi; colon=x.txt", ekFile, 1, kDec7, tpMinute, 0666},
      // Other Unix shapes: no group column, a device, an ACL marker, a link without a target,
      // setgid and sticky without execute, a mode letter out of place.
      {flfUnix, "-rw-r--r-- 1 anna 1234 Mar 5 14:07 x.txt", "x.txt", ekFile, 1234,
       Utc(2026, 3, 5, 14, 7), tpMinute, 0644, "1  anna rw-r--r--"},
      {flfUnix, "crw-rw-rw-    1 0        0          1,   3 Jan 01  2020 null", "null", ekFile, 0,
       Utc(2020, 1, 1), tpDay, 0666},
      {flfUnix, "-rw-r--r--+   1 0 0 7 Jan 01  2020 acl", "acl", ekFile, 7, Utc(2020, 1, 1), tpDay,
       0644},
      {flfUnix, "lrwxrwxrwx 1 root root 7 Jan 1 2020 dangling -> ", "dangling -> ", ekSymbolicLink,
       7, Utc(2020, 1, 1), tpDay, 0777},
      {flfUnix, "drwxr-Sr-T 2 0 0 4096 Dec 31 23:59 box", "box", ekDirectory, 4096,
       Utc(2026, 12, 31, 23, 59), tpMinute, 03744},
      {flfUnix, "-rwxrwxrwz 1 0 0 1 Jan 01  2020 odd", "odd", ekFile, 1, Utc(2020, 1, 1), tpDay,
       -1},
      // pyftpdlib MLSD.
      {flfMLSD,
       "modify=20260716120705;perm=radfwMT;size=1;type=file;unique=fe00ga7227f;  leading.txt",
       " leading.txt", ekFile, 1, Utc(2026, 7, 16, 12, 7, 5), tpSecond, -1},
      {flfMLSD,
       "modify=20261207040251;perm=eldfmMTcp;size=4096;type=dir;unique=fe00ga722a2; sub dir",
       "sub dir", ekDirectory, 4096, kDec7s, tpSecond, -1},
      // pyftpdlib with OPTS MLST asking for UNIX.mode: Python's octal.
      {flfMLSD, "modify=20261207040251;size=6;type=file;unix.mode=0o755; run.sh", "run.sh", ekFile,
       6, kDec7s, tpSecond, 0755},
      // pure-ftpd MLSD and MLST (the entry line of the reply, with its leading blank).
      {flfMLSD,
       "type=cdir;sizd=4096;modify=20261207040251;UNIX.mode=0777;UNIX.uid=999;UNIX.gid=995;"
       "unique=fe00ga7227e; .",
       ".", ekDirectory, 4096, kDec7s, tpSecond, 0777},
      {flfMLSD,
       "type=OS.unix=slink:;size=17;modify=20261207040251;UNIX.mode=0777;UNIX.uid=999;"
       "UNIX.gid=995;unique=fe00ga722a4; link",
       "link", ekSymbolicLink, 17, kDec7s, tpSecond, 0777},
      {flfMLSD,
       "type=dir;sizd=4096;modify=20261207040251;UNIX.mode=01777;UNIX.uid=999;UNIX.gid=995;"
       "unique=fe00ga722a2; sub dir",
       "sub dir", ekDirectory, 4096, kDec7s, tpSecond, 01777},
      {flfMLSD,
       " type=file;size=2;modify=20261207040251;UNIX.mode=0666;UNIX.uid=999;UNIX.gid=995;"
       "unique=fe00ga72280; trailing.txt ",
       "trailing.txt ", ekFile, 2, kDec7s, tpSecond, 0666},
      // proftpd MLSD: a parent entry, a symlink, a big file.
      {flfMLSD,
       "modify=20261207040251;perm=flcdmpe;type=pdir;unique=FE00UA7227E;UNIX.group=995;"
       "UNIX.groupname=veldra;UNIX.mode=0777;UNIX.owner=999;UNIX.ownername=veldra; ..",
       "..", ekDirectory, 0, kDec7s, tpSecond, 0777},
      {flfMLSD,
       "modify=20261207040251;perm=adfrw;size=17;type=OS.unix=symlink;unique=FE00UA72281;"
       "UNIX.group=995;UNIX.groupname=veldra;UNIX.mode=0777;UNIX.owner=999;"
       "UNIX.ownername=veldra; link",
       "link", ekSymbolicLink, 17, kDec7s, tpSecond, 0777},
      {flfMLSD,
       "modify=20190305140700;perm=adfrw;size=5000000000;type=file;unique=FE00UA722A3;"
       "UNIX.group=995;UNIX.groupname=veldra;UNIX.mode=0666;UNIX.owner=999;"
       "UNIX.ownername=veldra; big.bin",
       "big.bin", ekFile, 5000000000, Utc(2019, 3, 5, 14, 7), tpSecond, 0666},
      // Milliseconds and fact names in any case; a bad time and mode leave the entry.
      {flfMLSD, "Type=FILE;Modify=20190305140700.25;Size=3; x", "x", ekFile, 3,
       Utc(2019, 3, 5, 14, 7) + 2500000, tpMillisecond, -1},
      {flfMLSD, "type=file;modify=20190230140700;UNIX.mode=9; x", "x", ekFile, 0, 0, tpNone, -1},
      // MS-DOS: minutes; an unreadable time keeps the entry without one.
      {flfDos, "03-15-05  02:30PM       <DIR>          Program Files", "Program Files", ekDirectory,
       0, Utc(2005, 3, 15, 14, 30), tpMinute, -1},
      {flfDos, "12-01-99  09:05AM            1,234,567 setup.exe", "setup.exe", ekFile, 1234567,
       Utc(1999, 12, 1, 9, 5), tpMinute, -1},
      {flfDos, "12-01-99  12:05AM                   10 midnight.txt", "midnight.txt", ekFile, 10,
       Utc(1999, 12, 1, 0, 5), tpMinute, -1},
      {flfDos, "12-01-99  17:05                     10 24h.txt", "24h.txt", ekFile, 10,
       Utc(1999, 12, 1, 17, 5), tpMinute, -1},
      {flfDos, "12-01-99  13:05PM                   10 bad hour.txt", "bad hour.txt", ekFile, 10, 0,
       tpNone, -1},
      // NLST: the line is the name.
      {flfNoDetails, " leading.txt", " leading.txt", ekFile, 0, 0, tpNone, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TIdFTPLineParser parser(c.format);
    parser.TodayProvider = [] { return kToday; };
    TIdFTPListItem item;
    item.EntryName = "left over";
    item.ModeKnown = true;
    ASSERT_TRUE(parser.Parse(c.line, item));
    EXPECT_EQ(c.name, item.EntryName + (item.LinkTarget.empty() ? "" : " -> " + item.LinkTarget));
    EXPECT_EQ(c.kind, item.Kind);
    EXPECT_EQ(c.size, item.ByteSize);
    EXPECT_EQ(c.ticks, item.ModifiedTicks);
    EXPECT_EQ(c.precision, item.TimePrecision);
    EXPECT_EQ(c.mode >= 0, item.ModeKnown);
    EXPECT_EQ(c.mode >= 0 ? std::uint32_t(c.mode) : 0u, item.Mode);
    if (c.unix != nullptr) {
      EXPECT_EQ(c.unix, std::to_string(item.LinkCount) + " " + item.Owner + " " + item.Group + " " +
                            item.OwnerAccess + item.GroupAccess + item.OtherAccess);
    }
    // The older date-time value: Unix times carry 999 ms, others what was listed.
    const double ms = c.format == flfUnix ? 999 : 0;
    if (c.ticks != 0) {
      EXPECT_NEAR((c.ticks - Utc(1899, 12, 30)) / 864e9 + ms / 864e5, item.Modified, 1e-9);
    }
  }
}

TEST(FtpListLine, LinesThatAreNoEntries) {
  const std::pair<TIdFTPListFormat, const char*> cases[] = {
      {flfUnix, "total 12"},
      {flfUnix, "-rw-r--r-- 1 anna staff 5 Mai 3 2019 x"},  // localised month
      {flfUnix, "-rw-r--r-- 1 anna staff 5 Feb 30 2019 x"},
      {flfUnix, "-rw-r--r-- 1 anna staff 5 Feb 3 24:00 x"},
      {flfUnix, "-rw-r--r-- 1 anna staff 5 Feb 3"},
      {flfUnix, "-rw-r--r-- 1 anna staff 1234 Mar 5 14:07 "},  // one blank, then no name
      {flfMLSD, "type=file;size=1;"},
      {flfMLSD, "type=file;size=1; "},
      {flfMLSD, "550 No such file; x"},
      {flfDos, "12-01-99  09:05AM           12"},
      {flfNoDetails, " \t"},
      {flfUnknown, "hello world"},
      {flfCustom, "anything"},
  };
  for (const auto& c : cases) {
    TIdFTPLineParser parser(c.first);
    TIdFTPListItem item;
    EXPECT_FALSE(parser.Parse(c.second, item)) << c.second;
  }
}

TEST(FtpListLine, YearsFromToday) {
  // Unix dates without a year: a month later than this month is last year's. MS-DOS years:
  // the first year not earlier than fifty years ago with those last two digits.
  struct Case {
    TIdLocalDate today;
    TIdFTPListFormat format;
    const char* line;
    std::int64_t ticks;
  } cases[] = {
      {{2026, 2, 10}, flfUnix, "-rw-r--r-- 1 a b 1 Mar 5 14:07 x", Utc(2025, 3, 5, 14, 7)},
      {{2026, 3, 1}, flfUnix, "-rw-r--r-- 1 a b 1 Mar 5 14:07 x", Utc(2026, 3, 5, 14, 7)},
      {{2026, 6, 1}, flfDos, "01-01-99  01:00AM                    1 f", Utc(1999, 1, 1, 1)},
      {{2026, 6, 1}, flfDos, "01-01-76  01:00AM                    1 f", Utc(1976, 1, 1, 1)},
      {{2026, 6, 1}, flfDos, "01-01-75  01:00AM                    1 f", Utc(2075, 1, 1, 1)},
      {{2049, 6, 1}, flfDos, "01-01-99  01:00AM                    1 f", Utc(1999, 1, 1, 1)},
      {{2050, 6, 1}, flfDos, "01-01-99  01:00AM                    1 f", Utc(2099, 1, 1, 1)},
  };
  for (const Case& c : cases) {
    TIdFTPLineParser parser(c.format);
    parser.TodayProvider = [&c] { return c.today; };
    TIdFTPListItem item;
    ASSERT_TRUE(parser.Parse(c.line, item)) << c.line;
    EXPECT_EQ(c.ticks, item.ModifiedTicks) << c.line;
  }
}

// Whole listings: the collection and the streaming parser (guessing the layout) agree.
TEST(FtpListLines, WholeListings) {
  struct Case {
    const char* server;
    std::vector<std::string> lines;
    std::vector<std::string> names;
  } cases[] = {
      {"pure-ftpd LIST -a",
       {"drwxrwxrwx    3 999        veldra           4096 Dec  7 04:02 .",
        "-rwxr-xr-x    1 999        veldra              1 Dec  7 04:02 .hidden",
        "lrwxrwxrwx    1 999        veldra             17 Dec  7 04:02 link -> double  space.txt"},
       {".", ".hidden", "link"}},
      {"total line, then proftpd",
       {"total 12", "drwxrwxrwt   2 veldra   veldra       4096 Dec  7 04:02 sub dir",
        "-rw-rw-rw-   1 veldra   veldra          2 Dec  7 04:02 trailing.txt "},
       {"sub dir", "trailing.txt "}},
      {"MS-DOS",
       {"03-15-05  02:30PM       <DIR>          Program Files", "   \t ",
        "06-05-03  03:19PM                 1786 Program.cs"},
       {"Program Files", "Program.cs"}},
      // An odd line drops only itself.
      {"localised month in the middle",
       {"-rw-r--r-- 1 a b 1 Mar 5 2019 first", "-rw-r--r-- 1 a b 1 Mai 5 2019 mai",
        "-rw-r--r-- 1 a b 1 Mar 5 2019 last", "", "\t"},
       {"first", "last"}},
      {"empty", {}, {}},
  };
  for (const Case& c : cases) {
    TIdFTPListItems items;
    items.TodayProvider = [] { return kToday; };
    items.DetectedFormat = items.GuessFormat(c.lines.empty() ? "" : c.lines[0], true);
    items.ParseLines(c.lines);
    TIdFTPLineParser parser;
    parser.TodayProvider = items.TodayProvider;
    std::vector<std::string> names;
    std::vector<std::string> streamed;
    TIdFTPListItem item;
    for (int i = 0; i < items.ItemCount(); ++i) names.push_back(items.ItemAt(i).EntryName);
    for (const std::string& line : c.lines)
      if (parser.Parse(line, item)) streamed.push_back(item.EntryName);
    EXPECT_EQ(c.names, names) << c.server;
    EXPECT_EQ(c.names, streamed) << c.server;
  }
}

TEST(FtpListLines, OtherLayoutsAndCollection) {
  TIdFTPListItems items;
  // NLST: every line is a name, exactly; the total rule only applies to long listings.
  items.DetectedFormat = flfNoDetails;
  items.ParseLines({"total 3", "  a b  ", "c"});
  ASSERT_EQ(3, items.ItemCount());
  EXPECT_EQ("total 3", items.ItemAt(0).EntryName);
  EXPECT_EQ("  a b  ", items.ItemAt(1).EntryName);

  // No parsing: raw items only.
  items.DetectedFormat = flfNone;
  items.ParseLines({"anything"});
  ASSERT_EQ(1, items.ItemCount());
  EXPECT_EQ("anything", items.ItemAt(0).RawLine);
  EXPECT_EQ("", items.ItemAt(0).EntryName);

  // Custom: no handler means no entries; the handler fills items and may refuse lines.
  items.DetectedFormat = flfCustom;
  items.ParseLines({"a", "b"});
  EXPECT_EQ(0, items.ItemCount());
  items.OnParseCustomListFormat = [](TIdFTPListItem& item) {
    if (item.RawLine == "bad") throw EIdInvalidFTPListingFormat("bad");
    item.EntryName = "<" + item.RawLine + ">";
  };
  items.ParseLines({"a", "bad", "b"});
  ASSERT_EQ(2, items.ItemCount());
  EXPECT_EQ("<b>", items.ItemAt(1).EntryName);

  TIdFTPListItem copy;
  copy.Assign(items.ItemAt(0));
  EXPECT_EQ("<a>", copy.EntryName);
  EXPECT_EQ("a", copy.RawLine);

  try {
    items.ItemAt(2);
    FAIL() << "no error";
  } catch (const EListError& e) {
    EXPECT_STREQ("List index out of bounds (2)", e.what());
  }
  EXPECT_THROW(items.ItemAt(-1), EListError);
  TIdFTPListItem& entry = items.AddItem();
  EXPECT_THROW(items.ParseEntry(flfUnknown, entry), EIdInvalidFTPListingFormat);
  entry.RawLine = "-rw-r--r-- 1 anna staff 5 Mai 3 2019 x";
  EXPECT_THROW(items.ParseEntry(flfUnix, entry), EIdInvalidFTPListingFormat);
  entry.RawLine = "type=file;size=5; x";
  items.ParseEntry(flfMLSD, entry);
  EXPECT_EQ(5, entry.ByteSize);
  EXPECT_EQ("type=file;size=5; x", entry.RawLine);
}

}  // namespace
