// Win32 text conversions; see platform/TextConv.h. The 8-bit side is the system's ANSI code
// page (CP_ACP), as every 8-bit name of the program on Windows. Every byte of a single-byte
// code page has a character, so names survive the round trip; the lone surrogates
// U+DC80..U+DCFF that the Linux build uses for stray bytes are turned back into their byte
// here too, so a name carried that way is not lost either.
#include "platform/TextConv.h"

#include <windows.h>

namespace veldra::platform {
namespace {

std::string FromWide(const char16_t* text, size_t length) {
  std::string out;
  size_t start = 0;
  const auto flush = [&](size_t end) {
    if (end <= start) return;
    const auto* wide = reinterpret_cast<const wchar_t*>(text + start);
    const int count = static_cast<int>(end - start);
    const int size = ::WideCharToMultiByte(CP_ACP, 0, wide, count, nullptr, 0, nullptr, nullptr);
    if (size > 0) {
      const size_t at = out.size();
      out.resize(at + static_cast<size_t>(size));
      ::WideCharToMultiByte(CP_ACP, 0, wide, count, &out[at], size, nullptr, nullptr);
    }
  };
  for (size_t i = 0; i < length; ++i) {
    if (text[i] >= 0xDC80 && text[i] <= 0xDCFF &&
        (i == 0 || text[i - 1] < 0xD800 || text[i - 1] > 0xDBFF)) {
      flush(i);
      out += static_cast<char>(text[i] - 0xDC00);  // an escaped byte
      start = i + 1;
    }
  }
  flush(length);
  return out;
}

}  // namespace

std::u16string AnsiToWide(const std::string& text) {
  if (text.empty()) return std::u16string();
  const int count = static_cast<int>(text.size());
  const int size = ::MultiByteToWideChar(CP_ACP, 0, text.data(), count, nullptr, 0);
  if (size <= 0) return std::u16string();
  std::wstring wide(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), count, &wide[0], size);
  return std::u16string(wide.begin(), wide.end());
}

std::string WideToAnsi(const std::u16string& text) {
  return FromWide(text.data(), text.size());
}

std::string WideToAnsi(const char16_t* text) {
  if (text == nullptr) return std::string();
  size_t length = 0;
  while (text[length] != 0) ++length;
  return FromWide(text, length);
}

}  // namespace veldra::platform
