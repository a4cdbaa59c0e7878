// Listing text in, entries out: splitting, layout guess and every layout's rules must take
// any bytes without crashing, a parse never reports an error to the caller, and the
// collection and the line-at-a-time parser agree.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ftp/IdFTP.h"
#include "ftp/IdFTPList.h"

namespace {

// What every parsed entry must satisfy, whatever the layout.
void CheckEntry(TIdFTPListFormat format, const std::string& line, const TIdFTPListItem& item) {
  if (item.EntryName.empty()) __builtin_trap();
  if (item.ModeKnown ? item.Mode > 07777 : item.Mode != 0) __builtin_trap();
  if (item.TimePrecision == tpNone && item.ModifiedTicks != 0) __builtin_trap();
  if (item.ModifiedTicks < 0) __builtin_trap();
  if (format == flfUnix || format == flfVax) {
    // The name (and the link target) are the end of the line, exactly.
    const std::string tail =
        item.LinkTarget.empty() ? item.EntryName : item.EntryName + " -> " + item.LinkTarget;
    if (line.size() <= tail.size() || line.compare(line.size() - tail.size(), tail.size(), tail))
      __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the "today" used for dates without a year.
  const uint8_t control = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::vector<std::string> lines = SplitListingText(text);
  const auto today = [control] {
    return TIdLocalDate{1990 + (control & 0x3f), 1 + (control >> 4) % 12, 1 + control % 28};
  };

  TIdFTPListItems items;
  items.TodayProvider = today;
  items.DetectedFormat = items.GuessFormat(lines.empty() ? std::string() : lines[0], true);
  items.ParseLines(lines);  // must not throw
  for (int i = 0; i < items.ItemCount(); ++i)
    CheckEntry(items.DetectedFormat, items.ItemAt(i).RawLine, items.ItemAt(i));

  // Every layout on every line, line at a time; the guessing parser too.
  static const TIdFTPListFormat kFormats[] = {flfUnknown, flfDos,       flfUnix,
                                              flfVax,     flfNoDetails, flfMLSD};
  for (TIdFTPListFormat format : kFormats) {
    TIdFTPLineParser parser(format);
    parser.TodayProvider = today;
    TIdFTPListItem item;
    int parsed = 0;
    for (const std::string& line : lines) {
      if (!parser.Parse(line, item)) continue;
      CheckEntry(parser.Format(), line, item);
      ++parsed;
    }
    // With the layout the collection used, both see the same entries.
    if (format == items.DetectedFormat && format != flfUnknown && parsed != items.ItemCount())
      __builtin_trap();
  }
  return 0;
}
