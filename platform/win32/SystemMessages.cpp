// Win32 message texts; see platform/SystemMessages.h. The texts come from the system's own
// message table (FormatMessage) in the user's language; the Windows and OS codes are the same
// numbers here.
#include "platform/SystemMessages.h"

#include <windows.h>

namespace veldra::platform {
namespace {

// The system's text for code without its trailing line end and blanks; "" when it has none.
std::string FormatSystemMessage(DWORD code) {
  char buffer[1024];
  const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  return text;
}

}  // namespace

std::string SystemErrorMessage(uint32_t code) {
  try {
    std::string text = FormatSystemMessage(code);
    if (text.empty()) text = "Unknown system error " + std::to_string(code) + ".";
    return text;
  } catch (...) {
    return std::string();
  }
}

std::string OsErrorText(int code) {
  try {
    if (code == 0) return "A call to an OS function failed";
    std::string text = FormatSystemMessage(static_cast<DWORD>(code));
    if (text.empty()) text = "Unknown error " + std::to_string(code);
    return text;
  } catch (...) {
    return std::string();
  }
}

EOSError::EOSError(const std::string& call, int code)
    : Exception(call + ": " + OsErrorText(code)), code_(code) {}

}  // namespace veldra::platform
