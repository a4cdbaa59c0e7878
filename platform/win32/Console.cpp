// Win32 console output; see platform/Console.h. Lines end in CR LF and are written with
// WriteFile on the standard handles, so no C runtime text-mode translation is involved.
#include "platform/Console.h"

#include <windows.h>

#include <mutex>

namespace veldra::platform {
namespace {

std::mutex console_mutex;

void WriteAll(DWORD which, const std::string& text) {
  std::lock_guard<std::mutex> hold(console_mutex);
  const HANDLE out = ::GetStdHandle(which);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = left > 65536 ? 65536 : static_cast<DWORD>(left);
    // A closed pipe (the visible process has gone) fails here: nowhere left to report it to.
    if (!::WriteFile(out, p, chunk, &written, nullptr) || written == 0) return;
    p += written;
    left -= written;
  }
}

}  // namespace

const char* LineEnd() {
  return "\r\n";
}

void WriteLine(const std::string& text) {
  WriteAll(STD_OUTPUT_HANDLE, text + LineEnd());
}

void WriteErrorLine(const std::string& text) {
  WriteAll(STD_ERROR_HANDLE, text + LineEnd());
}

}  // namespace veldra::platform
