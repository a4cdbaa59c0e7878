#include "tests/net/ScriptedPeer.h"

#include <chrono>

#include "platform/Socket.h"

namespace vp = veldra::platform;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kLoopback = 0x7F000001;

// The script thread's waits end when the peer is destroyed (the interrupt check).
thread_local const std::atomic<bool>* tStop = nullptr;

bool Stopping() {
  return tStop != nullptr && tStop->load();
}

}  // namespace

TScriptedPeer::~TScriptedPeer() {
  stop_ = true;
  if (listenFd_ >= 0) vp::ShutdownSocketBoth(listenFd_);  // ends a pause or hold at once
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) vp::CloseSocket(listenFd_);
}

TScriptedPeer& TScriptedPeer::Add(char kind, const std::string& bytes, int ms) {
  steps_.push_back({kind, bytes, ms});
  return *this;
}
TScriptedPeer& TScriptedPeer::Send(const std::string& bytes) {
  return Add('s', bytes);
}
TScriptedPeer& TScriptedPeer::Pause(int ms) {
  return Add('p', "", ms);
}
TScriptedPeer& TScriptedPeer::ReadLine() {
  return Add('r');
}
TScriptedPeer& TScriptedPeer::Hold() {
  return Add('h');
}
TScriptedPeer& TScriptedPeer::Close() {
  return Add('c');
}

int TScriptedPeer::Start() {
  vp::UniqueSocket s(vp::CreateSocket(vp::kSocketStream, 0));
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  if (vp::BindSocket(s.Get(), kLoopback, 0) != 0 || vp::ListenSocket(s.Get(), 4) != 0 ||
      vp::GetSocketName(s.Get(), address, port) != 0)
    return -1;
  listenFd_ = s.Release();
  port_ = port;
  thread_ = std::thread([this] { Run(); });
  return port_;
}

void TScriptedPeer::Run() {
  tStop = &stop_;
  vp::SetInterruptCheck(Stopping);
  vp::UniqueSocket fd;
  if (vp::WaitSocketReadable(listenFd_, 10000) == 1) fd.Reset(vp::AcceptSocket(listenFd_));
  std::string pending;
  for (const Step& step : steps_) {
    if (!fd.Valid() || stop_ || step.kind == 'c') break;
    if (step.kind == 's') vp::SendSocket(fd.Get(), step.bytes.data(), step.bytes.size());
    // A pause or a hold is a wait for nothing: it ends at its time or at the destructor.
    if (step.kind == 'p' || step.kind == 'h')
      vp::WaitSocketReadable(listenFd_, step.kind == 'p' ? step.ms : 60000);
    if (step.kind != 'r') continue;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::size_t lf;
    while ((lf = pending.find('\n')) == std::string::npos && Clock::now() < deadline) {
      char buffer[4096];
      const long n = vp::RecvSocket(fd.Get(), buffer, sizeof buffer, 10000);
      if (n <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(n));
      std::lock_guard<std::mutex> lock(mutex_);
      raw_.append(buffer, static_cast<std::size_t>(n));
    }
    if (lf == std::string::npos) break;
    std::string line = pending.substr(0, lf);
    pending.erase(0, lf + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(line);
  }
  fd.Reset();
  done_.set_value();
}

bool TScriptedPeer::WaitDone() {
  return finished_.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

std::vector<std::string> TScriptedPeer::Received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::string TScriptedPeer::RawReceived() {
  std::lock_guard<std::mutex> lock(mutex_);
  return raw_;
}

int UnusedPort() {
  vp::UniqueSocket s(vp::CreateSocket(vp::kSocketStream, 0));
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  if (vp::BindSocket(s.Get(), kLoopback, 0) != 0 || vp::GetSocketName(s.Get(), address, port) != 0)
    return -1;
  return port;
}
