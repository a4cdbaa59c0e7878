// Console output of the program's messages and debug log lines.
#pragma once

#include <string>

namespace veldra::platform {

// The platform's console line end: "\n" on Linux ("\r\n" on Windows).
const char* LineEnd();

// Writes text and the line end to standard output as one unit and flushes, so that lines of
// different threads never interleave and a reader on a pipe sees each line at once.
void WriteLine(const std::string& text);

// The same on standard error.
void WriteErrorLine(const std::string& text);

}  // namespace veldra::platform
