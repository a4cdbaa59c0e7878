// Directory listing parser: turns the lines of a LIST, NLST or MLSD reply into entries.
//
// Layouts and a real line of each (captured from the servers named):
//
//   Unix (vsftpd, proftpd, pure-ftpd, pyftpdlib; also the "DSK:" VAX marker, parsed alike):
//     -rw-rw-rw-    1 999      995      5000000000 Mar 05  2019 big.bin          (vsftpd)
//     -rw-rw-rw-   1 root     root            1 Jul 16 12:07  leading.txt      (pyftpdlib)
//     lrwxrwxrwx   1 veldra   veldra         17 Dec  7 04:02 link -> double  space.txt
//     The name is everything after the one blank that follows the time or year column, so
//     leading, trailing and repeated blanks are kept ("  leading.txt" above is " leading.txt").
//     The date is found as month, day, time-or-year anywhere from the fifth column on, so
//     servers without a group column and device entries ("1,   3" for a size) are read too.
//   MS-DOS (IIS and other Windows servers):
//     03-15-05  02:30PM       <DIR>          Program Files
//   MLSD / MLST (RFC 3659 facts, then "; " and the name exactly):
//     type=file;size=1;modify=20260716120705;UNIX.mode=0666;unique=fe00ga7227f;  leading.txt
//   No details (NLST): the line is the name, exactly.
//   Custom: parsed by the owner's OnParseCustomListFormat handler.
//
// Times: ModifiedTicks is exact (100-ns units since 1601-01-01, the listed time taken as
// UTC, integer arithmetic) and TimePrecision tells how much of it the server gave. Modified
// is the older date-time value (days since 1899-12-30 as a double): Unix listing times carry
// 999 ms there, MS-DOS ones 0 ms, MLSD ones the listed milliseconds.
//
// Thread rules: a collection or a line parser belongs to one session and is used by one
// thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/IdException.h"
#include "platform/Exception.h"

// EIdInvalidFTPListingFormat (net/IdException.h) is raised by ParseEntry for a line it
// cannot parse. EListError is raised by an out-of-range index ("List index out of bounds (%d)").
VELDRA_EXCEPTION(EListError, Exception);

enum TIdFTPListFormat {
  flfNone = 0,       // lines are kept as raw items, nothing is parsed
  flfDos = 1,        // MS-DOS layout
  flfUnix = 2,       // Unix long listing
  flfVax = 3,        // VAX/VMS marker, parsed with the Unix rules
  flfNoDetails = 4,  // one name per line
  flfUnknown = 5,    // no layout recognised: every line fails
  flfCustom = 6,     // parsed by OnParseCustomListFormat
  flfMLSD = 7        // MLSD lines and MLST entry lines (RFC 3659 facts)
};

// How exact TIdFTPListItem::ModifiedTicks is.
enum TIdTimePrecision { tpNone = 0, tpDay = 1, tpMinute = 2, tpSecond = 3, tpMillisecond = 4 };

enum EntryKind { ekDirectory = 0, ekFile = 1, ekSymbolicLink = 2 };

// Days since 1899-12-30 plus the time of day as a fraction.
using TDateTime = double;

// Builds a date-time from calendar parts. Returns false (and leaves `result` alone) when the
// date or time does not exist: year outside 1..9999, month outside 1..12, a day past the
// month's end, hour > 23, minute or second > 59, millisecond > 999.
bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                       int millisecond, TDateTime& result);

// Today's local calendar date, as used for listing lines that carry no year.
struct TIdLocalDate {
  int Year;
  int Month;  // 1..12
  int Day;    // 1..31
};

// The current local date from the system clock. Thread-safe.
TIdLocalDate CurrentLocalDate();

// One directory entry. A plain value: copyable (copying assigns every field).
class TIdFTPListItem {
 public:
  int64_t ByteSize = 0;
  // FILETIME value: 100-ns intervals since 1601-01-01, from the listed calendar fields taken
  // as UTC, without floating point. 0 = unknown (also for dates before 1601).
  std::int64_t ModifiedTicks = 0;
  TDateTime Modified = 0;
  int32_t LinkCount = 0;
  std::uint32_t Mode = 0;  // permission bits (07777) when ModeKnown
  EntryKind Kind = ekFile;
  TIdTimePrecision TimePrecision = tpNone;  // how exact ModifiedTicks is
  bool ModeKnown = false;
  std::string RawLine;  // the listing line exactly as received (collections only)
  std::string EntryName;
  std::string LinkTarget;  // symbolic links only
  std::string Owner = "????????";
  std::string Group = "????????";
  std::string OwnerAccess = "???";
  std::string GroupAccess = "???";
  std::string OtherAccess = "???";
  std::string Permissions;  // MLSD "perm" fact, e.g. "radfwMT"
  std::string UniqueId;     // MLSD "unique" fact

