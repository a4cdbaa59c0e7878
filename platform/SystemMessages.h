// Message texts of system error codes, as the program prints them to the user.
//
// The program reports its own failures with Windows system error codes (0 success, 3 path
// not found, 85 device name in use, 137 not substituted, ...), so that the same code gives the
// same text on every platform. Failures that come straight from the operating system (a
// process or socket pair that cannot be created) carry the OS's own error number instead;
// OsErrorText gives the OS's text for those.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Exception.h"

namespace veldra::platform {

// Windows system error codes the program prints.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorInvalidDrive = 15;
constexpr uint32_t kErrorAlreadyAssigned = 85;
constexpr uint32_t kErrorNotSubsted = 137;

// The message text of a Windows system error code, without a line end: 0 gives
// "The operation completed successfully.", 85 "The local device name is already in use.".
// A code outside the table gives "Unknown system error <code>.". Never throws.
std::string SystemErrorMessage(uint32_t code);

// The operating system's text for one of its own error numbers (errno on Linux); code 0
// gives "A call to an OS function failed". Thread-safe; never throws.
std::string OsErrorText(int code);

// An operating-system call failed. Code() is the OS's error number (errno on Linux); the
// message names the call and gives OsErrorText(Code()).
class EOSError : public Exception {
 public:
  EOSError(const std::string& call, int code);
  int Code() const noexcept { return code_; }
  const char* ClassName() const noexcept override { return "EOSError"; }

 private:
  int code_;
};

}  // namespace veldra::platform
