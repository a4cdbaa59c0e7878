// Listing parser cases: real lines captured from vsftpd, pyftpdlib, pure-ftpd and proftpd
// (files " leading.txt", "trailing.txt ", "double  space.txt", a setuid ".hidden", a sticky
// directory "sub dir", a symlink, a 5 GB sparse "big.bin"), plus MS-DOS lines and odd ones.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "ftp/IdFTPList.h"

namespace {

const TIdLocalDate kToday{2026, 12, 7};  // the day the lines were captured
constexpr auto U = flfUnix, M = flfMLSD, D = flfDos, N = flfNoDetails;

// One line through the streaming parser: "name|kind size time precision mode", with kind
// f/d/l, the UTC time as YYYYMMDDhhmmss[.mmm] (C library calendar, not the parser's) or "-",
// precision -/d/m/s/f and the mode in octal or "-"; "[links owner group access]" follows when
// `want` asks for it. "" when the line is no entry.
std::string Parse(TIdFTPListFormat format, const std::string& line, const std::string& want,
                  TIdLocalDate today = kToday) {
  TIdFTPLineParser parser(format);
  parser.TodayProvider = [today] { return today; };
  TIdFTPListItem item;
  item.EntryName = "left over";
  item.ModeKnown = true;
  if (!parser.Parse(line, item)) return "";
  std::string time = "-";
  if (item.ModifiedTicks != 0) {
    const std::time_t t = static_cast<std::time_t>(item.ModifiedTicks / 10000000 - 11644473600);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", std::gmtime(&t));
    time = text;
    if (item.TimePrecision == tpMillisecond)
      time += "." + std::to_string(item.ModifiedTicks / 10000 % 1000);
    // The older date-time value: days since 1899-12-30; Unix times carry 999 ms.
    const double ms = format == flfUnix ? 999 : 0;
    EXPECT_NEAR((item.ModifiedTicks - 94353120000000000) / 864e9 + ms / 864e5, item.Modified, 1e-9);
  }
  char mode[16] = "-";
  if (item.ModeKnown || item.Mode != 0) std::snprintf(mode, sizeof mode, "%o", item.Mode);
  std::string out = item.EntryName + (item.LinkTarget.empty() ? "" : " -> " + item.LinkTarget) +
                    "|" + "dfl"[item.Kind] + " " + std::to_string(item.ByteSize) + " " + time +
                    " " + "-dmsf"[item.TimePrecision] + " " + (item.ModeKnown ? mode : "-");
  if (want.find('[') != std::string::npos)
    out += " [" + std::to_string(item.LinkCount) + " " + item.Owner + " " + item.Group + " " +
           item.OwnerAccess + item.GroupAccess + item.OtherAccess + "]";
  return out;
}

TEST(FtpListLine, RealAndOddLines) {
  struct Case {
    TIdFTPListFormat format;
    const char* line;
    const char* want;
  } cases[] = {
      // vsftpd LIST: right-aligned year column, numeric ids.
      {U, "-rw-rw-rw-    1 999      995             1 Jul 16 12:07  leading.txt",
       " leading.txt|f 1 20260716120700 m 666 [1 999 995 rw-rw-rw-]"},
      {U, "-rw-rw-rw-    1 999      995      5000000000 Mar 05  2019 big.bin",
       "big.bin|f 5000000000 20190305000000 d 666"},
      {U, "drwxrwxrwt    2 999      995          4096 Dec 07 04:02 sub dir",
       "sub dir|d 4096 20261207040200 m 1777 [2 999 995 rwxrwxrwt]"},
      // pyftpdlib LIST: the size column grows to the left.
      {U, "-rwsr-xr-x   1 root     root            1 Dec 07 04:02 .hidden",
       ".hidden|f 1 20261207040200 m 4755 [1 root root rwsr-xr-x]"},
      {U, "lrwxrwxrwx   1 root     root           17 Dec 07 04:02 link -> double  space.txt",
       "link -> double  space.txt|l 17 20261207040200 m 777"},
      // pure-ftpd LIST: unpadded day, wide group column.
      {U, "-rw-rw-rw-    1 999        veldra     5000000000 Mar  5  2019 big.bin",
       "big.bin|f 5000000000 20190305000000 d 666 [1 999 veldra rw-rw-rw-]"},
      // proftpd LIST.
      {U, "-rw-rw-rw-   1 veldra   veldra          2 Dec  7 04:02 trailing.txt ",
       "trailing.txt |f 2 20261207040200 m 666"},
      // Other Unix shapes: no group column, a device, an ACL marker, a link without a target,
      // setgid and sticky without execute, a mode letter out of place.
      {U, "-rw-r--r-- 1 anna 1234 Mar 5 14:07 x.txt",
       "x.txt|f 1234 20260305140700 m 644 [1  anna rw-r--r--]"},
      {U, "crw-rw-rw-    1 0        0          1,   3 Jan 01  2020 null",
       "null|f 0 20200101000000 d 666"},
      {U, "-rw-r--r--+   1 0 0 7 Jan 01  2020 acl", "acl|f 7 20200101000000 d 644"},
      {U, "lrwxrwxrwx 1 root root 7 Jan 1 2020 dangling -> ",
       "dangling -> |l 7 20200101000000 d 777"},
      {U, "drwxr-Sr-T 2 0 0 4096 Dec 31 23:59 box", "box|d 4096 20261231235900 m 3744"},
      {U, "-rwxrwxrwz 1 0 0 1 Jan 01  2020 odd", "odd|f 1 20200101000000 d -"},
      // pyftpdlib MLSD; with OPTS MLST asking for UNIX.mode it gives Python's octal.
      {M, "modify=20260716120705;perm=radfwMT;size=1;type=file;unique=fe00ga7227f;  leading.txt",
       " leading.txt|f 1 20260716120705 s -"},
      {M, "modify=20261207040251;size=6;type=file;unix.mode=0o755; run.sh",
       "run.sh|f 6 20261207040251 s 755"},
      // pure-ftpd MLSD and MLST (the entry line of the reply, with its leading blank).
      {M, "type=cdir;sizd=4096;modify=20261207040251;UNIX.mode=0777;UNIX.uid=999;UNIX.gid=995; .",
       ".|d 4096 20261207040251 s 777"},
      {M, "type=OS.unix=slink:;size=17;modify=20261207040251;UNIX.mode=0777; link",
       "link|l 17 20261207040251 s 777"},
      {M, "type=dir;sizd=4096;modify=20261207040251;UNIX.mode=01777; sub dir",
       "sub dir|d 4096 20261207040251 s 1777"},
      {M, " type=file;size=2;modify=20261207040251;UNIX.mode=0666; trailing.txt ",
       "trailing.txt |f 2 20261207040251 s 666"},
      // proftpd MLSD: a parent entry, a symlink, a big file.
      {M, "modify=20261207040251;perm=flcdmpe;type=pdir;UNIX.groupname=veldra;UNIX.mode=0777; ..",
       "..|d 0 20261207040251 s 777"},
      {M, "modify=20261207040251;perm=adfrw;size=17;type=OS.unix=symlink;UNIX.mode=0777; link",
       "link|l 17 20261207040251 s 777"},
      {M, "modify=20190305140700;size=5000000000;type=file;UNIX.mode=0666;UNIX.owner=999; big.bin",
       "big.bin|f 5000000000 20190305140700 s 666"},
      // Milliseconds and fact names in any case; a bad time and mode leave the entry.
      {M, "Type=FILE;Modify=20190305140700.25;Size=3; x", "x|f 3 20190305140700.250 f -"},
      {M, "type=file;modify=20190230140700;UNIX.mode=9; x", "x|f 0 - - -"},
      // MS-DOS: minutes; an unreadable time keeps the entry without one.
      {D, "03-15-05  02:30PM       <DIR>          Program Files",
       "Program Files|d 0 20050315143000 m -"},
      {D, "12-01-99  09:05AM            1,234,567 setup.exe",
       "setup.exe|f 1234567 19991201090500 m -"},
      {D, "12-01-99  12:05AM                   10 midnight.txt",
       "midnight.txt|f 10 19991201000500 m -"},
      {D, "12-01-99  17:05                     10 24h.txt", "24h.txt|f 10 19991201170500 m -"},
      {D, "12-01-99  13:05PM                   10 bad hour.txt", "bad hour.txt|f 10 - - -"},
      // NLST: the line is the name.
      {N, " leading.txt", " leading.txt|f 0 - - -"},
      // Lines that are no entries.
      {U, "total 12", ""},
      {U, "-rw-r--r-- 1 anna staff 5 Mai 3 2019 x", ""},  // localised month
      {U, "-rw-r--r-- 1 anna staff 5 Feb 30 2019 x", ""},
      {U, "-rw-r--r-- 1 anna staff 5 Feb 3 24:00 x", ""},
      {U, "-rw-r--r-- 1 anna staff 5 Feb 3", ""},
      {U, "-rw-r--r-- 1 anna staff 1234 Mar 5 14:07 ", ""},  // one blank, then no name
      {M, "type=file;size=1;", ""},
      {M, "type=file;size=1; ", ""},
      {M, "550 No such file; x", ""},
      {D, "12-01-99  09:05AM           12", ""},
      {N, " \t", ""},
      {flfUnknown, "hello world", ""},
      {flfCustom, "anything", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.want, Parse(c.format, c.line, c.want)) << c.line;

  // Unix dates without a year: a month later than this month is last year's. MS-DOS years:
  // the first year not earlier than fifty years ago with those last two digits.
  const std::string mar5 = "-rw-r--r-- 1 a b 1 Mar 5 14:07 x", dos = "  01:00AM     1 f";
  EXPECT_EQ("x|f 1 20250305140700 m 644", Parse(U, mar5, "", {2026, 2, 10}));
  EXPECT_EQ("x|f 1 20260305140700 m 644", Parse(U, mar5, "", {2026, 3, 1}));
  EXPECT_EQ("f|f 1 19990101010000 m -", Parse(D, "01-01-99" + dos, "", {2026, 6, 1}));
  EXPECT_EQ("f|f 1 19760101010000 m -", Parse(D, "01-01-76" + dos, "", {2026, 6, 1}));
  EXPECT_EQ("f|f 1 20750101010000 m -", Parse(D, "01-01-75" + dos, "", {2026, 6, 1}));
  EXPECT_EQ("f|f 1 19990101010000 m -", Parse(D, "01-01-99" + dos, "", {2049, 6, 1}));
  EXPECT_EQ("f|f 1 20990101010000 m -", Parse(D, "01-01-99" + dos, "", {2050, 6, 1}));
}

TEST(FtpListGuess, FirstLineDecidesLayout) {
  const std::pair<const char*, TIdFTPListFormat> cases[] = {
      {"-rw-r--r--    1 1000     1000         1234 Mar 05 14:07 notes.txt", flfUnix},
      // /tmp, setgid shares, setuid binaries, devices, pipes and sockets as first entries.
      {"drwxrwxrwt   10 root     root         4096 Dec  6 23:10 tmp", flfUnix},
      {"drwxr-sr-x    2 ftp      ftp          4096 Mar  5 14:07 share", flfUnix},
      {"-rwsr-xr-x    1 root     root        55672 Jan  1  2020 su", flfUnix},
      {"brw-rw----    1 root     disk     8,   0 Jan  1  2020 sda", flfUnix},
      {"srwxrwxrwx    1 root     root            0 Jan  1  2020 sock", flfUnix},
      {"-rwxrwxrwz    1 root     root            0 Jan  1  2020 odd", flfUnknown},
      {"DISK$USER:[ANNA]  DSK: listing", flfVax},
      {"03-15-05  02:30PM       <DIR>          Program Files", flfDos},
      {"12/01/99  09:05AM                    0 empty.txt", flfDos},
      {"12-01-99  09:05AM                 12ab x", flfUnknown},
      {"", flfUnknown},
      {"drwx", flfUnknown},
      {"type=file;size=1; x", flfUnknown},
  };
  TIdFTPListItems items;
  for (const auto& [line, format] : cases) EXPECT_EQ(format, items.GuessFormat(line, true)) << line;
  EXPECT_EQ(flfNoDetails, items.GuessFormat(cases[0].first, false));
}

// Whole listings: the collection and the streaming parser (guessing the layout) agree.
TEST(FtpListLines, WholeListings) {
  const std::vector<std::string> listings[][2] = {
      {{"total 12", "drwxrwxrwt   2 veldra   veldra       4096 Dec  7 04:02 sub dir",
        "-rw-rw-rw-   1 veldra   veldra          2 Dec  7 04:02 trailing.txt ",
        "lrwxrwxrwx    1 999        veldra             17 Dec  7 04:02 link -> double  space.txt"},
       {"sub dir", "trailing.txt ", "link"}},
      {{"03-15-05  02:30PM       <DIR>          Program Files", "   \t ",
        "06-05-03  03:19PM                 1786 Program.cs"},
       {"Program Files", "Program.cs"}},
      // An odd line drops only itself.
      {{"-rw-r--r-- 1 a b 1 Mar 5 2019 first", "-rw-r--r-- 1 a b 1 Mai 5 2019 mai",
        "-rw-r--r-- 1 a b 1 Mar 5 2019 last", "", "\t"},
       {"first", "last"}},
      {{}, {}},
  };
  for (const auto& [lines, want] : listings) {
    TIdFTPListItems items;
    items.TodayProvider = [] { return kToday; };
    items.DetectedFormat = items.GuessFormat(lines.empty() ? "" : lines[0], true);
    items.ParseLines(lines);
    TIdFTPLineParser parser;
    parser.TodayProvider = items.TodayProvider;
    std::vector<std::string> names, streamed;
    TIdFTPListItem item;
    for (int i = 0; i < items.ItemCount(); ++i) names.push_back(items.ItemAt(i).EntryName);
    for (const std::string& line : lines)
      if (parser.Parse(line, item)) streamed.push_back(item.EntryName);
    EXPECT_EQ(want, names);
    EXPECT_EQ(want, streamed);
  }
}

TEST(FtpListLines, OtherLayoutsAndCollection) {
  TIdFTPListItems items;
  // Custom without a handler: no entries (the scripted suite's owner gives one).
  items.DetectedFormat = flfCustom;
  items.ParseLines({"a", "b"});
  EXPECT_EQ(0, items.ItemCount());
  // No parsing: raw items only.
  items.DetectedFormat = flfNone;
  items.ParseLines({"anything"});
  ASSERT_EQ(1, items.ItemCount());
  EXPECT_EQ("anything", items.ItemAt(0).RawLine);
  EXPECT_EQ("", items.ItemAt(0).EntryName);
  // NLST: every line is a name, exactly; the total rule only applies to long listings.
  items.DetectedFormat = flfNoDetails;
  items.ParseLines({"total 3", "  a b  "});
  ASSERT_EQ(2, items.ItemCount());
  EXPECT_EQ("total 3", items.ItemAt(0).EntryName);
  TIdFTPListItem copy;
  copy.Assign(items.ItemAt(1));
  EXPECT_EQ("  a b  ", copy.EntryName);
  EXPECT_EQ("  a b  ", copy.RawLine);
  try {
    items.ItemAt(2);
    ADD_FAILURE() << "no error";
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
