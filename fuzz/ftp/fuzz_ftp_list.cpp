// Listing text in, entries out: splitting, layout guess and every layout's rules must take
// any bytes without crashing, and a parse never reports an error to the caller.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ftp/IdFTP.h"
#include "ftp/IdFTPList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the "today" used for dates without a year and forces a layout.
  const uint8_t control = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::vector<std::string> lines = SplitListingText(text);

  TIdFTPListItems items;
  items.TodayProvider = [control] {
    return TIdLocalDate{1990 + (control & 0x3f), 1 + (control >> 4) % 12, 1 + control % 28};
  };
  items.DetectedFormat = items.GuessFormat(lines.empty() ? std::string() : lines[0], true);
  items.ParseLines(lines);  // must not throw
  for (int i = 0; i < items.ItemCount(); ++i) {
    const TIdFTPListItem& item = items.ItemAt(i);
    if (item.EntryName.empty() && items.DetectedFormat != flfNone) __builtin_trap();
  }

  // Every layout on every line, directly.
  static const TIdFTPListFormat kFormats[] = {flfDos, flfUnix, flfVax, flfNoDetails};
  for (const std::string& line : lines) {
    for (TIdFTPListFormat format : kFormats) {
      TIdFTPListItem item;
      item.RawLine = line;
      try {
        items.ParseEntry(format, item);
      } catch (const EIdInvalidFTPListingFormat&) {
      }
    }
  }
  return 0;
}
