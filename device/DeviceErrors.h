// The device's failures, and the one table that turns a server's refusal into the Windows
// error code it means (which the file-system layer turns into errno).
#pragma once

#include <string>

#include "platform/Exception.h"

VELDRA_EXCEPTION(EReFileNotFound,
                 Exception);               // missing name, or a directory where a file is needed
VELDRA_EXCEPTION(EFilerError, Exception);  // an offset the device cannot serve
// A path with CR, LF or NUL: it would split or cut the command line, so it is refused before
// anything is sent (and without a reconnect).
VELDRA_EXCEPTION(EReBadPath, Exception);

// Windows error codes the device reports beyond those of the drive's callbacks.
namespace wincode {
constexpr int kFileNotFound = 2;        // ENOENT
constexpr int kPathNotFound = 3;        // ENOENT
constexpr int kAccessDenied = 5;        // EACCES
constexpr int kDiskFull = 112;          // ENOSPC
constexpr int kInvalidName = 123;       // EINVAL
constexpr int kDirNotEmpty = 145;       // ENOTEMPTY
constexpr int kBusy = 170;              // EBUSY
constexpr int kAlreadyExists = 183;     // EEXIST
constexpr int kFilenameTooLong = 206;   // ENAMETOOLONG
constexpr int kNotADirectory = 267;     // ENOTDIR
constexpr int kOperationAborted = 995;  // EINTR
constexpr int kQuotaExceeded = 1295;    // EDQUOT
constexpr int kBadNetResponse = 58;     // EIO: a broken connection or an unknown failure
}  // namespace wincode

// A request the server (or the device, before asking it) refused for a known reason.
class EReRefused : public Exception {
 public:
  EReRefused(int windowsCode, std::string message)
      : Exception(std::move(message)), windowsCode_(windowsCode) {}
  const char* ClassName() const noexcept override { return "EReRefused"; }
  // The positive Windows error code.
  int WindowsCode() const noexcept { return windowsCode_; }

 private:
  int windowsCode_;
};

// The Windows error code a refusal means: reply code and text (servers word the same refusal
// differently: "No such file or directory", "not found", "Permission denied", "Directory not
// empty", quota and disk-full texts), wincode::kBadNetResponse when nothing tells. Codes 4xx
// and 5xx only; 421 and transport trouble are no refusal.
int RefusalCode(int replyCode, const std::string& replyText);
