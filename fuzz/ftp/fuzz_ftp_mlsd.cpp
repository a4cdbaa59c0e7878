// MLSD / MLST entry lines in, entries out: any bytes must parse or be refused without a
// crash, and a parsed entry must be what the line says.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ftp/IdFTPList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  TIdFTPLineParser parser(flfMLSD);
  TIdFTPListItem item;
  const bool parsed = parser.Parse(line, item);
  // The collection reads the same line the same way.
  TIdFTPListItems items;
  items.DetectedFormat = flfMLSD;
  items.ParseLines({line});
  if (parsed != (items.ItemCount() == 1)) __builtin_trap();
  if (line.find("; ") == std::string::npos && parsed) __builtin_trap();
  if (!parsed) return 0;
  if (items.ItemAt(0).EntryName != item.EntryName) __builtin_trap();
  if (item.EntryName.empty()) __builtin_trap();
  if (item.EntryName != "." && item.EntryName != ".." &&
      (line.size() < item.EntryName.size() + 2 ||
       line.compare(line.size() - item.EntryName.size() - 2, std::string::npos,
                    "; " + item.EntryName) != 0))
    __builtin_trap();
  if (item.ModeKnown ? item.Mode > 07777 : item.Mode != 0) __builtin_trap();
  if (item.TimePrecision == tpNone && item.ModifiedTicks != 0) __builtin_trap();
  return 0;
}
