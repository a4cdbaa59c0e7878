// Conversions between the program's 8-bit names and the drive's UTF-16 names.
//
// On Linux the 8-bit side is UTF-8. Bytes that are not valid UTF-8 (a server that lists
// Latin-1 names) are carried as lone surrogates U+DC80..U+DCFF, one per byte, so that
// WideToAnsi(AnsiToWide(s)) == s for every byte string s and every listed name can be
// opened again. The functions never throw on bad input.
#pragma once

#include <string>

namespace veldra::platform {

// 8-bit name to UTF-16. Invalid or overlong sequences, encoded surrogates and code points
// above U+10FFFF become one lone surrogate U+DC00+byte per offending byte.
std::u16string AnsiToWide(const std::string& text);

// UTF-16 to 8-bit name. A lone surrogate U+DC80..U+DCFF becomes its original byte; any
// other unpaired surrogate becomes U+FFFD in UTF-8.
std::string WideToAnsi(const std::u16string& text);

// The same for a zero-terminated UTF-16 string; nullptr gives "".
std::string WideToAnsi(const char16_t* text);

}  // namespace veldra::platform
