#include "ftp/IdFTPList.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <ctime>
#include <mutex>

namespace {

const char kUnknownFormat[] = "Unknown FTP listing format";

bool IsBlankChar(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

// Without leading and trailing characters with a code of 32 or less.
std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlankChar(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlankChar(s.back())) s.remove_suffix(1);
  return s;
}

char UpperChar(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

std::string Upper(std::string s) {
  for (char& c : s) c = UpperChar(c);
  return s;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (UpperChar(a[i]) != UpperChar(b[i])) return false;
  return true;
}

bool StartsIgnoringCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && SameIgnoringCase(s.substr(0, prefix.size()), prefix);
}

// Only spaces and tabs (or nothing).
bool IsBlankLine(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

bool StartsWithTotal(std::string_view line) {
  return StartsIgnoringCase(line, "total");
}

// Characters [first, first+count) of s, 1-based like the layout descriptions; shorter (or
// empty) when s is shorter.
std::string_view Mid(std::string_view s, size_t first, size_t count) {
  if (first < 1 || first > s.size()) return std::string_view();
  return s.substr(first - 1, count);
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Decimal digits only (at most 18, so no overflow); false otherwise.
bool ParseDigits(std::string_view s, int64_t& out) {
  if (!AllDigits(s) || s.size() > 18) return false;
  out = 0;
  for (char c : s) out = out * 10 + (c - '0');
  return true;
}

int64_t DigitsOr(std::string_view s, int64_t fallback) {
  int64_t v;
  return ParseDigits(s, v) ? v : fallback;
}

// Days from 0000-03-01-based civil calendar (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe);
}

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// The listed calendar fields of an entry's time.
struct TListedTime {
  int year, month, day, hour = 0, minute = 0, second = 0;
  int64_t fraction = 0;  // 100-ns units below the second
  TIdTimePrecision precision;
};

// Sets Modified and, for dates from 1601 on, ModifiedTicks/TimePrecision from the listed
// fields. `modifiedMs` is what Modified carries below the minute or second. False when the
// date or time does not exist.
bool SetTime(const TListedTime& t, int modifiedMs, TIdFTPListItem& item) {
  TDateTime modified;
  if (!TryEncodeDateTime(t.year, t.month, t.day, t.hour, t.minute, t.second, modifiedMs, modified))
    return false;
  item.Modified = modified;
  if (t.year >= 1601) {
    const int64_t days =
        DaysFromCivil(t.year, unsigned(t.month), unsigned(t.day)) - DaysFromCivil(1601, 1, 1);
    const int64_t seconds = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
    item.ModifiedTicks = seconds * 10000000 + t.fraction;
    item.TimePrecision = t.precision;
  }
  return true;
}

// Unix type letters and permission characters (either case). setuid/setgid/sticky bits
// (s S t T) and device, pipe and socket entries are common on real servers: /tmp is
// drwxrwxrwt, a setgid share is drwxr-sr-x.
bool LooksLikeUnixMode(std::string_view mode) {
  static const std::string_view kTypes = "-DLBCPS";
  static const std::string_view kPerms = "-RWXST";
  if (mode.size() < 10) return false;
  if (kTypes.find(UpperChar(mode[0])) == std::string_view::npos) return false;
  for (size_t i = 1; i < 10; ++i)
    if (kPerms.find(UpperChar(mode[i])) == std::string_view::npos) return false;
  return true;
}

// Permission bits of "rwxr-sr-t" (the nine characters after the type letter). False for a
// character that has no meaning in its place.
bool ModeBits(std::string_view perms, uint32_t& mode) {
  // Per triad: the special bit an "s"/"t" in the execute place adds.
  static const uint32_t kSpecial[3] = {04000, 02000, 01000};
  static const char kSpecialLetter[3] = {'s', 's', 't'};
  mode = 0;
  for (int triad = 0; triad < 3; ++triad) {
    const char r = perms[triad * 3];
    const char w = perms[triad * 3 + 1];
    const char x = perms[triad * 3 + 2];
    const uint32_t shift = static_cast<uint32_t>(6 - triad * 3);
    if ((r != 'r' && r != '-') || (w != 'w' && w != '-')) return false;
    if (r == 'r') mode |= 4u << shift;
    if (w == 'w') mode |= 2u << shift;
    if (x == 'x' || x == kSpecialLetter[triad]) mode |= 1u << shift;
    if (x == kSpecialLetter[triad] || x == UpperChar(kSpecialLetter[triad])) {
      mode |= kSpecial[triad];
    } else if (x != 'x' && x != '-') {
      return false;
    }
  }
  return true;
}

int MonthNumber(std::string_view name) {
  static const char* const kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  for (int i = 0; i < 12; ++i)
    if (SameIgnoringCase(name, kMonths[i])) return i + 1;
  return 0;
}

// "Mar 5 14:07" or "Mar 05 2019" at columns i, i+1, i+2.
bool ReadUnixDate(std::string_view month, std::string_view day, std::string_view timeOrYear,
                  const TIdLocalDate& today, TListedTime& t) {
  t.month = MonthNumber(month);
  int64_t d;
  if (t.month == 0 || day.size() > 2 || !ParseDigits(day, d)) return false;
  t.day = static_cast<int>(d);
  int64_t a;
  int64_t b;
  if (timeOrYear.size() == 4 && ParseDigits(timeOrYear, a)) {
    t.year = static_cast<int>(a);
    t.precision = tpDay;
    return true;
  }
  const size_t colon = timeOrYear.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 2 ||
      timeOrYear.size() != colon + 3 || !ParseDigits(timeOrYear.substr(0, colon), a) ||
      !ParseDigits(timeOrYear.substr(colon + 1), b))
    return false;
  // No year: the last such date not after this month.
  t.year = today.Month < t.month ? today.Year - 1 : today.Year;
  t.hour = static_cast<int>(a);
  t.minute = static_cast<int>(b);
  t.precision = tpMinute;
  return true;
}

bool ParseUnix(std::string_view line, const TIdLocalDate& today, TIdFTPListItem& item) {
  // Columns are separated by runs of spaces (tabs are not separators). Only the columns up to
  // the date are needed; the name is then the rest of the line as sent.
  constexpr size_t kMaxColumns = 12;
  std::string_view cols[kMaxColumns];
  size_t n = 0;
  size_t pos = 0;
  size_t month = 0;  // column of the month, once found
  TListedTime t{};
  while (n < kMaxColumns && month == 0) {
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (pos == line.size()) return false;
    const size_t end = std::min(line.find(' ', pos), line.size());
    cols[n++] = line.substr(pos, end - pos);
    pos = end;
    // The date is month, day, time-or-year from the fifth column on: mode, links, owner and
    // size at least come first.
    if (n >= 7 && ReadUnixDate(cols[n - 3], cols[n - 2], cols[n - 1], today, t)) month = n - 3;
  }
  if (month == 0) return false;
  // The name starts after exactly one blank: more blanks belong to the name.
  if (pos + 1 >= line.size()) return false;
  std::string_view name = line.substr(pos + 1);

  const std::string_view mode = cols[0];
  const char type = UpperChar(mode[0]);
  item.OwnerAccess.assign(Mid(mode, 2, 3));
  item.GroupAccess.assign(Mid(mode, 5, 3));
  item.OtherAccess.assign(Mid(mode, 8, 3));
  item.ModeKnown = mode.size() >= 10 && ModeBits(mode.substr(1, 9), item.Mode);
  if (!item.ModeKnown) item.Mode = 0;
  item.LinkCount = static_cast<int32_t>(std::min<int64_t>(DigitsOr(cols[1], 0), INT32_MAX));
  if (month == 4) {
    // "-rw-r--r-- 1 anna 1234 Mar 5 14:07 x.txt": a server that prints no group column.
    item.Owner.clear();
    item.Group.assign(cols[2]);
  } else {
    item.Owner.assign(cols[2]);
    item.Group.assign(cols[3]);
  }
  // Device entries list "major, minor" where the size would be.
  item.ByteSize = type == 'B' || type == 'C' ? 0 : DigitsOr(cols[month - 1], 0);
  if (!SetTime(t, 999, item)) return false;

  if (type == 'L') {
    // A link target is never empty: "x -> " with nothing after it is a name.
    const size_t arrow = name.find(" -> ");
    if (arrow != std::string_view::npos && arrow + 4 < name.size()) {
      item.LinkTarget.assign(name.substr(arrow + 4));
      name = name.substr(0, arrow);
    }
    item.Kind = ekSymbolicLink;
  } else {
    item.Kind = type == 'D' ? ekDirectory : ekFile;
  }
  if (name.empty()) return false;
  item.EntryName.assign(name);
  return true;
}

bool ParseDos(std::string_view l, const TIdLocalDate& today, TIdFTPListItem& item) {
  const std::string_view month = Mid(l, 1, 2);
  const std::string_view day = Mid(l, 4, 2);
  const std::string_view year = Mid(l, 7, 2);

  std::string_view r = Mid(l, 9, std::string_view::npos);
  // The next blank-separated field; r keeps what follows with its leading blanks removed.
  auto cut = [](std::string_view& rest) {
    while (!rest.empty() && IsBlankChar(rest.front())) rest.remove_prefix(1);
    const size_t sp = std::min(rest.find(' '), rest.size());
    const std::string_view head = rest.substr(0, sp);
    rest.remove_prefix(sp);
    while (!rest.empty() && IsBlankChar(rest.front())) rest.remove_prefix(1);
    return head;
  };
  const std::string_view time = cut(r);
  std::string v;
  for (char c : cut(r))
    if (c != ',') v += c;
  if (Upper(v) == "<DIR>") {
    item.Kind = ekDirectory;
    item.ByteSize = 0;
  } else {
    item.Kind = ekFile;
    item.ByteSize = DigitsOr(v, 0);
  }
  if (r.empty()) return false;
  item.EntryName.assign(r);

  // Month/day/two-digit year and hour:minute with an optional AM/PM, independent of any
  // regional settings. An unreadable date leaves the time unknown and keeps the entry.
  const size_t colon = time.find(':');
  if (!AllDigits(month) || !AllDigits(day) || !AllDigits(year) || colon == std::string_view::npos)
    return true;
  const std::string_view hh = time.substr(0, colon);
  std::string_view mm = time.substr(colon + 1);
  size_t letters = 0;
  while (letters < mm.size() &&
         std::isalpha(static_cast<unsigned char>(mm[mm.size() - 1 - letters])))
    ++letters;
  const std::string ampm = Upper(std::string(mm.substr(mm.size() - letters)));
  mm.remove_suffix(letters);
  if (!AllDigits(hh) || !AllDigits(mm) || hh.size() > 2 || mm.size() > 2) return true;
  TListedTime t{};
  t.hour = static_cast<int>(DigitsOr(hh, 0));
  t.minute = static_cast<int>(DigitsOr(mm, 0));
  if (!ampm.empty()) {
    if ((ampm != "AM" && ampm != "PM") || t.hour < 1 || t.hour > 12) return true;
    if (ampm == "AM" && t.hour == 12) t.hour = 0;
    if (ampm == "PM" && t.hour != 12) t.hour += 12;
  }
  const int y2 = static_cast<int>(DigitsOr(year, 0));
  const int base = today.Year - 50;
  t.year = base - ((base % 100) + 100) % 100 + y2;
  if (t.year < base) t.year += 100;
  t.month = static_cast<int>(DigitsOr(month, 0));
  t.day = static_cast<int>(DigitsOr(day, 0));
  t.precision = tpMinute;
  SetTime(t, 0, item);
  return true;
}

// "YYYYMMDDHHMMSS[.fraction]", UTC.
bool ReadFactTime(std::string_view v, TListedTime& t) {
  const size_t dot = v.find('.');
  const std::string_view whole = v.substr(0, dot);
  int64_t n;
  if (whole.size() != 14 || !ParseDigits(whole, n)) return false;
  auto field = [&](size_t at, size_t len) {
    return static_cast<int>(DigitsOr(whole.substr(at, len), 0));
  };
  t.year = field(0, 4);
  t.month = field(4, 2);
  t.day = field(6, 2);
  t.hour = field(8, 2);
  t.minute = field(10, 2);
  t.second = field(12, 2);
  t.precision = tpSecond;
  if (dot != std::string_view::npos) {
    const std::string_view digits = v.substr(dot + 1);
    if (!AllDigits(digits)) return false;
    // Kept to the 100 ns a tick can hold; finer digits are dropped, not rounded.
    int64_t scale = 1000000;
    for (size_t i = 0; i < digits.size() && i < 7; ++i, scale /= 10)
      t.fraction += (digits[i] - '0') * scale;
    t.precision = tpMillisecond;
  }
  return true;
}

bool ParseMlsd(std::string_view line, TIdFTPListItem& item) {
  // An MLST reply carries its entry line after one blank.
  if (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  const size_t split = line.find("; ");
  if (split == std::string_view::npos || split + 2 >= line.size()) return false;
  std::string_view name = line.substr(split + 2);
  std::string_view facts = line.substr(0, split + 1);
  bool haveSize = false;
  bool anyFact = false;
  while (!facts.empty()) {
    const size_t semicolon = std::min(facts.find(';'), facts.size());
    const std::string_view fact = facts.substr(0, semicolon);
    facts.remove_prefix(std::min(semicolon + 1, facts.size()));
    // Every fact is name=value: anything else is a line of some other kind.
    const size_t eq = fact.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    anyFact = true;
    const std::string_view key = fact.substr(0, eq);
    std::string_view value = fact.substr(eq + 1);
    if (SameIgnoringCase(key, "type")) {
      if (SameIgnoringCase(value, "dir")) {
        item.Kind = ekDirectory;
      } else if (SameIgnoringCase(value, "cdir") || SameIgnoringCase(value, "pdir")) {
        item.Kind = ekDirectory;
        name = SameIgnoringCase(value, "cdir") ? "." : "..";
      } else if (StartsIgnoringCase(value, "OS.unix=slink") ||
                 StartsIgnoringCase(value, "OS.unix=symlink")) {
        item.Kind = ekSymbolicLink;
        const size_t colon = value.find(':');
        if (colon != std::string_view::npos) item.LinkTarget.assign(value.substr(colon + 1));
      } else {
        item.Kind = ekFile;  // file, and devices and the like, as in Unix listings
      }
    } else if (SameIgnoringCase(key, "size") || (SameIgnoringCase(key, "sizd") && !haveSize)) {
      int64_t size;
      if (ParseDigits(value, size)) {
        item.ByteSize = size;
        haveSize = SameIgnoringCase(key, "size");
      }
    } else if (SameIgnoringCase(key, "modify")) {
      TListedTime t{};
      if (!ReadFactTime(value, t) || !SetTime(t, static_cast<int>(t.fraction / 10000), item)) {
        item.Modified = 0;
        item.ModifiedTicks = 0;
        item.TimePrecision = tpNone;
      }
    } else if (SameIgnoringCase(key, "UNIX.mode")) {
      // pyftpdlib writes the mode the way Python prints octal: "0o755".
      if (value.size() > 2 && value[0] == '0' && (value[1] == 'o' || value[1] == 'O'))
        value.remove_prefix(2);
      uint32_t mode = 0;
      bool octal = !value.empty() && value.size() <= 7;
      for (char c : value) {
        octal = octal && c >= '0' && c <= '7';
        mode = mode * 8 + static_cast<uint32_t>(c - '0');
      }
      item.ModeKnown = octal;
      item.Mode = octal ? mode & 07777 : 0;
    } else if (SameIgnoringCase(key, "perm")) {
      item.Permissions.assign(value);
    } else if (SameIgnoringCase(key, "unique")) {
      item.UniqueId.assign(value);
    }
  }
  item.EntryName.assign(name);
  return anyFact;
}

bool NeedsToday(TIdFTPListFormat format) {
  return format == flfUnix || format == flfVax || format == flfDos;
}

// One line by the rules of `format`; false when it is no entry. Never raises.
bool ParseListLine(TIdFTPListFormat format, std::string_view line, const TIdLocalDate& today,
                   TIdFTPListItem& item) {
  switch (format) {
    case flfDos:
      return ParseDos(line, today, item);
    case flfUnix:
    case flfVax:
      return ParseUnix(line, today, item);
    case flfMLSD:
      return ParseMlsd(line, item);
    case flfNoDetails:
      item.EntryName.assign(line);
      return !IsBlankLine(line);
    default:
      return false;
  }
}

// Every parsed field back to its initial value; RawLine stays.
void ResetParsed(TIdFTPListItem& item) {
  item.ByteSize = 0;
  item.ModifiedTicks = 0;
  item.Modified = 0;
  item.LinkCount = 0;
  item.Mode = 0;
  item.Kind = ekFile;
  item.TimePrecision = tpNone;
  item.ModeKnown = false;
  item.EntryName.clear();
  item.LinkTarget.clear();
  item.Owner.assign("????????");
  item.Group.assign("????????");
  item.OwnerAccess.assign("???");
  item.GroupAccess.assign("???");
  item.OtherAccess.assign("???");
  item.Permissions.clear();
  item.UniqueId.clear();
}

}  // namespace

bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                       int millisecond, TDateTime& result) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59 || millisecond < 0 || millisecond > 999)
    return false;
  const double date = static_cast<double>(DaysFromCivil(year, unsigned(month), unsigned(day)) -
                                          DaysFromCivil(1899, 12, 30));
  const double time =
      (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + millisecond) / 86400000.0;
  // Before the epoch the whole part counts backwards while the time still runs forwards.
  result = date >= 0 ? date + time : date - time;
  return true;
}

