// The transport tests' scripted peer, written over the program's own socket layer so that the
// transport suites run unchanged on Linux and, cross-built, under Windows or wine.
#include "tests/net/ScriptedPeer.h"

#include <chrono>

#include "platform/Socket.h"

namespace vp = veldra::platform;

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

}  // namespace

TScriptedPeer::TScriptedPeer() = default;

TScriptedPeer::~TScriptedPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) vp::CloseSocket(listenFd_);
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
  listenFd_ = vp::CreateSocket(vp::kSocketStream, 0);
  if (listenFd_ < 0 || vp::BindSocket(listenFd_, kLoopback, 0) != 0 ||
      vp::ListenSocket(listenFd_, 4) != 0)
    return -1;
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  vp::GetSocketName(listenFd_, address, port);
  port_ = port;
  thread_ = std::thread([this] { Run(); });
  return port_;
}

bool TScriptedPeer::WaitReadable(int fd, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop_ && std::chrono::steady_clock::now() < deadline) {
    if (fd < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    if (vp::WaitSocketReadable(fd, 20) != 0) return true;
  }
  return false;
}

void TScriptedPeer::Run() {
  int fd = -1;
  if (WaitReadable(listenFd_, 10000)) fd = vp::AcceptSocket(listenFd_);
  if (fd >= 0) {
    std::string pending;
    for (const Step& step : steps_) {
      if (stop_) break;
      if (step.kind == Step::kSend) {
        vp::SendSocket(fd, step.bytes.data(), step.bytes.size());
      } else if (step.kind == Step::kPause) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.ms);
        while (!stop_ && std::chrono::steady_clock::now() < until)
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
      } else if (step.kind == Step::kReadLine) {
        std::size_t lf;
        while ((lf = pending.find('\n')) == std::string::npos && WaitReadable(fd, 10000)) {
          char buffer[4096];
          const long n = vp::RecvSocket(fd, buffer, sizeof buffer);
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
        WaitReadable(-1, 60000);  // just a bounded wait, ended early by the destructor
      } else {
        break;
      }
    }
    vp::CloseSocket(fd);
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
  fd_ = vp::CreateSocket(vp::kSocketStream, 0);
  if (fd_ >= 0 && vp::BindSocket(fd_, kLoopback, static_cast<std::uint16_t>(port)) != 0) {
    vp::CloseSocket(fd_);
    fd_ = -1;
  }
}

TPortHolder::~TPortHolder() {
  if (fd_ >= 0) vp::CloseSocket(fd_);
}

int UnusedPort() {
  vp::UniqueSocket s(vp::CreateSocket(vp::kSocketStream, 0));
  if (!s.Valid() || vp::BindSocket(s.Get(), kLoopback, 0) != 0) return -1;
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  vp::GetSocketName(s.Get(), address, port);
  return port;
}
