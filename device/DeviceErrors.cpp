#include "device/DeviceErrors.h"

#include <algorithm>
#include <cctype>

namespace {

bool Says(const std::string& lowerText, const char* phrase) {
  return lowerText.find(phrase) != std::string::npos;
}

}  // namespace

int RefusalCode(int replyCode, const std::string& replyText) {
  std::string text = replyText;
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  // The text first: one code covers several causes, and servers choose codes loosely.
  if (Says(text, "not empty")) return wincode::kDirNotEmpty;
  if (Says(text, "quota")) return wincode::kQuotaExceeded;
  if (Says(text, "no space") || Says(text, "disk full") || Says(text, "insufficient storage"))
    return wincode::kDiskFull;
  if (Says(text, "too long")) return wincode::kFilenameTooLong;
  if (Says(text, "not a directory")) return wincode::kNotADirectory;
  if (Says(text, "no such file") || Says(text, "no such directory") || Says(text, "not found") ||
      Says(text, "does not exist") || Says(text, "doesn't exist")) {
    return wincode::kFileNotFound;
  }
  if (Says(text, "exists")) return wincode::kAlreadyExists;
  if (Says(text, "permission") || Says(text, "denied") || Says(text, "not permitted") ||
      Says(text, "privilege") || Says(text, "not allowed") || Says(text, "read-only") ||
      Says(text, "read only")) {
    return wincode::kAccessDenied;
  }
  switch (replyCode) {
    case 450:  // file unavailable: busy
      return wincode::kBusy;
    case 452:  // insufficient storage
      return wincode::kDiskFull;
    case 552:  // exceeded storage allocation
      return wincode::kQuotaExceeded;
    case 553:  // file name not allowed (vsftpd: "Could not create file." in a closed directory)
    case 530:  // not logged in (an account without that right)
    case 532:
      return wincode::kAccessDenied;
    case 501:  // syntax error in the argument: a name the server cannot take
      return wincode::kInvalidName;
    default:
      return wincode::kBadNetResponse;
  }
}