TIdLocalDate CurrentLocalDate() {
  // std::localtime shares one buffer per process; the lock keeps concurrent callers apart.
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  const std::time_t now = std::time(nullptr);
  const std::tm* tm = std::localtime(&now);
  if (tm == nullptr) return TIdLocalDate{1970, 1, 1};
  return TIdLocalDate{tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday};
}

void TIdFTPListItem::Reset() {
  ResetParsed(*this);
  RawLine.clear();
}

TIdFTPListFormat GuessListFormat(std::string_view line, bool details) {
  if (!details) return flfNoDetails;
  if (LooksLikeUnixMode(line) || StartsWithTotal(line)) return flfUnix;
  if (Upper(std::string(line.substr(0, 4096))).find("DSK:") != std::string::npos) return flfVax;
  // MS-DOS: "MM-DD-YY  HH:MMAP" then "<DIR>" at column 25 or a size right-aligned to column
  // 38. Sizes of nine characters and more ("1,234,567", 100 MB without commas) start before
  // column 31, so the whole field 25..38 is read as the size.
  if (line.size() >= 6 && (line[2] == '-' || line[2] == '/') &&
      (line[5] == '-' || line[5] == '/')) {
    const std::string_view d = Trim(Mid(line, 25, 6));
    std::string digits;
    for (char c : Trim(Mid(line, 25, 14)))
      if (c != ',') digits += c;
    if (Upper(std::string(d)) == "<DIR>" || AllDigits(digits)) return flfDos;
  }
  return flfUnknown;
}