  void Assign(const TIdFTPListItem& source) { *this = source; }
  // Back to the initial values, RawLine included; the strings keep their storage, so an item
  // reused for every line of a listing does not allocate per line.
  void Reset();
};

// The layout of a listing judged from its first line; `details` false means an NLST listing
// (flfNoDetails). A Unix mode string is a type letter from -dlbcps followed by nine
// permission characters from -rwxsStT (either case). MLSD is never guessed: the caller knows
// it asked for it.
TIdFTPListFormat GuessListFormat(std::string_view line, bool details);

// Reads listing lines one at a time, so that a listing of any size is never held as text
// plus entries at once.
class TIdFTPLineParser {
 public:
  // flfUnknown: the layout is guessed (GuessListFormat with details) from the first line
  // that is not blank or "total ..."; while no line is recognised the guess waits for the
  // next one. flfMLSD for MLSD/MLST lines, flfNoDetails for NLST. flfNone and flfCustom
  // give no entries.
  explicit TIdFTPLineParser(TIdFTPListFormat format = flfUnknown);

  // Fills item (all fields reset first; RawLine stays empty) from one line without its line
  // end. Returns false for a line that is no entry: blank, "total ...", unreadable, an MLSD
  // line without "; " or without a name. Never raises. MLSD "cdir"/"pdir" entries are named
  // "." and ".." whatever the server calls them, so the caller can skip them.
  bool Parse(std::string_view line, TIdFTPListItem& item);

  TIdFTPListFormat Format() const { return format_; }

  // Source of "today" for Unix lines without a year and the MS-DOS two-digit year window;
  // asked once, at the first line that needs it. Defaults to CurrentLocalDate.
  std::function<TIdLocalDate()> TodayProvider;

 private:
  TIdFTPListFormat format_;
  bool haveToday_ = false;
  TIdLocalDate today_{1970, 1, 1};
};

// Handler for flfCustom: fills the item from item.RawLine; raising drops that line.
using TIdOnParseCustomListFormat = std::function<void(TIdFTPListItem& AItem)>;

// The parsed entries of one listing. Owns its items; references returned by AddItem and
// ItemAt stay valid until the item is removed (ParseLines, Clear) or the collection is freed.
class TIdFTPListItems {
 public:
  TIdFTPListItems();
  virtual ~TIdFTPListItems();
  TIdFTPListItems(const TIdFTPListItems&) = delete;
  TIdFTPListItems& operator=(const TIdFTPListItems&) = delete;

  // Layout used by ParseLines; set by the session from GuessFormat. Initially flfUnix.
  TIdFTPListFormat DetectedFormat = flfUnix;
  TIdOnParseCustomListFormat OnParseCustomListFormat;
  // Source of "today" for Unix lines without a year (and the DOS two-digit year window).
  // Defaults to CurrentLocalDate; tests pin it.
  std::function<TIdLocalDate()> TodayProvider;

  // Appends a new item with the initial field values and returns it.
  TIdFTPListItem& AddItem();
  int ItemCount() const { return static_cast<int>(items_.size()); }
  // Raises EListError "List index out of bounds (%d)" for an index outside 0..count-1.
  TIdFTPListItem& ItemAt(int index);
  const TIdFTPListItem& ItemAt(int index) const;
  void Clear() { items_.clear(); }

  // Replaces the items by one item per line of `lines` parsed with DetectedFormat (the same
  // rules as TIdFTPLineParser; each item keeps its RawLine). Blank lines (only spaces and
  // tabs) produce no item. A line that fails to parse (a "total" line among them) is left
  // out on its own; the others are kept. Never raises a parse error.
  void ParseLines(const std::vector<std::string>& lines);

  // GuessListFormat.
  virtual TIdFTPListFormat GuessFormat(const std::string& line, bool details);

  // Fills `item` from item.RawLine by the rules of `format` (other fields reset first, except
  // for flfCustom). Raises EIdInvalidFTPListingFormat for flfUnknown (and flfCustom without a
  // handler) and for a line that is no entry (see TIdFTPLineParser::Parse).
  void ParseEntry(TIdFTPListFormat format, TIdFTPListItem& item);

  // flfCustom: calls OnParseCustomListFormat, or raises EIdInvalidFTPListingFormat.
  virtual void ParseCustomEntry(TIdFTPListItem& item);

 private:
  TIdLocalDate Today() const;

  std::vector<std::unique_ptr<TIdFTPListItem>> items_;
};
