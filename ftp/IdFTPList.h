// Directory listing parser: turns the lines of a LIST reply into entries.
//
// The layout is guessed once per listing from its first line and the same rules are applied
// to every line. Layouts and one real sample line of each:
//
//   Unix (vsftpd, proftpd, pure-ftpd, pyftpdlib; also the "DSK:" VAX marker, parsed alike):
//     -rw-r--r--    1 1000     1000         1234 Mar 05 14:07 notes.txt
//     drwxrwxrwt    2 root     root         4096 Jan  1  2020 tmp
//     lrwxrwxrwx    1 root     root            7 Jan  1  2020 lib -> usr/lib
//     total 12                                      (first line only; produces no entry)
//   MS-DOS (IIS and other Windows servers):
//     03-15-05  02:30PM       <DIR>          Program Files
//     12-01-99  09:05AM              1234567 setup.exe
//   No details (NLST): the trimmed line is the name.
//   Custom: parsed by the owner's OnParseCustomListFormat handler.
//
// Dates are "date-time" values: days since 1899-12-30 as a double, the fraction being the
// time of day, in the server's (taken as local) time. Unix listing times carry 999 ms,
// MS-DOS ones 0 ms.
//
// Thread rules: a collection belongs to one session and is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
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
  flfMLSD = 7        // RFC 3659 facts ("type=file;size=3; name")
};

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

// One directory entry. A plain value: copyable (copying assigns all twelve fields).
class TIdFTPListItem {
 public:
  int64_t ByteSize = 0;
  int32_t LinkCount = 0;
  std::string RawLine;  // the listing line exactly as received
  std::string EntryName;
  std::string GroupAccess = "???";
  std::string Group = "????????";
  std::string OwnerAccess = "???";
  std::string Owner = "????????";
  std::string OtherAccess = "???";
  TDateTime Modified = 0;
  std::string LinkTarget;  // symbolic links only
  EntryKind Kind = ekFile;

  void Assign(const TIdFTPListItem& source) { *this = source; }
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

  // Replaces the items by one item per line of `lines` parsed with DetectedFormat. A leading
  // "total" line of a Unix listing and blank lines (only spaces and tabs) produce no item.
  // A line that fails to parse is left out on its own; the others are kept. Never raises a
  // parse error.
  void ParseLines(const std::vector<std::string>& lines);

  // The layout of a listing judged from its first line; `details` false means an NLST
  // listing (flfNoDetails). A Unix mode string is a type letter from -dlbcps followed by
  // nine permission characters from -rwxsStT (either case).
  virtual TIdFTPListFormat GuessFormat(const std::string& line, bool details);

  // Fills `item` from item.RawLine by the rules of `format`. Raises
  // EIdInvalidFTPListingFormat for flfUnknown (and flfCustom without a handler), and
  // EIdInvalidFTPListingFormat for a Unix line that cannot be read (fewer than 8 columns,
  // unknown month, a date or time outside the calendar).
  void ParseEntry(TIdFTPListFormat format, TIdFTPListItem& item);

  // flfCustom: calls OnParseCustomListFormat, or raises EIdInvalidFTPListingFormat.
  virtual void ParseCustomEntry(TIdFTPListItem& item);

 private:
  TIdLocalDate Today() const;
  void ParseUnix(TIdFTPListItem& item);
  void ParseDos(TIdFTPListItem& item);

  std::vector<std::unique_ptr<TIdFTPListItem>> items_;
};