TIdFTPLineParser::TIdFTPLineParser(TIdFTPListFormat format) : format_(format) {}

bool TIdFTPLineParser::Parse(std::string_view line, TIdFTPListItem& item) {
  item.Reset();
  if (IsBlankLine(line)) return false;
  if (format_ == flfUnknown) {
    if (StartsWithTotal(line)) return false;
    const TIdFTPListFormat guess = GuessListFormat(line, true);
    if (guess == flfUnknown) return false;
    format_ = guess;
  }
  if (!haveToday_ && NeedsToday(format_)) {
    today_ = TodayProvider ? TodayProvider() : CurrentLocalDate();
    haveToday_ = true;
  }
  return ParseListLine(format_, line, today_, item);
}

TIdFTPListItems::TIdFTPListItems() = default;
TIdFTPListItems::~TIdFTPListItems() = default;

TIdLocalDate TIdFTPListItems::Today() const {
  return TodayProvider ? TodayProvider() : CurrentLocalDate();
}

TIdFTPListItem& TIdFTPListItems::AddItem() {
  items_.push_back(std::make_unique<TIdFTPListItem>());
  return *items_.back();
}

TIdFTPListItem& TIdFTPListItems::ItemAt(int index) {
  if (index < 0 || index >= ItemCount())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return *items_[static_cast<size_t>(index)];
}

