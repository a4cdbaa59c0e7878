#include "ftp/IdFTPList.h"

#include <cctype>
#include <ctime>
#include <limits>
#include <mutex>

namespace {

const char kUnknownFormat[] = "Unknown FTP listing format";

bool IsBlankChar(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

// Removes leading and trailing characters with a code of 32 or less.
std::string Trim(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && IsBlankChar(s[b])) ++b;
  while (e > b && IsBlankChar(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Characters [first, first+count) of s, 1-based like the layout descriptions; shorter (or
// empty) when s is shorter.
std::string Mid(const std::string& s, size_t first, size_t count) {
  if (first < 1 || first > s.size()) return std::string();
  return s.substr(first - 1, count);
}

// Optional sign and decimal digits, nothing else; false on overflow.
bool TryParseInt64(const std::string& s, int64_t& out) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size()) return false;
  uint64_t value = 0;
  const uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1
                                  : uint64_t(std::numeric_limits<int64_t>::max());
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    unsigned digit = unsigned(s[i] - '0');
    if (value > (limit - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
  return true;
}

int64_t Int64Def(const std::string& s, int64_t fallback) {
  int64_t v;
  return TryParseInt64(s, v) ? v : fallback;
}

int32_t IntDef(const std::string& s, int32_t fallback) {
  int64_t v;
  if (!TryParseInt64(s, v) || v < std::numeric_limits<int32_t>::min() ||
      v > std::numeric_limits<int32_t>::max())
    return fallback;
  return static_cast<int32_t>(v);
}

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
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

// Unix type letters and permission characters (upper case, the test runs on an upper-cased
// line). setuid/setgid/sticky bits (s S t T) and device, pipe and socket entries are common
// on real servers: /tmp is drwxrwxrwt, a setgid share is drwxr-sr-x.
bool LooksLikeUnixMode(const std::string& upper) {
  static const std::string kTypes = "-DLBCPS";
  static const std::string kPerms = "-RWXST";
  if (upper.size() < 10) return false;
  if (kTypes.find(upper[0]) == std::string::npos) return false;
  for (size_t i = 1; i < 10; ++i)
    if (kPerms.find(upper[i]) == std::string::npos) return false;
  return true;
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
  size_t first = 0;
  if (DetectedFormat == flfUnix && !lines.empty() && Upper(lines[0]).rfind("TOTAL", 0) == 0)
    first = 1;
  for (size_t i = first; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    TIdFTPListItem& item = AddItem();
    item.RawLine = line;
    if (DetectedFormat == flfNone) continue;
    try {
      ParseEntry(DetectedFormat, item);
    } catch (const std::exception&) {
      // One odd line (a localised month, a device entry) must not take its neighbours
      // with it: only the failing item goes.
      items_.pop_back();
    }
  }
}

TIdFTPListFormat TIdFTPListItems::GuessFormat(const std::string& line, bool details) {
  if (!details) return flfNoDetails;
  const std::string u = Upper(line);
  if (LooksLikeUnixMode(u) || u.rfind("TOTAL", 0) == 0) return flfUnix;
  if (u.find("DSK:") != std::string::npos) return flfVax;
  // MS-DOS: "MM-DD-YY  HH:MMAP" then "<DIR>" at column 25 or a size right-aligned to column
  // 38. Sizes of nine characters and more ("1,234,567", 100 MB without commas) start before
  // column 31, so the whole field 25..38 is read as the size.
  if (u.size() >= 6 && (u[2] == '-' || u[2] == '/') && (u[5] == '-' || u[5] == '/')) {
    const std::string d = Trim(Mid(u, 25, 6));
    std::string s;
    for (char c : Trim(Mid(u, 25, 14)))
      if (c != ',') s += c;
    if (d == "<DIR>" || AllDigits(s)) return flfDos;
  }
  return flfUnknown;
}

void TIdFTPListItems::ParseEntry(TIdFTPListFormat format, TIdFTPListItem& item) {
  switch (format) {
    case flfNone:
      return;
    case flfDos:
      ParseDos(item);
      return;
    case flfUnix:
    case flfVax:
      ParseUnix(item);
      return;
    case flfNoDetails:
      item.EntryName = Trim(item.RawLine);
      return;
    case flfCustom:
      ParseCustomEntry(item);
      return;
    case flfUnknown:
    default:
      throw EIdInvalidFTPListingFormat(kUnknownFormat);
  }
}

void TIdFTPListItems::ParseCustomEntry(TIdFTPListItem& item) {
  if (!OnParseCustomListFormat) throw EIdInvalidFTPListingFormat(kUnknownFormat);
  OnParseCustomListFormat(item);
}

void TIdFTPListItems::ParseUnix(TIdFTPListItem& item) {
  const TIdLocalDate today = Today();
  const std::string line = Trim(item.RawLine);

  // Columns are separated by runs of spaces (tabs are not separators). Each column keeps
  // its offset in the line so that the name can be taken verbatim.
  std::vector<std::string> cols;
  std::vector<size_t> starts;
  size_t pos = 0;
  while (pos < line.size()) {
    size_t end = line.find(' ', pos);
    if (end == std::string::npos) end = line.size();
    if (end > pos) {
      cols.push_back(Trim(line.substr(pos, end - pos)));
      starts.push_back(pos);
    }
    pos = end + 1;
  }
  // "-rw-r--r-- 1 anna 1234 Mar 5 14:07 x.txt": a server that prints no group column.
  if (cols.size() == 8 && !cols[4].empty() &&
      std::isalpha(static_cast<unsigned char>(cols[4][0])) &&
      static_cast<unsigned char>(cols[4][0]) < 128) {
    cols.insert(cols.begin() + 2, std::string());
    starts.insert(starts.begin() + 2, starts[2]);
  }
  const size_t n = cols.size();
  if (n < 8) throw EIdInvalidFTPListingFormat("Too few columns in listing line");

  const std::string& mode = cols[0];
  const char type = static_cast<char>(std::toupper(static_cast<unsigned char>(mode[0])));
  item.OwnerAccess = Mid(mode, 2, 3);
  item.GroupAccess = Mid(mode, 5, 3);
  item.OtherAccess = Mid(mode, 8, 3);
  item.LinkCount = IntDef(cols[1], 0);
  item.Owner = cols[2];
  item.Group = cols[3];
  item.ByteSize = Int64Def(cols[4], 0);

  static const char* const kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  int month = 0;
  const std::string mon = Upper(cols[5]);
  for (int i = 0; i < 12; ++i)
    if (mon == kMonths[i]) month = i + 1;
  const int day = IntDef(cols[6], today.Day);
  int year;
  int hour = 0;
  int minute = 0;
  const std::string& yt = cols[7];
  const size_t colon = yt.find(':');
  if (colon != std::string::npos) {
    // No year: the last such date not after this month.
    year = today.Month < month ? today.Year - 1 : today.Year;
    hour = IntDef(yt.substr(0, colon), 0);
    minute = IntDef(yt.substr(colon + 1), 0);
  } else {
    year = IntDef(yt, today.Year);
  }
  TDateTime modified;
  if (!TryEncodeDateTime(year, month, day, hour, minute, 0, 999, modified))
    throw EIdInvalidFTPListingFormat("Invalid date in listing line");
  item.Modified = modified;

  // The name is the rest of the line as sent, so inner runs of spaces survive and the name
  // can be used in later commands.
  std::string name = n > 8 ? line.substr(starts[8]) : std::string();
  if (type == 'L') {
    const size_t arrow = name.find(" -> ");
    if (arrow != std::string::npos) {
      item.LinkTarget = name.substr(arrow + 4);
      name.erase(arrow);
    }
    item.Kind = ekSymbolicLink;
  } else {
    item.Kind = type == 'D' ? ekDirectory : ekFile;
  }
  if (name.empty()) throw EIdInvalidFTPListingFormat("No name in listing line");
  item.EntryName = name;
}

void TIdFTPListItems::ParseDos(TIdFTPListItem& item) {
  const std::string& l = item.RawLine;
  const std::string month = Mid(l, 1, 2);
  const std::string day = Mid(l, 4, 2);
  const std::string year = Mid(l, 7, 2);

  std::string r = Trim(Mid(l, 9, std::string::npos));
  auto cut = [](std::string& rest) {
    const size_t sp = rest.find(' ');
    std::string head = rest.substr(0, sp);
    rest = sp == std::string::npos ? std::string() : Trim(rest.substr(sp + 1));
    return head;
  };
  const std::string time = cut(r);
  std::string v;
  for (char c : cut(r))
    if (c != ',') v += c;
  if (Upper(v) == "<DIR>") {
    item.Kind = ekDirectory;
    item.ByteSize = 0;
  } else {
    item.Kind = ekFile;
    item.ByteSize = Int64Def(v, 0);
  }
  if (r.empty()) throw EIdInvalidFTPListingFormat("No name in listing line");
  item.EntryName = r;

  // Month/day/two-digit year and hour:minute with an optional AM/PM, independent of any
  // regional settings. An unreadable date gives 0 and keeps the entry.
  item.Modified = 0;
  if (!AllDigits(month) || !AllDigits(day) || !AllDigits(year)) return;
  const size_t colon = time.find(':');
  if (colon == std::string::npos) return;
  const std::string hh = time.substr(0, colon);
  std::string mm = time.substr(colon + 1);
  std::string ampm;
  while (!mm.empty() && std::isalpha(static_cast<unsigned char>(mm.back()))) {
    ampm.insert(ampm.begin(), mm.back());
    mm.pop_back();
  }
  ampm = Upper(ampm);
  if (!AllDigits(hh) || !AllDigits(mm) || hh.size() > 2 || mm.size() > 2) return;
  int hour = std::stoi(hh);
  const int minute = std::stoi(mm);
  if (!ampm.empty()) {
    if ((ampm != "AM" && ampm != "PM") || hour < 1 || hour > 12) return;
    if (ampm == "AM" && hour == 12) hour = 0;
    if (ampm == "PM" && hour != 12) hour += 12;
  }
  const int y2 = std::stoi(year);
  const int base = Today().Year - 50;
  int fullYear = base - ((base % 100) + 100) % 100 + y2;
  if (fullYear < base) fullYear += 100;
  TDateTime modified;
  if (TryEncodeDateTime(fullYear, std::stoi(month), std::stoi(day), hour, minute, 0, 0, modified))
    item.Modified = modified;
}
