#include "platform/SystemMessages.h"

#include <cstring>

namespace veldra::platform {

namespace {

struct TMessage {
  uint32_t code;
  const char* text;
};

// The Windows texts of the codes the program can print; Linux has no table of its own.
constexpr TMessage kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {8, "Not enough memory resources are available to process this command."},
    {15, "The system cannot find the drive specified."},
    {21, "The device is not ready."},
    {53, "The network path was not found."},
    {67, "The network name cannot be found."},
    {85, "The local device name is already in use."},
    {87, "The parameter is incorrect."},
    {137, "The system tried to delete the substitution of a drive that is not substituted."},
    {1222, "The network is not present or not started."},
};

}  // namespace

std::string SystemErrorMessage(uint32_t code) {
  for (const TMessage& m : kMessages)
    if (m.code == code) return m.text;
  return "Unknown system error " + std::to_string(code) + ".";
}

std::string OsErrorText(int code) {
  if (code == 0) return "A call to an OS function failed";
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  return text ? std::string(text) : std::string("Unknown error ") + std::to_string(code);
}

EOSError::EOSError(const std::string& call, int code)
    : Exception(call + ": " + OsErrorText(code)), code_(code) {}

}  // namespace veldra::platform