const TIdFTPListItem& TIdFTPListItems::ItemAt(int index) const {
  return const_cast<TIdFTPListItems*>(this)->ItemAt(index);
}

void TIdFTPListItems::ParseLines(const std::vector<std::string>& lines) {
  items_.clear();
  const TIdLocalDate today = NeedsToday(DetectedFormat) ? Today() : TIdLocalDate{1970, 1, 1};
  for (const std::string& line : lines) {
    if (IsBlankLine(line)) continue;
    TIdFTPListItem& item = AddItem();
    item.RawLine = line;
    if (DetectedFormat == flfNone) continue;
    bool parsed;
    if (DetectedFormat == flfCustom) {
      try {
        ParseCustomEntry(item);
        parsed = true;
      } catch (const std::exception&) {
        parsed = false;
      }
    } else {
      parsed = ParseListLine(DetectedFormat, line, today, item);
    }
    // One odd line (a localised month, a "total" line) must not take its neighbours with
    // it: only the failing item goes.
    if (!parsed) items_.pop_back();
  }
}

TIdFTPListFormat TIdFTPListItems::GuessFormat(const std::string& line, bool details) {
  return GuessListFormat(line, details);
}

void TIdFTPListItems::ParseEntry(TIdFTPListFormat format, TIdFTPListItem& item) {
  switch (format) {
    case flfNone:
      return;
    case flfCustom:
      ParseCustomEntry(item);
      return;
    case flfUnknown:
      throw EIdInvalidFTPListingFormat(kUnknownFormat);
    default:
      break;
  }
  ResetParsed(item);
  const TIdLocalDate today = NeedsToday(format) ? Today() : TIdLocalDate{1970, 1, 1};
  if (!ParseListLine(format, item.RawLine, today, item))
    throw EIdInvalidFTPListingFormat("Unreadable listing line");
}

void TIdFTPListItems::ParseCustomEntry(TIdFTPListItem& item) {
  if (!OnParseCustomListFormat) throw EIdInvalidFTPListingFormat(kUnknownFormat);
  OnParseCustomListFormat(item);
}
