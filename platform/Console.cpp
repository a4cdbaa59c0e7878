#include "platform/Console.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace veldra::platform {
namespace {

std::mutex console_mutex;

void WriteAll(int fd, const std::string& text) {
  std::lock_guard<std::mutex> hold(console_mutex);
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a broken console to
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

const char* LineEnd() { return "\n"; }

void WriteLine(const std::string& text) { WriteAll(STDOUT_FILENO, text + LineEnd()); }

void WriteErrorLine(const std::string& text) { WriteAll(STDERR_FILENO, text + LineEnd()); }

}  // namespace veldra::platform
