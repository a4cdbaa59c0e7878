#include "tests/net/ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return sa;
}

}  // namespace

TScriptedPeer::TScriptedPeer() = default;

TScriptedPeer::~TScriptedPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

TScriptedPeer& TScriptedPeer::Send(const std::string& bytes) {
  steps_.push_back({Step::kSend, bytes, 0});
  return *this;
}
TScriptedPeer& TScriptedPeer::Pause(int ms) {
  steps_.push_back({Step::kPause, "", ms});
  return *this;
}
TScriptedPeer& TScriptedPeer::ReadLine() {
  steps_.push_back({Step::kReadLine, "", 0});
  return *this;
}
TScriptedPeer& TScriptedPeer::Hold() {
  steps_.push_back({Step::kHold, "", 0});
  return *this;
}
TScriptedPeer& TScriptedPeer::Close() {
  steps_.push_back({Step::kClose, "", 0});
  return *this;
}

int TScriptedPeer::Start() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = Loopback(0);
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::listen(listenFd_, 4) != 0) {
    return -1;
  }
  socklen_t len = sizeof sa;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  thread_ = std::thread([this] { Run(); });
  return port_;
}

bool TScriptedPeer::WaitReadable(int fd, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop_ && std::chrono::steady_clock::now() < deadline) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 20) > 0) return true;
  }
  return false;
}

void TScriptedPeer::Run() {
  int fd = -1;
  if (WaitReadable(listenFd_, 10000)) fd = ::accept(listenFd_, nullptr, nullptr);
  if (fd >= 0) {
    std::string pending;
    for (const Step& step : steps_) {
      if (stop_) break;
      if (step.kind == Step::kSend) {
        ::send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL);
      } else if (step.kind == Step::kPause) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.ms);
        while (!stop_ && std::chrono::steady_clock::now() < until) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
      } else if (step.kind == Step::kReadLine) {
        std::size_t lf;
        while ((lf = pending.find('\n')) == std::string::npos && WaitReadable(fd, 10000)) {
          char buffer[4096];
          const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
          if (n <= 0) break;
          pending.append(buffer, static_cast<std::size_t>(n));
          std::lock_guard<std::mutex> lock(mutex_);
          raw_.append(buffer, static_cast<std::size_t>(n));
        }
        if (lf == std::string::npos) lf = pending.find('\n');
        if (lf == std::string::npos) break;
        std::string line = pending.substr(0, lf);
        pending.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(line);
      } else if (step.kind == Step::kHold) {
        WaitReadable(-1, 60000);  // an invalid fd never becomes readable: just a bounded wait
      } else {
        break;
      }
    }
    ::close(fd);
  }
  done_ = true;
}

bool TScriptedPeer::WaitDone() {
  for (int i = 0; i < 1000 && !done_; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return done_;
}

std::vector<std::string> TScriptedPeer::Received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::string TScriptedPeer::RawReceived() {
  std::lock_guard<std::mutex> lock(mutex_);
  return raw_;
}

TPortHolder::TPortHolder(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = Loopback(port);
  if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

TPortHolder::~TPortHolder() {
  if (fd_ >= 0) ::close(fd_);
}

int UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = Loopback(0);
  int port = -1;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}
